#include "app/frmMain.h"
#include "link/comport.h"
#include "link/datapacket.h"
#include "link/portprobe.h"
#include "measure/decode.h"
#include "ui_frmMain.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <windows.h>

using thermavo::ComPort;
using thermavo::DataPacket;
using thermavo::PortOpenError;

// The link on the Windows serial API, end to end: thermavo-sim runs natively as the board and
// Wine leads THERMAVO_BOARD_PORT to its pseudo-terminal (tests/windows/with-board).

namespace {

constexpr int kRepliesWithinMs = 5000;
constexpr int kLossWithinMs = 5000;

bool underWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The bytes the board received, from its log: one "<ms> <time> 0x<byte>" line per byte.
QByteArray boardReceived() {
    QFile log(qEnvironmentVariable("THERMAVO_BOARD_LOG"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QByteArray bytes;
    for (const QByteArray& line : log.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 3)
            bytes.append(static_cast<char>(fields[2].toUInt(nullptr, 16)));
    }
    return bytes;
}

// Creates the file named by an environment variable of tests/windows/with-board.
void signalBoard(const char* variable) {
    QFile file(qEnvironmentVariable(variable));
    QVERIFY(file.open(QIODevice::WriteOnly));
}

// Collects the replies and keeps the framer armed, as the main window does.
struct ReplyCollector {
    explicit ReplyCollector(ComPort& port) : packet(&port) {
        QObject::connect(&packet, &DataPacket::StringPacket, &packet,
                         [this](const QByteArray& reply) {
                             replies.append(reply);
                             packet.setEnabled(true);
                         });
        packet.setEnabled(true);
    }
    DataPacket packet;
    QList<QByteArray> replies;
};

} // namespace

class WinLinkTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void probeFindsTheBoardsPort();
    void missingPortsFailToOpen_data();
    void missingPortsFailToOpen();
    void onLineRepliesAndOffLine();
    void secondOpenIsRefused();
    // It ends the board; the next case starts it again.
    void lostBoardIsReportedOnce();
    void windowReconnectsWhenTheBoardIsBack();

private:
    int m_port = 0;
};

void WinLinkTest::initTestCase() {
    m_port = qEnvironmentVariableIntValue("THERMAVO_BOARD_PORT");
    QVERIFY2(m_port > 0, "run by tests/windows/with-board");
}

void WinLinkTest::probeFindsTheBoardsPort() {
    QVERIFY(thermavo::isPortPresent(m_port));
    QVERIFY(!thermavo::isPortPresent(m_port + 1));
    const std::vector<int> present = thermavo::presentPorts();
    QVERIFY(std::find(present.begin(), present.end(), m_port) != present.end());
    // The probe changes nothing on the port and sends nothing.
    QCOMPARE(boardReceived(), QByteArray());
}

void WinLinkTest::missingPortsFailToOpen_data() {
    QTest::addColumn<int>("offset");
    QTest::newRow("number without a device") << 1;
    QTest::newRow("number beyond COM256") << 300;
}

void WinLinkTest::missingPortsFailToOpen() {
    QFETCH(int, offset);
    ComPort port;
    port.setComNumber(m_port + offset);
    try {
        port.open();
        QFAIL("the port opened");
    } catch (const PortOpenError& error) {
        QCOMPARE(error.reason(), PortOpenError::Reason::NoSuchPort);
    }
    QVERIFY(!port.isOpen());
    QCOMPARE(port.ComNumber(), m_port + offset);
}

void WinLinkTest::onLineRepliesAndOffLine() {
    ComPort port;
    port.setComNumber(m_port);
    port.setBaud(57600);
    ReplyCollector collector(port);
    port.open();
    // Opening sends nothing: the board starts only on the start command.
    QTest::qWait(300);
    QCOMPARE(boardReceived(), QByteArray());
    QVERIFY(collector.replies.isEmpty());

    port.SendByte(0x6D);
    QTRY_VERIFY_WITH_TIMEOUT(collector.replies.size() >= 2, kRepliesWithinMs);
    for (const QByteArray& reply : collector.replies) {
        QCOMPARE(reply.size(), qsizetype(thermavo::kShortReplyLength));
        const auto decoded =
            thermavo::decodeEightChannel(std::string_view(reply.constData(), reply.size()));
        QCOMPARE(decoded.count, thermavo::kEightChannelReadings);
        for (int channel = 0; channel < decoded.count; ++channel) {
            QVERIFY2(decoded.readings[channel].value > -45.0f &&
                         decoded.readings[channel].value < 150.0f,
                     reply.constData());
        }
    }

    // The stop command queued right before the close still reaches the board.
    port.SendByte(0x20);
    port.close();
    QVERIFY(!port.isOpen());
    QTRY_COMPARE(boardReceived(), QByteArray("m "));
}

void WinLinkTest::secondOpenIsRefused() {
    ComPort first;
    first.setComNumber(m_port);
    first.open();
    ComPort second;
    second.setComNumber(m_port);
    try {
        second.open();
    } catch (const PortOpenError& error) {
        QCOMPARE(error.reason(), PortOpenError::Reason::PortInUse);
        return;
    }
    second.close();
    if (underWine())
        QSKIP("Wine does not enforce exclusive access to a COM port; test_comport checks "
              "exclusivity on Linux");
    QFAIL("a second opener got the port");
}

void WinLinkTest::lostBoardIsReportedOnce() {
    ComPort port;
    port.setComNumber(m_port);
    ReplyCollector collector(port);
    QSignalSpy lost(&port, &ComPort::portLost);
    port.open();
    port.SendByte(0x6D);
    QTRY_VERIFY_WITH_TIMEOUT(!collector.replies.isEmpty(), kRepliesWithinMs);

    QFile hangUp(qEnvironmentVariable("THERMAVO_BOARD_HANGUP"));
    QVERIFY(hangUp.open(QIODevice::WriteOnly));
    hangUp.close();
    QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, kLossWithinMs);
    QVERIFY(!lost.first().first().toString().isEmpty());
    QTest::qWait(300);
    QCOMPARE(lost.size(), 1);

    // The port stays open until the window closes it; bytes for the lost board go nowhere.
    QVERIFY(port.isOpen());
    port.SendByte(0x20);
    port.close();
    QVERIFY(!port.isOpen());
    QCOMPARE(lost.size(), 1);
}

void WinLinkTest::windowReconnectsWhenTheBoardIsBack() {
    // A re-plugged adapter keeps its COM number on Windows: the board comes back on the same port
    // and the window goes on line to it by itself.
    signalBoard("THERMAVO_BOARD_RESTART");
    QTRY_VERIFY_WITH_TIMEOUT(thermavo::isPortPresent(m_port), kRepliesWithinMs);
    QTemporaryDir folder;
    QStringList messages;
    MainFormServices services = MainFormServices::system();
    services.showMessage = [&](QMessageBox::Icon, const QString&, const QString& text) {
        messages << text;
    };
    services.choosePort = [this] { return std::optional<int>(m_port); };
    services.settingsFile = folder.filePath(QStringLiteral("thermavo.INI"));
    services.reconnectIntervalMs = 100;
    TMainForm form(services);
    form.ui().OnLineButton->click();
    QVERIFY(form.onLine());
    QTRY_COMPARE_WITH_TIMEOUT(boardReceived(), QByteArray("\x6d"), kRepliesWithinMs);

    signalBoard("THERMAVO_BOARD_HANGUP");
    QTRY_VERIFY_WITH_TIMEOUT(form.reconnecting(), kLossWithinMs);
    QVERIFY(!form.port().isOpen());
    signalBoard("THERMAVO_BOARD_RESTART");
    QTRY_VERIFY_WITH_TIMEOUT(form.onLine(), kRepliesWithinMs);
    QVERIFY(!form.reconnecting());
    // The board that came back was started exactly once.
    QTRY_COMPARE_WITH_TIMEOUT(boardReceived(), QByteArray("\x6d"), kRepliesWithinMs);
    QTest::qWait(300);
    QCOMPARE(boardReceived(), QByteArray("\x6d"));
    form.ui().OnLineButton->click();
    QVERIFY(!form.onLine());
    QTRY_COMPARE_WITH_TIMEOUT(boardReceived(), QByteArray("\x6d\x20"), kRepliesWithinMs);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));
}

QTEST_MAIN(WinLinkTest)
#include "test_winlink.moc"
