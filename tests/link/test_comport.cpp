#include "deniedaccess.h"
#include "framercases.h"
#include "link/boardcommands.h"
#include "link/comport.h"
#include "link/datapacket.h"
#include "link/delaytimer.h"
#include "pseudoterminal.h"
#include "slowdevice.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <memory>
#include <utility>

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

// The reader leaves the device alone for up to 50 ms after taking bytes; this is long enough for
// what the board wrote to be read and examined on the window thread.
constexpr int kSettleMs = 200;

// A port open to a pseudo-terminal board, its framer's events recorded on the window thread, the
// link's clock in the test's hand. Time passes only when the test says so: the reply time-out
// timer is then fired as its deadline comes, as it would fire by itself.
struct FramerThroughPort {
    PseudoTerminal board;
    std::shared_ptr<std::atomic<std::uint32_t>> clock =
        std::make_shared<std::atomic<std::uint32_t>>(0);
    ComPort port;
    DataPacket packet{&port};
    QList<QByteArray> replies;
    QList<std::uint32_t> timeouts;
    bool rearm = true;

    bool open(int number) {
        if (!board.create(number))
            return false;
        port.setComNumber(number);
        port.setTickSource([clock = clock] { return clock->load(); });
        QObject::connect(&packet, &DataPacket::StringPacket, &packet,
                         [this](const QByteArray& data) {
                             replies.append(data);
                             if (rearm)
                                 packet.setEnabled(true);
                         });
        QObject::connect(&packet, &DataPacket::Timeout, &packet, [this] {
            timeouts.append(clock->load());
            if (rearm)
                packet.setEnabled(true);
        });
        port.open();
        return port.isOpen();
    }

    void send(const QByteArray& bytes) {
        QVERIFY(board.write(bytes));
        QTest::qWait(kSettleMs);
    }

    void advanceTo(std::uint32_t target) {
        QTimer& timer = port.replyTimeoutTimer();
        while (timer.isActive() &&
               target - clock->load() >= static_cast<std::uint32_t>(timer.interval())) {
            clock->fetch_add(static_cast<std::uint32_t>(timer.interval()));
            timer.start(0);
            QTest::qWait(10);
        }
        clock->store(target);
    }
};

} // namespace

class ComPortTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void openSendsNothingAndTransmitsQueuedBytes();
    void repliesReachWindowThreadInOrder();
    void framerArrivalsThroughThePort_data();
    void framerArrivalsThroughThePort();
    void framerTimingThroughThePort_data();
    void framerTimingThroughThePort();
    void handlerRunningAnEventLoopHoldsTheFramer();
    void repliesDuringATimeoutHandlersLoop();
    void openFailures_data();
    void openFailures();
    void openingInTheBackground_data();
    void openingInTheBackground();
    void sendWhileClosedFails();
    void boardSideHangUpReportsLossOnce();
    void closeDeliversWaitingHandOver();
    void closeFromHandlerIsRefused();
    void closeJustAfterBoardSideHangUp();
    void closeSendsTheByteQueuedBehindAHandOver();
    void boardCommands_data();
    void boardCommands();

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

void ComPortTest::framerArrivalsThroughThePort_data() {
    addFramerArrivalRows();
}

void ComPortTest::framerArrivalsThroughThePort() {
    QFETCH(bool, armed);
    QFETCH(bool, rearm);
    QFETCH(QList<QByteArray>, arrivals);
    QFETCH(QList<QByteArray>, expected);

    FramerThroughPort link;
    QVERIFY2(link.open(51), qPrintable(link.board.error()));
    link.rearm = rearm;
    link.packet.setEnabled(armed);
    for (const QByteArray& bytes : arrivals)
        link.send(bytes);
    QCOMPARE(link.replies, expected);
    QCOMPARE(link.packet.Enabled(), armed && (rearm || expected.isEmpty()));
    link.port.close();
}

void ComPortTest::framerTimingThroughThePort_data() {
    addFramerTimingRows();
}

void ComPortTest::framerTimingThroughThePort() {
    QFETCH(quint32, origin);
    QFETCH(QByteArray, first);
    QFETCH(quint32, secondAfterMs);
    QFETCH(QByteArray, second);
    QFETCH(QList<QByteArray>, expected);
    QFETCH(int, timeoutAfterMs);

    FramerThroughPort link;
    QVERIFY2(link.open(52), qPrintable(link.board.error()));
    link.clock->store(origin);
    link.packet.setEnabled(true);
    link.send(first);
    // The deadline is set from the start marker's arrival, counted in whole ticks of 55 ms.
    const QTimer& timer = link.port.replyTimeoutTimer();
    QCOMPARE(timer.isActive(), first.contains('\n'));
    if (timer.isActive())
        QCOMPARE(timer.interval(), static_cast<int>(1001 * 55 - origin % 55));
    if (!second.isEmpty()) {
        link.advanceTo(origin + secondAfterMs);
        link.send(second);
    }
    link.advanceTo(origin + 600000u);

    QCOMPARE(link.replies, expected);
    if (timeoutAfterMs < 0) {
        QVERIFY(link.timeouts.isEmpty());
    } else {
        QCOMPARE(link.timeouts.size(), 1);
        const std::uint32_t after = link.timeouts.first() - origin;
        QVERIFY2(after > static_cast<std::uint32_t>(timeoutAfterMs) &&
                     after <= static_cast<std::uint32_t>(timeoutAfterMs) + 55,
                 QByteArray::number(after));
    }
    link.port.close();
}

void ComPortTest::handlerRunningAnEventLoopHoldsTheFramer() {
    // A handler showing a box runs an event loop: the framer must not run inside it, and what
    // arrives meanwhile (more than a pseudo-terminal holds) is read on and handled afterwards.
    FramerThroughPort link;
    QVERIFY2(link.open(53), qPrintable(link.board.error()));
    link.packet.setEnabled(true);
    qsizetype repliesDuringTheLoop = -1;
    bool loopRan = false;
    QObject::connect(&link.packet, &DataPacket::StringPacket, &link.packet, [&] {
        if (loopRan)
            return;
        loopRan = true;
        const qsizetype before = link.replies.size();
        QByteArray flood;
        for (int reply = 0; reply < 2000; ++reply)
            flood += "\nreply " + QByteArray::number(reply) + "\r";
        // Far more than the pseudo-terminal holds: it is all written only if the reader goes
        // on reading while the window thread is here.
        QElapsedTimer writing;
        writing.start();
        for (qsizetype at = 0; at < flood.size() && writing.elapsed() < 5000; at += 64) {
            while (!link.board.write(flood.mid(at, 64)) && writing.elapsed() < 5000)
                QThread::msleep(1);
        }
        QVERIFY(writing.elapsed() < 5000);
        QTest::qWait(300);
        repliesDuringTheLoop = link.replies.size() - before;
    });
    link.send("\nfirst\r");
    QTRY_COMPARE(link.replies.size(), 2001);
    QCOMPARE(repliesDuringTheLoop, 0);
    QCOMPARE(link.replies.last(), QByteArray("reply 1999"));
    link.port.close();
}

void ComPortTest::repliesDuringATimeoutHandlersLoop() {
    // A time-out handler showing a box runs an event loop; the replies that arrive meanwhile are
    // handled as soon as it returns, and so is everything after them.
    FramerThroughPort link;
    QVERIFY2(link.open(54), qPrintable(link.board.error()));
    link.packet.setEnabled(true);
    bool boxShown = false;
    QObject::connect(&link.packet, &DataPacket::Timeout, &link.packet, [&] {
        if (std::exchange(boxShown, true))
            return;
        QVERIFY(link.board.write("\nduring the box\r"));
        QTest::qWait(kSettleMs);
        QVERIFY(link.replies.isEmpty());
    });
    link.send("\nnever ended");
    link.advanceTo(60000);
    QCOMPARE(link.timeouts.size(), 1);
    QVERIFY(boxShown);
    QTRY_COMPARE_WITH_TIMEOUT(link.replies, QList<QByteArray>{"during the box"}, kSettleMs);
    link.send("\nafter the box\r");
    QCOMPARE(link.replies, (QList<QByteArray>{"during the box", "after the box"}));
    link.port.close();
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

void ComPortTest::openingInTheBackground_data() {
    QTest::addColumn<bool>("opens");
    QTest::addColumn<bool>("givenUp");
    QTest::newRow("opens") << true << false;
    QTest::newRow("fails") << false << false;
    QTest::newRow("given up, then opens") << true << true;
    QTest::newRow("given up, then fails") << false << true;
}

void ComPortTest::openingInTheBackground() {
    // A device slow to open holds only the port's own thread: this one goes on meanwhile, a
    // second request starts no second opening, and a given-up opening that succeeds late is
    // released by itself without a word.
    QFETCH(bool, opens);
    QFETCH(bool, givenUp);
    PseudoTerminal board;
    QVERIFY2(board.create(55), qPrintable(board.error()));
    const auto gate = std::make_shared<OpeningGate>();
    gate->hold();
    {
        ComPort port;
        port.setPortChooser(noChoice);
        port.setComNumber(55);
        port.setDeviceFactory(GatedDevice::factory(gate));
        QSignalSpy opened(&port, &ComPort::opened);
        QSignalSpy failed(&port, &ComPort::openFailed);
        port.openInBackground();
        QTRY_COMPARE(gate->waiting(), 1);
        QVERIFY(port.opening());
        QVERIFY(!port.isOpen());
        QVERIFY_THROWS_EXCEPTION(PortOpenError, port.SendByte(0x6D));
        port.openInBackground();
        QTest::qWait(50);
        if (givenUp) {
            port.close();
            QVERIFY(!port.opening());
        }
        gate->letGo(opens);
        if (givenUp) {
            QTRY_COMPARE(gate->waiting(), 0);
            QTRY_COMPARE(gate->closes(), opens ? 1 : 0);
            QTest::qWait(kSettleMs);
            QCOMPARE(opened.count(), 0);
            QCOMPARE(failed.count(), 0);
        } else if (opens) {
            QTRY_COMPARE(opened.count(), 1);
            QVERIFY(port.isOpen());
            port.SendByte(0x6D);
            QByteArray received;
            QTRY_COMPARE((received += board.readAvailable()), QByteArray("m"));
            port.close();
            QCOMPARE(gate->closes(), 1);
        } else {
            QTRY_COMPARE(failed.count(), 1);
            QCOMPARE(failed.first().first().toString(),
                     QStringLiteral("The serial port is in use by another program"));
            QCOMPARE(opened.count(), 0);
        }
        QVERIFY(!port.isOpen());
        QVERIFY(!port.opening());
        QCOMPARE(gate->openings(), 1);
        QVERIFY(!gate->outwaited());
    }
    // The device is free again: a port opened the usual way gets it.
    ComPort again;
    again.setComNumber(55);
    again.open();
    QVERIFY(again.isOpen());
    again.close();
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

void ComPortTest::boardCommands_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("openBefore");
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<bool>("openAfter");
    QTest::addColumn<int>("pausedMs");
    QTest::addColumn<bool>("failed");
    QTest::newRow("start") << "start" << false << QByteArray("m") << true << 100 << false;
    QTest::newRow("start again") << "start" << true << QByteArray("m") << true << 100 << false;
    QTest::newRow("restart") << "restart" << true << QByteArray("m") << true << 0 << false;
    QTest::newRow("stop") << "stop" << true << QByteArray(" ") << false << 150 << false;
    QTest::newRow("release") << "release" << true << QByteArray(" ") << false << 200 << false;
    // Windows allows a session that ends only a few seconds.
    QTest::newRow("release, session end")
        << "session end" << true << QByteArray(" ") << false << 100 << false;
    // The port is released whatever the stop command did.
    QTest::newRow("release, stop command fails")
        << "release" << false << QByteArray() << false << 100 << true;
    QTest::newRow("release, session end, stop command fails")
        << "session end" << false << QByteArray() << false << 0 << true;
}

void ComPortTest::boardCommands() {
    QFETCH(QString, command);
    QFETCH(bool, openBefore);
    QFETCH(QByteArray, received);
    QFETCH(bool, openAfter);
    QFETCH(int, pausedMs);
    QFETCH(bool, failed);
    PseudoTerminal board;
    QVERIFY2(board.create(43), qPrintable(board.error()));
    ComPort port;
    port.setPortChooser(noChoice);
    port.setComNumber(43);
    DataPacket framer(&port);
    std::uint32_t clock = 0;
    thermavo::TDelayTimer delay([&clock] { return clock; }, [&clock] { ++clock; });
    thermavo::BoardCommands commands(port, framer, delay);
    if (openBefore)
        port.open();

    using Release = thermavo::BoardCommands::Release;
    std::exception_ptr failure;
    if (command == "start")
        commands.start(19200);
    else if (command == "restart")
        commands.restart();
    else if (command == "stop")
        commands.stop();
    else
        failure = commands.release(command == "release" ? Release::Orderly : Release::SessionEnd);

    QCOMPARE(port.isOpen(), openAfter);
    if (command == "start")
        QCOMPARE(port.Baud(), 19200);
    QCOMPARE(static_cast<int>(clock), pausedMs);
    QCOMPARE(failure != nullptr, failed);
    QByteArray bytes;
    QTRY_COMPARE((bytes += board.readAvailable()), received);
    QTest::qWait(kSettleMs);
    QCOMPARE(bytes += board.readAvailable(), received);
    port.close();
}

QTEST_MAIN(ComPortTest)
#include "test_comport.moc"
