#include "deniedaccess.h"
#include "link/comport.h"
#include "link/datapacket.h"
#include "pseudoterminal.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <memory>

using thermavo::ComPort;
using thermavo::DataPacket;
using thermavo::PortIoError;
using thermavo::PortOpenError;

Q_DECLARE_METATYPE(PortOpenError::Reason)

namespace {

// No real dialog may come up in these tests.
std::optional<int> noChoice() {
    return std::nullopt;
}

} // namespace

class ComPortTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void openSendsNothingAndTransmitsQueuedBytes();
    void repliesReachWindowThreadInOrder();
    void timeoutUsesThePortClock();
    void openFailures_data();
    void openFailures();
    void sendWhileClosedFails();
    void boardSideHangUpReportsLossOnce();
    void closeDeliversWaitingHandOver();
    void closeFromHandlerIsRefused();
    void closeJustAfterBoardSideHangUp();
    void closeSendsTheByteQueuedBehindAHandOver();

private:
    QTemporaryDir m_config;
};

void ComPortTest::initTestCase() {
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
}

void ComPortTest::openSendsNothingAndTransmitsQueuedBytes() {
    PseudoTerminal board;
    QVERIFY2(board.create(41), qPrintable(board.error()));
    ComPort port;
    port.setPortChooser(noChoice);
    port.setComNumber(41);
    port.open();
    QVERIFY(port.isOpen());
    QTest::qWait(100);
    QCOMPARE(board.readAvailable(), QByteArray());

    port.SendByte(0x6D);
    port.SendByte(0x20);
    QByteArray received;
    QTRY_COMPARE((received += board.readAvailable()), QByteArray("m "));
    port.close();
    QVERIFY(!port.isOpen());
}

void ComPortTest::repliesReachWindowThreadInOrder() {
    PseudoTerminal board;
    QVERIFY2(board.create(42), qPrintable(board.error()));
    ComPort port;
    port.setComNumber(42);
    DataPacket packet(&port);
    QList<QByteArray> replies;
    bool onWindowThread = true;
    connect(&packet, &DataPacket::StringPacket, this, [&](const QByteArray& data) {
        onWindowThread = onWindowThread && QThread::currentThread() == thread();
        replies.append(data);
        packet.setEnabled(true);
    });
    packet.setEnabled(true);
    port.open();
    QVERIFY(board.write("junk\n12.5 13\r\n\r\nA\nB\r"));
    QTRY_COMPARE(replies, (QList<QByteArray>{"12.5 13", "", "A\nB"}));
    QVERIFY(onWindowThread);

    packet.setEnabled(false);
    QVERIFY(!packet.Enabled());
    QVERIFY(board.write("\nignored\r"));
    QTest::qWait(100);
    QCOMPARE(replies.size(), 3);
    port.close();
    QVERIFY(!packet.Enabled());
}

void ComPortTest::timeoutUsesThePortClock() {
    PseudoTerminal board;
    QVERIFY2(board.create(43), qPrintable(board.error()));
    auto clock = std::make_shared<std::atomic<std::uint32_t>>(0);
    ComPort port;
    port.setComNumber(43);
    port.setTickSource([clock] { return clock->load(); });
    DataPacket packet(&port);
    QList<QByteArray> replies;
    int timeouts = 0;
    connect(&packet, &DataPacket::StringPacket, this, [&](const QByteArray& data) {
        replies.append(data);
        packet.setEnabled(true);
    });
    connect(&packet, &DataPacket::Timeout, this, [&] { ++timeouts; });
    packet.setEnabled(true);
    port.open();
    // The start marker right behind the reply is examined at the clock reading of that arrival.
    QVERIFY(board.write("\nfirst\r\nunfinished"));
    QTRY_COMPARE(replies.size(), 1);
    QTest::qWait(100);
    clock->store(54000);
    QTest::qWait(100);
    QCOMPARE(timeouts, 0);
    clock->store(56000);
    QTRY_COMPARE(timeouts, 1);
    QVERIFY(!packet.Enabled());
    QVERIFY(board.write("\r"));
    QTest::qWait(100);
    QCOMPARE(replies.size(), 1);
    port.close();
}

void ComPortTest::openFailures_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("chosen");
    QTest::addColumn<bool>("holdFirst");
    QTest::addColumn<PortOpenError::Reason>("reason");
    QTest::addColumn<int>("numberAfter");

    QTest::newRow("no port chosen")
        << 0 << 0 << false << PortOpenError::Reason::NoPortSelected << 0;
    QTest::newRow("missing device") << 44 << 0 << false << PortOpenError::Reason::NoSuchPort << 44;
    QTest::newRow("chosen port is missing")
        << 0 << 44 << false << PortOpenError::Reason::NoSuchPort << 44;
    QTest::newRow("number with no device")
        << 200 << 0 << false << PortOpenError::Reason::NoSuchPort << 200;
    QTest::newRow("held by another port")
        << 45 << 0 << true << PortOpenError::Reason::PortInUse << 45;
    // A device of a group the user is not in; told apart from a port in use.
    QTest::newRow("you may not open it")
        << 46 << 0 << false << PortOpenError::Reason::NoPermission << 46;
}

void ComPortTest::openFailures() {
    QFETCH(int, number);
    QFETCH(int, chosen);
    QFETCH(bool, holdFirst);
    QFETCH(PortOpenError::Reason, reason);
    QFETCH(int, numberAfter);

    QVERIFY(linkMissingPort(44));
    PseudoTerminal board;
    QVERIFY2(board.create(45), qPrintable(board.error()));
    const QString denied = m_config.filePath("denied");
    QVERIFY(makeDeniedFile(qPrintable(denied)));
    QFile::remove(m_config.filePath("thermavo/ports/COM46"));
    QVERIFY(QFile::link(denied, m_config.filePath("thermavo/ports/COM46")));
    const AccessAsUser asUser;
    ComPort holder;
    if (holdFirst) {
        holder.setComNumber(number);
        holder.open();
    }

    ComPort port;
    port.setComNumber(number);
    int asked = 0;
    port.setPortChooser([&]() -> std::optional<int> {
        ++asked;
        return chosen > 0 ? std::optional<int>(chosen) : std::nullopt;
    });
    try {
        port.open();
        QFAIL("the port opened");
    } catch (const PortOpenError& error) {
        QCOMPARE(error.reason(), reason);
    }
    QVERIFY(!port.isOpen());
    QCOMPARE(port.ComNumber(), numberAfter);
    QCOMPARE(asked, number == 0 ? 1 : 0);

    if (holdFirst) {
        // Once released, the same port opens without asking.
        holder.close();
        port.open();
        QVERIFY(port.isOpen());
        QCOMPARE(asked, 0);
    }
}

void ComPortTest::sendWhileClosedFails() {
    ComPort port;
    try {
        port.SendByte(0x6D);
        QFAIL("a byte was queued on a closed port");
    } catch (const PortOpenError& error) {
        QCOMPARE(error.reason(), PortOpenError::Reason::PortNotOpen);
    }
    port.close();
    QVERIFY(!port.isOpen());
}

void ComPortTest::boardSideHangUpReportsLossOnce() {
    auto board = std::make_unique<PseudoTerminal>();
    QVERIFY2(board->create(46), qPrintable(board->error()));
    ComPort port;
    port.setComNumber(46);
    DataPacket packet(&port);
    packet.setEnabled(true);
    QSignalSpy lost(&port, &ComPort::portLost);
    port.open();
    QVERIFY(board->write("\npartial"));
    board->closeBoardSide();
    QTRY_COMPARE(lost.size(), 1);
    QVERIFY(!lost.first().first().toString().isEmpty());
    QTest::qWait(200);
    QCOMPARE(lost.size(), 1);
    QVERIFY(port.isOpen());
    port.SendByte(0x20);
    port.close();
    QVERIFY(!port.isOpen());
    QCOMPARE(lost.size(), 1);
}

void ComPortTest::closeDeliversWaitingHandOver() {
    PseudoTerminal board;
    QVERIFY2(board.create(47), qPrintable(board.error()));
    ComPort port;
    port.setComNumber(47);
    DataPacket packet(&port);
    QList<QByteArray> replies;
    connect(&packet, &DataPacket::StringPacket, this, [&](const QByteArray& data) {
        replies.append(data);
        packet.setEnabled(true);
        port.SendByte(0x6D);
    });
    packet.setEnabled(true);
    port.open();
    QVERIFY(board.write("\nwaiting\r"));
    // Keep the window thread from dispatching so the worker is stuck in its hand-over.
    QThread::msleep(150);
    port.close();
    QCOMPARE(replies, QList<QByteArray>{"waiting"});
    QVERIFY(!port.isOpen());
}

void ComPortTest::closeFromHandlerIsRefused() {
    PseudoTerminal board;
    QVERIFY2(board.create(48), qPrintable(board.error()));
    ComPort port;
    port.setComNumber(48);
    DataPacket packet(&port);
    QString refusal;
    connect(&packet, &DataPacket::StringPacket, this, [&] {
        try {
            port.close();
        } catch (const PortIoError& error) {
            refusal = QString::fromLocal8Bit(error.what());
        }
    });
    packet.setEnabled(true);
    port.open();
    QVERIFY(board.write("\nx\r"));
    QTRY_VERIFY(!refusal.isEmpty());
    QVERIFY(port.isOpen());
    port.close();
    QVERIFY(!port.isOpen());
}

void ComPortTest::closeJustAfterBoardSideHangUp() {
    // The close may reach the worker before it has noticed the hang-up; the failing clean-up of
    // the dead device must not free the device under the close. Repeated to meet both orders.
    for (int round = 0; round < 20; ++round) {
        PseudoTerminal board;
        QVERIFY2(board.create(49), qPrintable(board.error()));
        ComPort port;
        port.setComNumber(49);
        port.open();
        port.SendByte(0x6D);
        board.closeBoardSide();
        port.close();
        QVERIFY(!port.isOpen());
    }
}

void ComPortTest::closeSendsTheByteQueuedBehindAHandOver() {
    PseudoTerminal board;
    QVERIFY2(board.create(50), qPrintable(board.error()));
    ComPort port;
    port.setComNumber(50);
    DataPacket packet(&port);
    int replies = 0;
    connect(&packet, &DataPacket::StringPacket, this, [&] { ++replies; });
    packet.setEnabled(true);
    port.open();
    QVERIFY(board.write("\nreply\r"));
    // The worker waits in its hand-over when the stop byte is queued and the close begins.
    QThread::msleep(150);
    port.SendByte(0x20);
    port.close();
    QCOMPARE(replies, 1);
    QCOMPARE(board.readAvailable(), QByteArray(" "));
}

QTEST_MAIN(ComPortTest)
#include "test_comport.moc"
