#include "app/features.h"
#include "app/frmMain.h"
#include "broker.h"
#include "events/runpublisher.h"
#include "harness.h"
#include "link/datapacket.h"
#include "publish/publishfeature.h"
#include "publish/publishrules.h"
#include "publish/publishwindow.h"
#include "ui/integerfield.h"
#include "ui_frmMain.h"
#include "ui_publishwindow.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

// The real window on line to thermavo-sim publishing to a real broker, watched by a real
// subscriber; brokers that are missing, silent, closing or refusing; and the real program killed.

using namespace thermavo;
using namespace thermavo::brokertest;
using namespace thermavo::harness;

namespace {

constexpr int kQuietSampleSeconds = 1000;
constexpr int kSettleMs = 15'000;
constexpr int kPort = 233;
const std::string kPrefix = "e2e/pc";

// The longest time the window thread went without running its event loop, sampled every 5 ms.
class StallMeter : public QObject {
public:
    StallMeter() {
        m_clock.start();
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.elapsed();
            m_longest = std::max(m_longest, now - m_last);
            m_last = now;
        });
        m_timer.start(5);
    }
    qint64 longestMs() const { return m_longest; }

private:
    QElapsedTimer m_clock;
    QTimer m_timer;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

QJsonObject parsed(const std::string& payload) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(payload)).object();
}

} // namespace

class PublishEndToEndTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_folder;
    QDateTime m_now;
    std::optional<int> m_chosenPort;
    std::unique_ptr<TMainForm> m_form;
    std::vector<SampleTick> m_ticks;

    QString settingsFile() const { return m_folder.filePath(QStringLiteral("thermavo.INI")); }

    // With a CA file, over TLS.
    static void writeSettings(const QString& path, const QString& host, int port,
                              const QString& user = {}, const QString& password = {},
                              const QString& caFile = {}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QStringLiteral("[Publish]\r\nEnabled=1\r\nHost=%1\r\nPort=%2\r\n"
                                  "ClientId=e2e-client\r\nTopicPrefix=%3\r\nUser=%4\r\n")
                       .arg(host)
                       .arg(port)
                       .arg(QString::fromStdString(kPrefix), user)
                       .toUtf8());
        if (!caFile.isEmpty())
            file.write(QStringLiteral("Tls=1\r\nCaFile=%1\r\n").arg(caFile).toUtf8());
        file.close();
        QFile secret(QFileInfo(path).dir().filePath(QStringLiteral("thermavo-broker-password")));
        QVERIFY(secret.open(QIODevice::WriteOnly | QIODevice::Truncate));
        secret.write(password.toUtf8());
    }

    MainFormServices services() {
        return harness::endToEndServices([this] { return m_now; }, [this] { return m_chosenPort; },
                                         [](const QString&) {}, settingsFile(), QString());
    }

    void openForm() {
        m_form = std::make_unique<TMainForm>(services());
        m_form->ui().SampleIntervalField->setValue(kQuietSampleSeconds);
        m_form->IntervalFieldChange();
        BrokerTiming timing;
        timing.firstPauseMs = 100;
        timing.longestPauseMs = 400;
        timing.answerTimeoutMs = 1000;
        publish().setTiming(timing);
    }

    PublishFeature& publish() { return m_form->features().publish(); }
    QString status() { return publish().statusLabel().toolTip(); }

    void switchOnLine() {
        m_chosenPort = kPort;
        m_form->ui().OnLineButton->click();
        QVERIFY(m_form->onLine());
    }

    // One tick of the sample clock a second after the last, once the board has replied twice.
    void tick(QSignalSpy& replies) {
        const qsizetype target = replies.count() + 2;
        QTRY_VERIFY_WITH_TIMEOUT(replies.count() >= target, kSettleMs);
        m_now = m_now.addSecs(1);
        m_form->SampleIntervalTimerTimer();
    }

    // What a subscriber of the state topic must have seen for the ticks, in order.
    std::vector<std::string> expectedTimes() const {
        std::vector<std::string> times;
        for (const SampleTick& tick : m_ticks)
            times.push_back(isoTime(tick.msSinceEpoch, tick.utcOffsetSeconds));
        return times;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_folder.isValid());
        QVERIFY2(QFile::exists(simulatorPath()), qPrintable(simulatorPath()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_folder.path()));
    }

    void init() {
        m_now = QDateTime(QDate(2024, 12, 8), QTime(15, 12, 0));
        m_ticks.clear();
    }

    void cleanup() {
        if (m_form)
            m_form->close();
        m_form.reset();
    }

    // Every tick's values on their topics, the state with its time, the status online, the
    // channels announced to Home Assistant; the password file readable by the user alone.
    void ticksArriveOnTheirTopics() {
        Broker broker(freePort());
        Subscriber readings(broker.port(), kPrefix + "/#", "readings");
        Subscriber discovery(broker.port(), "homeassistant/#", "discovery");
        writeSettings(settingsFile(), QStringLiteral("127.0.0.1"), broker.port());
        // T2 above a high limit it can never be below: its alarm is raised at the first tick.
        {
            QFile file(settingsFile());
            QVERIFY(file.open(QIODevice::Append));
            file.write("[AlarmT2]\r\nName=Freezer A\r\nHigh=-40\r\n");
        }
        openForm();
        connect(&m_form->events(), &RunPublisher::sampleTick, this,
                [this](const SampleTick& tick) { m_ticks.push_back(tick); });
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Broker: online"), kSettleMs);
        QTRY_COMPARE_WITH_TIMEOUT(readings.lastOf(kPrefix + "/status"), std::string("online"),
                                  kSettleMs);

        Simulator board(kPort, {"--rate", "20", "--seed", "3"});
        QVERIFY(board.waitUntilReady());
        QSignalSpy replies(m_form->findChild<DataPacket*>(), &DataPacket::StringPacket);
        switchOnLine();
        for (int count = 0; count < 5; ++count)
            tick(replies);
        QCOMPARE(m_ticks.size(), std::size_t{5});

        QTRY_COMPARE_WITH_TIMEOUT(readings.payloadsOf(kPrefix + "/state").size(), std::size_t{5},
                                  kSettleMs);
        const std::vector<std::string> states = readings.payloadsOf(kPrefix + "/state");
        for (std::size_t index = 0; index < m_ticks.size(); ++index) {
            const SampleTick& sent = m_ticks[index];
            const QJsonObject state = parsed(states[index]);
            QCOMPARE(state.value("time").toString().toStdString(),
                     isoTime(sent.msSinceEpoch, sent.utcOffsetSeconds));
            // The same instant as the window's clock at that tick, a second apart.
            QCOMPARE(QDateTime::fromString(state.value("time").toString(), Qt::ISODateWithMs),
                     m_now.addSecs(static_cast<int>(index) - 4));
            QCOMPARE(state.value("board").toString(), QStringLiteral("Vexor08"));
            for (int channel = 0; channel < kTickChannels; ++channel) {
                const ChannelTick& value = sent.channels[static_cast<std::size_t>(channel)];
                const QJsonValue got = state.value(QStringLiteral("T%1").arg(channel + 1));
                QCOMPARE(got.isNull(), !value.valid);
                if (value.valid)
                    QCOMPARE(got.toDouble(), std::stod(formatTemperature(value.filtered)));
            }
        }
        // The bare values of each channel, tick after tick.
        for (int channel = 0; channel < kTickChannels; ++channel) {
            std::vector<std::string> expected;
            for (const SampleTick& sent : m_ticks)
                if (sent.channels[static_cast<std::size_t>(channel)].valid)
                    expected.push_back(formatTemperature(
                        sent.channels[static_cast<std::size_t>(channel)].filtered));
            QVERIFY(!expected.empty());
            QTRY_COMPARE_WITH_TIMEOUT(readings.payloadsOf(channelTopic(kPrefix, channel)), expected,
                                      kSettleMs);
        }
        // One sensor per channel of the 8-channel board, retained for Home Assistant.
        QTRY_COMPARE_WITH_TIMEOUT(discovery.received().size(), std::size_t{16}, kSettleMs);
        int sensors = 0;
        for (const Received& message : discovery.received()) {
            if (message.topic.find("/sensor/") == std::string::npos)
                continue;
            ++sensors;
            const QJsonObject config = parsed(message.payload);
            QCOMPARE(config.value("device_class").toString(), QStringLiteral("temperature"));
            QCOMPARE(config.value("availability_topic").toString().toStdString(),
                     kPrefix + "/status");
        }
        QCOMPARE(sensors, 8);

        // Home Assistant announcing itself gets the discovery again with the next sample.
        QCOMPARE(QProcess::execute(QStringLiteral("mosquitto_pub"),
                                   {QStringLiteral("-p"), QString::number(broker.port()),
                                    QStringLiteral("-t"), QStringLiteral("homeassistant/status"),
                                    QStringLiteral("-m"), QStringLiteral("online")}),
                 0);
        const auto configs = [&discovery] {
            std::size_t count = 0;
            for (const Received& message : discovery.received())
                count += message.topic.ends_with("/config") ? 1 : 0;
            return count;
        };
        for (int count = 0; count < 5 && configs() < 32; ++count) {
            tick(replies);
            QTest::qWait(200);
        }
        QCOMPARE(configs(), std::size_t{32});

        // The alarm raised at the first tick reached the broker: its channel's level, retained,
        // and the event with the value and limit.
        QTRY_COMPARE_WITH_TIMEOUT(readings.lastOf(kPrefix + "/alarm/T2"), std::string("high"),
                                  kSettleMs);
        QTRY_COMPARE_WITH_TIMEOUT(readings.payloadsOf(kPrefix + "/alarm/event").size(),
                                  std::size_t{1}, kSettleMs);
        const QJsonObject raised = parsed(readings.lastOf(kPrefix + "/alarm/event"));
        QCOMPARE(raised.value("channel").toString(), QStringLiteral("T2"));
        QCOMPARE(raised.value("name").toString(), QStringLiteral("Freezer A"));
        QCOMPARE(raised.value("kind").toString(), QStringLiteral("high"));
        QCOMPARE(raised.value("event").toString(), QStringLiteral("raised"));
        QCOMPARE(raised.value("level").toString(), QStringLiteral("high"));
        QCOMPARE(raised.value("limit").toDouble(), -40.0);
        QCOMPARE(raised.value("value").toDouble(),
                 std::stod(formatTemperature(m_ticks.front().channels[1].filtered)));
        QCOMPARE(raised.value("time").toString().toStdString(),
                 isoTime(m_ticks.front().msSinceEpoch, m_ticks.front().utcOffsetSeconds));
        QVERIFY(readings.lastOf(kPrefix + "/alarm/T1").empty());

        // Applying the settings from the window keeps the password from other users.
        publish().apply(publish().settings());
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Broker: online"), kSettleMs);
        QTRY_COMPARE_WITH_TIMEOUT(readings.lastOf(kPrefix + "/status"), std::string("online"),
                                  kSettleMs);
        QFile::remove(m_folder.filePath(QStringLiteral("thermavo-broker-password")));
        PublishSettings withPassword = publish().settings();
        withPassword.broker.password = "secret";
        withPassword.enabled = false;
        publish().apply(withPassword);
        QCOMPARE(QFile::permissions(m_folder.filePath(QStringLiteral("thermavo-broker-password"))),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                     QFileDevice::WriteUser);
        QVERIFY(!publish().publishing());
        QVERIFY(publish().statusLabel().isHidden());
        // Switched off, it says so itself rather than leave "online" behind.
        QTRY_COMPARE_WITH_TIMEOUT(readings.lastOf(kPrefix + "/status"), std::string("offline"),
                                  kSettleMs);
    }

    // The broker away for thirty samples: they all arrive once it is back, oldest first, each
    // with its own time, and the window thread never waited for it.
    void brokerAwayAndBack() {
        Broker broker(freePort());
        Subscriber readings(broker.port(), kPrefix + "/state", "away-and-back");
        writeSettings(settingsFile(), QStringLiteral("127.0.0.1"), broker.port());
        openForm();
        connect(&m_form->events(), &RunPublisher::sampleTick, this,
                [this](const SampleTick& tick) { m_ticks.push_back(tick); });
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Broker: online"), kSettleMs);
        Simulator board(kPort, {"--rate", "20", "--seed", "5"});
        QVERIFY(board.waitUntilReady());
        QSignalSpy replies(m_form->findChild<DataPacket*>(), &DataPacket::StringPacket);
        switchOnLine();
        StallMeter stalls;
        for (int count = 0; count < 2; ++count)
            tick(replies);
        QTRY_COMPARE_WITH_TIMEOUT(readings.payloadsOf(kPrefix + "/state").size(), std::size_t{2},
                                  kSettleMs);

        broker.stop();
        QTRY_VERIFY_WITH_TIMEOUT(status().startsWith("Broker unreachable"), kSettleMs);
        for (int count = 0; count < 30; ++count)
            tick(replies);
        QTRY_VERIFY_WITH_TIMEOUT(status().contains("samples waiting"), kSettleMs);
        QVERIFY2(broker.start(), "the broker did not start again");
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Broker: online"), kSettleMs);

        // At least once: a sample in flight when the broker went may come twice, never out of
        // order and never missing.
        const std::vector<std::string> expected = expectedTimes();
        std::vector<std::string> times;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                times.clear();
                for (const std::string& payload : readings.payloadsOf(kPrefix + "/state")) {
                    const std::string time = parsed(payload).value("time").toString().toStdString();
                    if (times.empty() || times.back() != time)
                        times.push_back(time);
                }
                return times.size() >= expected.size();
            }(),
            kSettleMs);
        QCOMPARE(times, expected);
        qInfo("Longest stall of the window thread: %lld ms", stalls.longestMs());
    }

    // The window closed while publishing. With the broker online every sample and alarm event
    // still queued reaches it, then "offline" from the program itself, a clean disconnect. A
    // broker that stopped answering holds the close up no longer than its bound (the close would
    // never return otherwise), and "offline" comes by the will once it answers again; a broker
    // gone holds it up not at all.
    void closingSendsWhatIsQueued_data() {
        QTest::addColumn<QString>("broker");
        QTest::addColumn<int>("events");
        QTest::newRow("online") << "online" << 40;
        QTest::newRow("not answering") << "frozen" << 40;
        QTest::newRow("stopped") << "stopped" << 5;
    }
    void closingSendsWhatIsQueued() {
        QFETCH(QString, broker);
        QFETCH(int, events);
        Broker server(freePort());
        Subscriber readings(server.port(), kPrefix + "/#", "closing");
        writeSettings(settingsFile(), QStringLiteral("127.0.0.1"), server.port());
        openForm();
        // The shortest keep-alive the library takes: a broker woken after a freeze gives the
        // client up within 7.5 s.
        BrokerTiming timing;
        timing.firstPauseMs = 100;
        timing.longestPauseMs = 400;
        timing.keepAliveSeconds = 5;
        publish().setTiming(timing);
        connect(&m_form->events(), &RunPublisher::sampleTick, this,
                [this](const SampleTick& tick) { m_ticks.push_back(tick); });
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Broker: online"), kSettleMs);
        QTRY_COMPARE_WITH_TIMEOUT(readings.lastOf(kPrefix + "/status"), std::string("online"),
                                  kSettleMs);
        Simulator board(kPort, {"--rate", "20", "--seed", "7"});
        QVERIFY(board.waitUntilReady());
        QSignalSpy replies(m_form->findChild<DataPacket*>(), &DataPacket::StringPacket);
        switchOnLine();
        if (broker == "stopped") {
            server.stop();
            QTRY_VERIFY_WITH_TIMEOUT(status().startsWith("Broker unreachable"), kSettleMs);
        } else if (broker == "frozen") {
            server.freeze();
        }
        for (int count = 0; count < 3; ++count)
            tick(replies);
        // More events than the library lets wait for their acknowledgement at once.
        for (int event = 0; event < events; ++event)
            publish().publishAlarmEvent({event % kTickChannels, AlarmLevel::High,
                                         30.0f + static_cast<float>(event), 30.0f,
                                         m_now.toMSecsSinceEpoch(), 3600});
        QElapsedTimer closing;
        closing.start();
        m_form->close();
        qInfo("%s: the close took %lld ms", qPrintable(broker), closing.elapsed());
        QVERIFY(!publish().publishing());
        if (broker == "stopped")
            return;
        if (broker == "frozen") {
            server.thaw();
            QTRY_COMPARE_WITH_TIMEOUT(readings.lastOf(kPrefix + "/status"), std::string("offline"),
                                      kSettleMs);
            // Only the client the close found: the one setTiming() replaced may have come and
            // gone cleanly before it on a slow machine.
            const QString log = server.log();
            QVERIFY2(!log.mid(log.lastIndexOf(QStringLiteral(" as e2e-client ")))
                          .contains(QStringLiteral("Client e2e-client disconnected.")),
                     qPrintable(log));
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(readings.lastOf(kPrefix + "/status"), std::string("offline"),
                                  kSettleMs);
        const std::vector<Received> received = readings.received();
        QCOMPARE(received.back().topic, kPrefix + "/status");
        QCOMPARE(received.back().payload, std::string("offline"));
        std::vector<std::string> times;
        for (const std::string& payload : readings.payloadsOf(kPrefix + "/state"))
            times.push_back(parsed(payload).value("time").toString().toStdString());
        QCOMPARE(times, expectedTimes());
        const std::vector<std::string> sent = readings.payloadsOf(kPrefix + "/alarm/event");
        QCOMPARE(sent.size(), static_cast<std::size_t>(events));
        for (int event = 0; event < events; ++event)
            QCOMPARE(parsed(sent[static_cast<std::size_t>(event)]).value("value").toDouble(),
                     30.0 + event);
        // Said by the program: the broker saw a clean disconnect of the last client, which fires
        // no will. A client replaced before may have left the same line earlier in the log.
        QTRY_VERIFY2_WITH_TIMEOUT(
            server.log().trimmed().endsWith("Client e2e-client disconnected."),
            qPrintable(server.log()), kSettleMs);
    }

    // Alarm events sent to a broker that went before it acknowledged them are sent again to the
    // broker that comes back.
    void unacknowledgedEventsAreSentAgain() {
        constexpr int kEvents = 5;
        const int port = freePort();
        auto broker = std::make_unique<Broker>(port);
        writeSettings(settingsFile(), QStringLiteral("127.0.0.1"), port);
        openForm();
        // Long enough for the new broker's subscriber to be there before the client is back.
        BrokerTiming timing;
        timing.firstPauseMs = 2000;
        timing.longestPauseMs = 2000;
        publish().setTiming(timing);
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Broker: online"), kSettleMs);
        broker->freeze();
        for (int event = 0; event < kEvents; ++event)
            publish().publishAlarmEvent({event, AlarmLevel::High, 40.0f + static_cast<float>(event),
                                         30.0f, m_now.toMSecsSinceEpoch(), 0});
        // The client's thread hands them to the frozen broker within a quarter of a second.
        QTest::qWait(500);
        broker->kill();
        broker = std::make_unique<Broker>(port);
        Subscriber events(port, kPrefix + "/alarm/event", "resent");
        QTRY_COMPARE_WITH_TIMEOUT(events.payloadsOf(kPrefix + "/alarm/event").size(),
                                  std::size_t{kEvents}, kSettleMs);
        const std::vector<std::string> received = events.payloadsOf(kPrefix + "/alarm/event");
        for (int event = 0; event < kEvents; ++event)
            QCOMPARE(parsed(received[static_cast<std::size_t>(event)]).value("value").toDouble(),
                     40.0 + event);
    }

    // Brokers that cannot be reached, or turn the client away: a clear text, further attempts,
    // and the window never waits.
    void badBrokers_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::newRow("unresolvable host") << "host"
                                           << "Broker unreachable: host name not found";
        QTest::newRow("nothing listens") << "closed"
                                         << "Broker unreachable: Connection refused";
        QTest::newRow("accepts, never answers") << "silent"
                                                << "Broker unreachable: the broker does not answer";
        QTest::newRow("closes at once") << "closing"
                                        << "Broker unreachable: connection lost";
        QTest::newRow("wrong password") << "password"
                                        << "Broker refused: wrong user name or password";
        QTest::newRow("TLS, another CA")
            << "other CA"
            << "Broker unreachable: TLS: the broker's certificate is not signed by the CA file";
        QTest::newRow("TLS, no CA file") << "no CA"
                                         << "Broker unreachable: TLS: cannot read the CA file";
    }
    void badBrokers() {
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QTcpServer server;
        std::unique_ptr<Broker> broker;
        std::vector<std::unique_ptr<QTcpSocket>> held;
        QString host = QStringLiteral("127.0.0.1");
        int port = freePort();
        if (kind == "host") {
            host = QStringLiteral("no-such-host.invalid");
        } else if (kind == "silent" || kind == "closing") {
            QVERIFY(server.listen(QHostAddress::LocalHost, 0));
            port = server.serverPort();
            connect(&server, &QTcpServer::newConnection, this, [&] {
                while (QTcpSocket* socket = server.nextPendingConnection()) {
                    if (kind == "closing")
                        socket->abort();
                    else
                        held.emplace_back(socket);
                }
            });
        } else if (kind == "password") {
            broker = std::make_unique<Broker>(port, "logger", "right");
        }
        std::optional<Certificates> served;
        std::optional<Certificates> other;
        QString caFile;
        if (kind == "other CA") {
            served.emplace();
            other.emplace();
            QVERIFY(served->valid() && other->valid());
            broker = std::make_unique<Broker>(port, QString(), QString(), served->listenerLines());
            caFile = other->caFile();
        } else if (kind == "no CA") {
            caFile = m_folder.filePath(QStringLiteral("missing/ca.crt"));
        }
        writeSettings(settingsFile(), host, port, "logger", "wrong", caFile);
        openForm();
        QStringList seen;
        connect(&publish(), &PublishFeature::statusChanged, this,
                [&seen](const QString& shown) { seen << shown; });
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        const QSize size = m_form->size();
        StallMeter stalls;
        QLabel& label = publish().statusLabel();
        // Two failed attempts, each told, with a connecting in between.
        const auto failures = [&] {
            qsizetype count = 0;
            for (const QString& shown : seen)
                count += shown.startsWith(text) ? 1 : 0;
            return count;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(failures() >= 2, qPrintable(seen.join('\n')), kSettleMs);
        QVERIFY2(seen.filter(QStringLiteral("Broker: connecting")).size() >= 2,
                 qPrintable(seen.join('\n')));
        QTRY_VERIFY_WITH_TIMEOUT(label.toolTip().startsWith(text), kSettleMs);
        QVERIFY2(label.toolTip().contains("next try in"), qPrintable(label.toolTip()));
        QVERIFY(label.text().startsWith(text.left(20)));
        // However long the text, the main window keeps its size.
        QCOMPARE(m_form->size(), size);
        qInfo("%s: longest stall of the window thread: %lld ms", qPrintable(kind),
              stalls.longestMs());
    }

    // TLS switched on in the window with the CA file of the broker's certificate: the samples
    // reach it over TLS.
    void tlsThroughTheWindow() {
        const Certificates certificates;
        QVERIFY(certificates.valid());
        const int plainPort = freePort();
        Broker broker(freePort(), QString(), QString(),
                      certificates.listenerLines()
                          << QStringLiteral("listener %1 127.0.0.1").arg(plainPort));
        Subscriber readings(plainPort, kPrefix + "/#", "tls");
        QFile::remove(settingsFile());
        openForm();
        connect(&m_form->events(), &RunPublisher::sampleTick, this,
                [this](const SampleTick& tick) { m_ticks.push_back(tick); });
        publish().showWindow();
        Ui::PublishWindow& ui = publish().window()->ui();
        ui.EnabledBox->setChecked(true);
        ui.HostEdit->setText(QStringLiteral("localhost"));
        ui.PortBox->setValue(broker.port());
        ui.ClientIdEdit->setText(QStringLiteral("e2e-client"));
        ui.PrefixEdit->setText(QString::fromStdString(kPrefix));
        ui.TlsBox->setChecked(true);
        ui.CaFileEdit->setText(certificates.caFile());
        ui.Buttons->button(QDialogButtonBox::Apply)->click();
        QTRY_COMPARE_WITH_TIMEOUT(ui.StatusText->text(), QStringLiteral("Broker: online"),
                                  kSettleMs);
        QTRY_COMPARE_WITH_TIMEOUT(readings.lastOf(kPrefix + "/status"), std::string("online"),
                                  kSettleMs);
        QVERIFY(readAll(settingsFile())
                    .contains("Tls=1\r\nCaFile=" + QFile::encodeName(certificates.caFile())));

        Simulator board(kPort, {"--rate", "20", "--seed", "9"});
        QVERIFY(board.waitUntilReady());
        QSignalSpy replies(m_form->findChild<DataPacket*>(), &DataPacket::StringPacket);
        switchOnLine();
        for (int count = 0; count < 3; ++count)
            tick(replies);
        std::vector<std::string> times;
        QTRY_COMPARE_WITH_TIMEOUT(readings.payloadsOf(kPrefix + "/state").size(), std::size_t{3},
                                  kSettleMs);
        for (const std::string& payload : readings.payloadsOf(kPrefix + "/state"))
            times.push_back(parsed(payload).value("time").toString().toStdString());
        QCOMPARE(times, expectedTimes());
    }

    // Several loggers, each a window with its own board and client, publish to one broker: each
    // prefix carries its own samples, in order, and every QoS 1 event arrives. Four loggers for
    // eight samples each keep it short enough for every CI run.
    void severalLoggersKeepTheirTopicsApart() {
        constexpr int kLoggers = 4;
        constexpr int kSamples = 8;
        Broker broker(freePort());
        Subscriber readings(broker.port(), "multi/#", "several");
        std::vector<std::unique_ptr<TMainForm>> forms;
        std::vector<std::unique_ptr<Simulator>> boards;
        std::vector<std::unique_ptr<QSignalSpy>> replies;
        std::vector<std::vector<SampleTick>> ticks(kLoggers);
        for (int logger = 0; logger < kLoggers; ++logger) {
            const QString file = m_folder.filePath(QStringLiteral("logger%1.INI").arg(logger));
            QFile ini(file);
            QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
            ini.write(QStringLiteral("[Publish]\r\nEnabled=1\r\nHost=127.0.0.1\r\nPort=%1\r\n"
                                     "ClientId=logger-%2\r\nTopicPrefix=multi/%2\r\n"
                                     "HomeAssistant=0\r\n")
                          .arg(broker.port())
                          .arg(logger)
                          .toUtf8());
            ini.close();
            MainFormServices forLogger = services();
            forLogger.settingsFile = file;
            forms.push_back(std::make_unique<TMainForm>(forLogger));
            TMainForm& form = *forms.back();
            form.ui().SampleIntervalField->setValue(kQuietSampleSeconds);
            form.IntervalFieldChange();
            connect(&form.events(), &RunPublisher::sampleTick, this,
                    [&ticks, logger](const SampleTick& tick) {
                        ticks[static_cast<std::size_t>(logger)].push_back(tick);
                    });
            boards.push_back(std::make_unique<Simulator>(
                kPort + 1 + logger,
                QStringList{"--rate", "20", "--seed", QString::number(logger)}));
            QVERIFY(boards.back()->waitUntilReady());
            replies.push_back(std::make_unique<QSignalSpy>(form.findChild<DataPacket*>(),
                                                           &DataPacket::StringPacket));
            m_chosenPort = kPort + 1 + logger;
            form.ui().OnLineButton->click();
            QVERIFY(form.onLine());
        }
        for (int sample = 0; sample < kSamples; ++sample) {
            m_now = m_now.addSecs(1);
            for (int logger = 0; logger < kLoggers; ++logger) {
                QSignalSpy& spy = *replies[static_cast<std::size_t>(logger)];
                const qsizetype target = spy.count() + 2;
                QTRY_VERIFY_WITH_TIMEOUT(spy.count() >= target, kSettleMs);
                TMainForm& form = *forms[static_cast<std::size_t>(logger)];
                form.SampleIntervalTimerTimer();
                form.features().publish().publishAlarmEvent(
                    {sample % kTickChannels, AlarmLevel::High, 30.0f + static_cast<float>(sample),
                     30.0f, m_now.toMSecsSinceEpoch(), 0});
            }
        }
        for (int logger = 0; logger < kLoggers; ++logger) {
            const std::string prefix = "multi/" + std::to_string(logger);
            QTRY_COMPARE_WITH_TIMEOUT(readings.payloadsOf(prefix + "/state").size(),
                                      std::size_t{kSamples}, kSettleMs);
            QTRY_COMPARE_WITH_TIMEOUT(readings.payloadsOf(prefix + "/alarm/event").size(),
                                      std::size_t{kSamples}, kSettleMs);
            const std::vector<std::string> states = readings.payloadsOf(prefix + "/state");
            const std::vector<SampleTick>& sent = ticks[static_cast<std::size_t>(logger)];
            QCOMPARE(sent.size(), std::size_t{kSamples});
            for (std::size_t index = 0; index < sent.size(); ++index) {
                const SampleTick tick = sent[index];
                QCOMPARE(states[index], tickMessages(prefix, tick).back().payload);
            }
            const std::vector<std::string> events = readings.payloadsOf(prefix + "/alarm/event");
            for (int sample = 0; sample < kSamples; ++sample)
                QCOMPARE(parsed(events[static_cast<std::size_t>(sample)]).value("value").toDouble(),
                         30.0 + sample);
        }
        for (auto& form : forms)
            form->close();
    }

    // Off until the user switches it on in its window, opened with Ctrl+M from the main window;
    // what the window refuses, it says why.
    void windowSwitchesItOn() {
        Broker broker(freePort());
        QFile::remove(settingsFile());
        openForm();
        QVERIFY(!publish().publishing());
        QVERIFY(publish().statusLabel().isHidden());
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        m_form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        QTest::keyClick(m_form.get(), Qt::Key_M, Qt::ControlModifier);
        PublishWindow* window = publish().window();
        QVERIFY(window != nullptr);
        QVERIFY(window->isVisible());
        Ui::PublishWindow& ui = window->ui();
        QVERIFY(!ui.EnabledBox->isChecked());
        QCOMPARE(ui.HostEdit->text(), QStringLiteral("localhost"));
        QVERIFY(ui.PrefixEdit->text().startsWith("thermavo/"));
        QCOMPARE(ui.StatusText->text(), QStringLiteral("Publishing is off."));

        struct Attempt {
            QString host;
            QString prefix;
            QString says;
        };
        const Attempt refused[] = {
            {"", "e2e/pc", "Enter the broker's host name."},
            {"127.0.0.1", "e2e/#", "The topic prefix may not"},
            {"127.0.0.1", "/e2e", "The topic prefix may not"},
        };
        QPushButton* apply = ui.Buttons->button(QDialogButtonBox::Apply);
        ui.EnabledBox->setChecked(true);
        ui.PortBox->setValue(broker.port());
        for (const Attempt& attempt : refused) {
            ui.HostEdit->setText(attempt.host);
            ui.PrefixEdit->setText(attempt.prefix);
            apply->click();
            QVERIFY2(ui.StatusText->text().startsWith(attempt.says),
                     qPrintable(ui.StatusText->text()));
            QVERIFY(!publish().publishing());
        }
        ui.PrefixEdit->setText(QStringLiteral("e2e/pc"));
        apply->click();
        QVERIFY(publish().publishing());
        QTRY_COMPARE_WITH_TIMEOUT(ui.StatusText->text(), QStringLiteral("Broker: online"),
                                  kSettleMs);
        QVERIFY(publish().statusLabel().isVisible());
        QVERIFY(readAll(settingsFile()).contains("[Publish]\r\nEnabled=1\r\n"));

        // Closing the main window closes this one too.
        m_form->close();
        QVERIFY(!window->isVisible());
        // The window's own settings, written as it closes, leave the section as it was.
        const QByteArray settings = readAll(settingsFile());
        QVERIFY(settings.contains("[TMainForm]"));
        QVERIFY(settings.contains("[Publish]\r\nEnabled=1\r\n"));
    }

    // The real program ended. Killed outright, the broker tells its subscribers it is offline by
    // the last will; ended by SIGTERM (a logout), it says so itself and leaves cleanly; with the
    // broker gone it ends all the same.
    void endedProgramShowsOffline_data() {
        QTest::addColumn<QString>("end");
        QTest::addColumn<bool>("brokerStays");
        QTest::addColumn<QString>("brokerSees");
        QTest::newRow("killed") << "kill" << true << "Client e2e-client closed its connection";
        QTest::newRow("terminated") << "terminate" << true << "Client e2e-client disconnected.";
        QTest::newRow("terminated, broker gone") << "terminate" << false << "";
    }
    void endedProgramShowsOffline() {
        QFETCH(QString, end);
        QFETCH(bool, brokerStays);
        QFETCH(QString, brokerSees);
        Broker broker(freePort());
        Subscriber readings(broker.port(), kPrefix + "/status", "ended");
        QTemporaryDir folder;
        const QString program = folder.filePath(QStringLiteral("thermavo"));
        QVERIFY(QFile::copy(QDir(QString::fromLocal8Bit(qgetenv("THERMAVO_BUILD_DIR")))
                                .filePath(QStringLiteral("thermavo")),
                            program));
        writeSettings(folder.filePath(QStringLiteral("thermavo.INI")), QStringLiteral("127.0.0.1"),
                      broker.port());
        QProcess thermavo;
        thermavo.setProcessChannelMode(QProcess::ForwardedChannels);
        thermavo.start(program, {});
        QVERIFY(thermavo.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(readings.lastOf(kPrefix + "/status"), std::string("online"),
                                  kSettleMs);
        if (!brokerStays)
            broker.stop();
        QElapsedTimer ending;
        ending.start();
        if (end == "kill")
            thermavo.kill();
        else
            thermavo.terminate();
        QVERIFY(thermavo.waitForFinished(kSettleMs));
        qInfo("%s: the program ended %lld ms after the signal", QTest::currentDataTag(),
              ending.elapsed());
        if (end == "kill") {
            QCOMPARE(thermavo.exitStatus(), QProcess::CrashExit);
        } else {
            QCOMPARE(thermavo.exitStatus(), QProcess::NormalExit);
            QCOMPARE(thermavo.exitCode(), 0);
        }
        if (!brokerStays)
            return;
        QTRY_COMPARE_WITH_TIMEOUT(readings.lastOf(kPrefix + "/status"), std::string("offline"),
                                  kSettleMs);
        QTRY_VERIFY2_WITH_TIMEOUT(broker.log().contains(brokerSees), qPrintable(broker.log()),
                                  kSettleMs);
    }
};

QTEST_MAIN(PublishEndToEndTest)
#include "test_publish_endtoend.moc"
