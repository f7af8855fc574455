#include "publish/publishrules.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <cmath>
#include <limits>

// Topics and payloads as subscribers read them, the backlog kept through a lost broker, and the
// pause between attempts.

using namespace thermavo;

namespace {

using Strings = std::vector<std::string>;

QJsonObject parsed(const std::string& payload) {
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString(payload), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {};
    return document.object();
}

SampleTick tickAt(std::int64_t ms, int boardRow, std::vector<float> values) {
    SampleTick tick;
    tick.msSinceEpoch = ms;
    tick.boardRow = boardRow;
    tick.intervalSeconds = 1;
    for (std::size_t index = 0; index < values.size(); ++index)
        tick.channels[index] = {!std::isnan(values[index]), values[index], values[index]};
    return tick;
}

constexpr float kNone = std::numeric_limits<float>::quiet_NaN();

} // namespace

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(Strings)

class PublishRulesTest : public QObject {
    Q_OBJECT

private slots:
    void temperatures_data() {
        QTest::addColumn<float>("celsius");
        QTest::addColumn<std::string>("text");
        QTest::newRow("plain") << 21.374f << std::string("21.37");
        QTest::newRow("rounds up") << 21.376f << std::string("21.38");
        QTest::newRow("negative") << -0.5f << std::string("-0.50");
        QTest::newRow("negative zero after rounding") << -0.001f << std::string("0.00");
        QTest::newRow("hundreds") << 120.0f << std::string("120.00");
        QTest::newRow("deep cold") << -196.25f << std::string("-196.25");
    }
    void temperatures() {
        QFETCH(float, celsius);
        QFETCH(std::string, text);
        QCOMPARE(formatTemperature(celsius), text);
    }

    void times_data() {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<int>("offset");
        QTest::addColumn<std::string>("text");
        // 2024-12-08 14:12:01.250 UTC.
        const qint64 winter = 1733667121250;
        QTest::newRow("CET") << winter << 3600 << std::string("2024-12-08T15:12:01.250+01:00");
        QTest::newRow("UTC") << winter << 0 << std::string("2024-12-08T14:12:01.250+00:00");
        QTest::newRow("half hour")
            << winter << 19800 << std::string("2024-12-08T19:42:01.250+05:30");
        QTest::newRow("west, day before")
            << qint64{1733616000000} << -18000 << std::string("2024-12-07T19:00:00.000-05:00");
        QTest::newRow("leap day") << qint64{1709164800000} << 0
                                  << std::string("2024-02-29T00:00:00.000+00:00");
    }
    void times() {
        QFETCH(qint64, ms);
        QFETCH(int, offset);
        QFETCH(std::string, text);
        QCOMPARE(isoTime(ms, offset), text);
    }

    void prefixes_data() {
        QTest::addColumn<std::string>("host");
        QTest::addColumn<std::string>("prefix");
        QTest::newRow("plain") << std::string("lab-pc") << std::string("thermavo/lab-pc");
        QTest::newRow("wildcards") << std::string("a+b#c/d") << std::string("thermavo/a_b_c_d");
        QTest::newRow("no host") << std::string() << std::string("thermavo/pc");
    }
    void prefixes() {
        QFETCH(std::string, host);
        QFETCH(std::string, prefix);
        QCOMPARE(defaultTopicPrefix(host), prefix);
        QVERIFY(validTopicPrefix(prefix));
    }

    void prefixChecks_data() {
        QTest::addColumn<std::string>("prefix");
        QTest::addColumn<bool>("valid");
        QTest::newRow("two levels") << std::string("site/store") << true;
        QTest::newRow("empty") << std::string() << false;
        QTest::newRow("leading slash") << std::string("/site") << false;
        QTest::newRow("trailing slash") << std::string("site/") << false;
        QTest::newRow("plus") << std::string("site/+") << false;
        QTest::newRow("hash") << std::string("site/#") << false;
        QTest::newRow("NUL") << std::string("si\0te", 5) << false;
    }
    void prefixChecks() {
        QFETCH(std::string, prefix);
        QFETCH(bool, valid);
        QCOMPARE(validTopicPrefix(prefix), valid);
    }

    void jsonStrings_data() {
        QTest::addColumn<std::string>("text");
        QTest::newRow("quotes") << std::string("say \"hi\"");
        QTest::newRow("backslash") << std::string("C:\\logs");
        QTest::newRow("control") << std::string("a\tb\nc\x01");
        QTest::newRow("UTF-8") << std::string("Kühlraum °C");
    }
    void jsonStrings() {
        QFETCH(std::string, text);
        const QJsonObject object = parsed("{\"v\":" + jsonString(text) + "}");
        QCOMPARE(object.value("v").toString().toStdString(), text);
    }

    // Each tick: the channels with a sample, retained at QoS 0, then the state at QoS 1.
    void tickTopics_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<std::vector<float>>("values");
        QTest::addColumn<Strings>("topics");
        QTest::addColumn<Strings>("payloads");
        QTest::newRow("8 channels, one without a sample")
            << 0 << std::vector<float>{20.5f, 21.25f, kNone, -3.0f, 0, 1, 2, 3}
            << Strings{"p/T1", "p/T2", "p/T4", "p/T5", "p/T6", "p/T7", "p/T8", "p/state"}
            << Strings{"20.50", "21.25", "-3.00", "0.00", "1.00", "2.00", "3.00"};
        QTest::newRow("4-channel board")
            << 1 << std::vector<float>{10, 11, 12, 13, kNone, kNone, kNone, kNone}
            << Strings{"p/T1", "p/T2", "p/T3", "p/T4", "p/state"}
            << Strings{"10.00", "11.00", "12.00", "13.00"};
        QTest::newRow("no sample at all")
            << 2 << std::vector<float>(8, kNone) << Strings{"p/state"} << Strings{};
    }
    void tickTopics() {
        QFETCH(int, row);
        QFETCH(std::vector<float>, values);
        QFETCH(Strings, topics);
        QFETCH(Strings, payloads);
        const SampleTick tick = tickAt(1733667121000, row, values);
        const std::vector<BrokerMessage> messages = tickMessages("p", tick);
        Strings sentTopics;
        for (const BrokerMessage& message : messages)
            sentTopics.push_back(message.topic);
        QCOMPARE(sentTopics, topics);
        for (std::size_t index = 0; index + 1 < messages.size(); ++index) {
            QCOMPARE(messages[index].payload, payloads[index]);
            QVERIFY(messages[index].retain);
            QCOMPARE(messages[index].qos, 0);
        }
        const BrokerMessage& state = messages.back();
        QCOMPARE(state.qos, 1);
        const QJsonObject object = parsed(state.payload);
        QCOMPARE(object.value("time").toString(), QString("2024-12-08T14:12:01.000+00:00"));
        QCOMPARE(object.value("board").toString().toStdString(), std::string(boardKind(row)));
        for (int channel = 0; channel < kTickChannels; ++channel) {
            const QJsonValue value = object.value(QString("T%1").arg(channel + 1));
            const float expected = values[static_cast<std::size_t>(channel)];
            if (std::isnan(expected))
                QVERIFY(value.isNull());
            else
                QCOMPARE(value.toDouble(), static_cast<double>(expected));
        }
    }

    // A filtered value that is no number never reaches a subscriber as one.
    void infiniteValueIsNull() {
        SampleTick tick = tickAt(0, 0, {std::numeric_limits<float>::infinity()});
        const std::vector<BrokerMessage> messages = tickMessages("p", tick);
        QCOMPARE(messages.size(), std::size_t{1});
        QVERIFY(parsed(messages.back().payload).value("T1").isNull());
    }

    void discovery_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("interval");
        QTest::addColumn<int>("sensors");
        QTest::addColumn<int>("expiry");
        QTest::addColumn<int>("removals");
        QTest::newRow("8 channels, 1 s") << 0 << 1 << 8 << 60 << 0;
        QTest::newRow("4 channels, 1 min") << 1 << 60 << 4 << 180 << 8;
        QTest::newRow("USB, 30 s") << 2 << 30 << 4 << 90 << 8;
    }
    void discovery() {
        QFETCH(int, row);
        QFETCH(int, interval);
        QFETCH(int, sensors);
        QFETCH(int, expiry);
        QFETCH(int, removals);
        const DiscoveryInput input{"site/pc 1", "thermavo-pc 1", "Thermavo pc", row, interval};
        const std::vector<BrokerMessage> messages = discoveryMessages(input);
        QCOMPARE(static_cast<int>(messages.size()), sensors);
        for (int channel = 0; channel < sensors; ++channel) {
            const BrokerMessage& message = messages[static_cast<std::size_t>(channel)];
            const QString name = QString("T%1").arg(channel + 1);
            QCOMPARE(QString::fromStdString(message.topic),
                     "homeassistant/sensor/thermavo-pc_1/" + name + "/config");
            QVERIFY(message.retain);
            const QJsonObject config = parsed(message.payload);
            QCOMPARE(config.value("device_class").toString(), QString("temperature"));
            QCOMPARE(config.value("unit_of_measurement").toString(), QString("°C"));
            QCOMPARE(config.value("state_topic").toString(), "site/pc 1/" + name);
            QCOMPARE(config.value("availability_topic").toString(), QString("site/pc 1/status"));
            QCOMPARE(config.value("expire_after").toInt(), expiry);
            QCOMPARE(config.value("unique_id").toString(), "thermavo-pc_1_" + name);
            QCOMPARE(config.value("device").toObject().value("identifiers").toArray().first(),
                     QJsonValue("thermavo-pc 1"));
        }
        const std::vector<BrokerMessage> gone = discoveryRemovals(input);
        QCOMPARE(static_cast<int>(gone.size()), removals);
        for (const BrokerMessage& message : gone) {
            QVERIFY(message.payload.empty());
            QVERIFY(message.retain);
        }
        const std::vector<BrokerMessage> alarms = alarmDiscoveryMessages(input);
        QCOMPARE(static_cast<int>(alarms.size()), sensors);
        QCOMPARE(parsed(alarms.back().payload).value("state_topic").toString(),
                 QString("site/pc 1/alarm/T%1").arg(sensors));
    }

    void alarms_data() {
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("level");
        QTest::addColumn<std::string>("state");
        QTest::newRow("high T1") << 0 << int(AlarmLevel::High) << std::string("high");
        QTest::newRow("low T8") << 7 << int(AlarmLevel::Low) << std::string("low");
        QTest::newRow("normal T3") << 2 << int(AlarmLevel::Normal) << std::string("normal");
    }
    void alarms() {
        QFETCH(int, channel);
        QFETCH(int, level);
        QFETCH(std::string, state);
        const auto alarmLevel = static_cast<AlarmLevel>(level);
        const BrokerMessage message = alarmStateMessage("p", channel, alarmLevel);
        QCOMPARE(message.topic, "p/alarm/T" + std::to_string(channel + 1));
        QCOMPARE(message.payload, state);
        QVERIFY(message.retain);
        QCOMPARE(message.qos, 1);
        const BrokerMessage event =
            alarmEventMessage("p", {channel, alarmLevel, 31.5f, 30.0f, 1733667121000, 3600});
        QCOMPARE(event.topic, std::string("p/alarm/event"));
        QCOMPARE(event.qos, 1);
        QVERIFY(!event.retain);
        const QJsonObject object = parsed(event.payload);
        QCOMPARE(object.value("channel").toString(), QString("T%1").arg(channel + 1));
        QCOMPARE(object.value("level").toString().toStdString(), state);
        QCOMPARE(object.value("value").toDouble(), 31.5);
        QCOMPARE(object.value("limit").toDouble(), 30.0);
        QCOMPARE(object.value("time").toString(), QString("2024-12-08T15:12:01.000+01:00"));
        QVERIFY(!object.contains("kind"));
    }

    // The board's alarm names no channel; the kind, event and name go out as given, escaped.
    void boardAndNamedAlarmEvents() {
        AlarmEvent board{-1,
                         AlarmLevel::Normal,
                         std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::quiet_NaN(),
                         1733667121000,
                         0};
        board.kind = "board";
        board.event = "raised";
        QJsonObject object = parsed(alarmEventMessage("p", board).payload);
        QCOMPARE(object.value("channel").toString(), QString("board"));
        QVERIFY(object.value("value").isNull());
        QCOMPARE(object.value("kind").toString(), QString("board"));
        QVERIFY(!object.contains("name"));
        AlarmEvent named{0,
                         AlarmLevel::NoData,
                         std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::quiet_NaN(),
                         1733667121000,
                         0};
        named.kind = "no data";
        named.event = "cleared";
        named.name = "Freezer \"A\"";
        object = parsed(alarmEventMessage("p", named).payload);
        QCOMPARE(object.value("level").toString(), QString("no data"));
        QCOMPARE(object.value("event").toString(), QString("cleared"));
        QCOMPARE(object.value("name").toString(), QString("Freezer \"A\""));
        QCOMPARE(alarmStateMessage("p", 0, AlarmLevel::NoData).payload, std::string("no data"));
    }

    void pauses_data() {
        QTest::addColumn<qint64>("first");
        QTest::addColumn<qint64>("longest");
        QTest::addColumn<int>("failures");
        QTest::addColumn<std::vector<qint64>>("expected");
        QTest::newRow("doubles to the bound") << qint64{1000} << qint64{5000} << 0
                                              << std::vector<qint64>{1000, 2000, 4000, 5000, 5000};
        QTest::newRow("after a connection, from the start")
            << qint64{100} << qint64{60000} << 3 << std::vector<qint64>{100, 200, 400};
        QTest::newRow("no zero pause") << qint64{0} << qint64{0} << 0 << std::vector<qint64>{1, 1};
    }
    void pauses() {
        QFETCH(qint64, first);
        QFETCH(qint64, longest);
        QFETCH(int, failures);
        QFETCH(std::vector<qint64>, expected);
        ReconnectPause pause(first, longest);
        for (int count = 0; count < failures; ++count)
            pause.next();
        if (failures > 0)
            pause.connected();
        for (const qint64 ms : expected)
            QCOMPARE(pause.next(), ms);
    }

    void brokerTexts_data() {
        QTest::addColumn<int>("state");
        QTest::addColumn<std::string>("detail");
        QTest::addColumn<qint64>("retry");
        QTest::addColumn<int>("waiting");
        QTest::addColumn<int>("dropped");
        QTest::addColumn<std::string>("text");
        QTest::newRow("online") << int(BrokerState::Online) << std::string() << qint64{0} << 0 << 0
                                << std::string("Broker: online");
        QTest::newRow("connecting")
            << int(BrokerState::Connecting) << std::string("mqtt:1883") << qint64{0} << 0 << 0
            << std::string("Broker: connecting to mqtt:1883…");
        QTest::newRow("unreachable, rounds the pause up")
            << int(BrokerState::Unreachable) << std::string("Connection refused") << qint64{1500}
            << 1 << 0
            << std::string("Broker unreachable: Connection refused, next try in 2 s; "
                           "1 sample waiting");
        QTest::newRow("refused, full backlog")
            << int(BrokerState::Refused) << std::string("wrong user name or password")
            << qint64{60000} << 86400 << 7
            << std::string("Broker refused: wrong user name or password, next try in 60 s; "
                           "86400 samples waiting; 7 oldest dropped");
    }
    void brokerTexts() {
        QFETCH(int, state);
        QFETCH(std::string, detail);
        QFETCH(qint64, retry);
        QFETCH(int, waiting);
        QFETCH(int, dropped);
        QFETCH(std::string, text);
        const BrokerStatus status{static_cast<BrokerState>(state), detail, retry,
                                  static_cast<std::size_t>(waiting),
                                  static_cast<std::uint64_t>(dropped)};
        QCOMPARE(brokerStatusText(status), text);
    }

    // Ticks: pushed (P), sent (S), confirmed by sequence (C<n>), the connection lost (L). What
    // is sent next, in order, and what is left.
    void backlog_data() {
        QTest::addColumn<int>("bound");
        QTest::addColumn<std::string>("steps");
        QTest::addColumn<std::vector<qint64>>("sent");
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("dropped");
        QTest::newRow("in order") << 10 << std::string("PPPSSSC0C1C2")
                                  << std::vector<qint64>{0, 1, 2} << 0 << 0;
        QTest::newRow("lost before confirmed: sent again, oldest first")
            << 10 << std::string("PPSSC0LSS") << std::vector<qint64>{0, 1, 1} << 1 << 0;
        QTest::newRow("confirmed out of order, then lost")
            << 10 << std::string("PPPSSSC1LSS") << std::vector<qint64>{0, 1, 2, 0, 2} << 3 << 0;
        QTest::newRow("bound drops the oldest")
            << 3 << std::string("PPPPPSSS") << std::vector<qint64>{2, 3, 4} << 3 << 2;
        QTest::newRow("bound while in flight")
            << 2 << std::string("PPSPPSS") << std::vector<qint64>{0, 2, 3} << 2 << 2;
        QTest::newRow("nothing to send")
            << 3 << std::string("S") << std::vector<qint64>{} << 0 << 0;
    }
    void backlog() {
        QFETCH(int, bound);
        QFETCH(std::string, steps);
        QFETCH(std::vector<qint64>, sent);
        QFETCH(int, left);
        QFETCH(int, dropped);
        TickBacklog queue(static_cast<std::size_t>(bound));
        std::vector<qint64> order;
        for (std::size_t index = 0; index < steps.size(); ++index) {
            switch (steps[index]) {
            case 'P': {
                SampleTick tick;
                tick.msSinceEpoch = static_cast<std::int64_t>(index);
                queue.push(tick);
                break;
            }
            case 'S':
                if (const auto next = queue.nextToSend())
                    order.push_back(static_cast<qint64>(next->first));
                break;
            case 'C':
                queue.confirm(static_cast<std::uint64_t>(steps[++index] - '0'));
                break;
            case 'L':
                queue.connectionLost();
                break;
            }
        }
        QCOMPARE(order, sent);
        QCOMPARE(static_cast<int>(queue.size()), left);
        QCOMPARE(static_cast<int>(queue.dropped()), dropped);
    }
};

QTEST_GUILESS_MAIN(PublishRulesTest)
#include "test_publishrules.moc"
