#include "alarms/alarmrules.h"
#include "alarms/alarmsettings.h"

#include <QTest>
#include <memory>

using namespace thermavo;
using namespace thermavo::alarms;

namespace {

constexpr std::int64_t kStart = 1'733'670'720'000; // 2024-12-08 15:12:00 UTC
constexpr std::int32_t kOffset = 3600;

char stateLetter(const AlarmStatus& status) {
    const char letter = "NPAKC"[static_cast<int>(status.state)];
    return status.fromPreviousRun ? static_cast<char>(letter - 'A' + 'a') : letter;
}

char eventLetter(EventType type) {
    return "RCK"[static_cast<int>(type)];
}

// Plays a script against the rules, one step a word, time going on one second a tick:
//   a number   a tick with that filtered value on T1, the board replying
//   -          a tick without a sample on T1, the board replying
//   q          a tick without any sample or reply
//   on off lost back   the link's changes
//   cN         the clock while lost, N seconds on
//   ack ackall acknowledging the watched alarm, or all
//   restart    the states kept, a new run started on them with the same settings
//   iN         the ticks from here come every N seconds
// Gives the watched alarm's state after each step (N normal, P pending, A active,
// K acknowledged, C cleared unacknowledged; small letters from the previous run) and its events
// with the step they came in ("R1 C4").
struct Script {
    QString states;
    QString events;
};

Script play(const AlarmSettings& settings, int watched, const QString& steps) {
    auto rules = std::make_unique<AlarmRules>(settings);
    std::int64_t time = kStart;
    int interval = 1;
    Script result;
    int step = 0;
    const auto note = [&](const std::vector<AlarmEvent>& events) {
        for (const AlarmEvent& event : events) {
            QCOMPARE_GE(event.time.msSinceEpoch, kStart);
            if (event.alarm != watched)
                continue;
            result.events += QStringLiteral("%1%2 ").arg(eventLetter(event.type)).arg(step);
        }
    };
    for (const QString& word : steps.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const Moment now{time, kOffset};
        LinkEvent link;
        link.msSinceEpoch = time;
        link.utcOffsetSeconds = kOffset;
        if (word == QLatin1String("on") || word == QLatin1String("off") ||
            word == QLatin1String("lost") || word == QLatin1String("back")) {
            link.change = word == QLatin1String("on")     ? LinkChange::OnLine
                          : word == QLatin1String("off")  ? LinkChange::OffLine
                          : word == QLatin1String("lost") ? LinkChange::Lost
                                                          : LinkChange::Back;
            note(rules->onLink(link));
        } else if (word.startsWith(QLatin1Char('c'))) {
            time += word.mid(1).toInt() * 1000;
            note(rules->onClock({time, kOffset}));
        } else if (word == QLatin1String("ack")) {
            note(rules->acknowledge(watched, now));
        } else if (word == QLatin1String("ackall")) {
            note(rules->acknowledgeAll(now));
        } else if (word.startsWith(QLatin1Char('i'))) {
            interval = word.mid(1).toInt();
        } else if (word == QLatin1String("restart")) {
            const std::string kept = persistedText(rules->persisted());
            rules = std::make_unique<AlarmRules>(settings);
            rules->restore(parsePersisted(kept));
        } else {
            time += interval * 1000;
            SampleTick tick;
            tick.msSinceEpoch = time;
            tick.utcOffsetSeconds = kOffset;
            tick.intervalSeconds = interval;
            tick.replies = word == QLatin1String("q") ? 0 : 3;
            bool number = false;
            const float value = word.toFloat(&number);
            tick.channels[0] = {number, value, value};
            note(rules->onTick(tick));
        }
        result.states += QLatin1Char(stateLetter(rules->status(watched)));
        ++step;
    }
    result.events = result.events.trimmed();
    return result;
}

} // namespace

class TestAlarmRules : public QObject {
    Q_OBJECT

private slots:
    void stateMachine_data();
    void stateMachine();
    void brokenEntriesDropped_data();
    void brokenEntriesDropped();
    void settingsWrittenReadBack();
    void typedLimits_data();
    void typedLimits();
    void keptStatesParsed_data();
    void keptStatesParsed();
    void mostSevereFirst();
    void noDataBelowTheIntervalNamed_data();
    void noDataBelowTheIntervalNamed();
};

void TestAlarmRules::stateMachine_data() {
    QTest::addColumn<QString>("ini");
    QTest::addColumn<int>("watched");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("states");
    QTest::addColumn<QString>("events");

    const int high = alarmIndex(0, Kind::High);
    const int low = alarmIndex(0, Kind::Low);
    const int noData = alarmIndex(0, Kind::NoData);
    const QString noLatch = QStringLiteral("[Alarms]\nLatch=0\n");
    const QString high5 = QStringLiteral("[AlarmT1]\nHigh=5\n");

    QTest::newRow("high raises above the limit, not at it")
        << noLatch + high5 << high << "on 4 5 5.1"
        << "NNNA"
        << "R3";
    QTest::newRow("hysteresis: clears only below limit minus hysteresis")
        << noLatch + high5 << high << "on 5.1 4.9 4.6 4.5 4.49"
        << "NAAAAN"
        << "R1 C5";
    QTest::newRow("noise around the limit raises once")
        << noLatch + high5 << high << "on 5.1 4.9 5.1 4.9 5.1"
        << "NAAAAA"
        << "R1";
    QTest::newRow("hysteresis of nothing clears just below the limit")
        << noLatch + high5 + "Hysteresis=0\n"
        << high << "on 5.1 4.99"
        << "NAN"
        << "R1 C2";
    QTest::newRow("delay: three ticks in a row") << noLatch + high5 + "Delay=3\n"
                                                 << high << "on 6 6 4 6 6 6"
                                                 << "NPPNPPA"
                                                 << "R6";
    QTest::newRow("a tick without a sample breaks the row") << noLatch + high5 + "Delay=2\n"
                                                            << high << "on 6 - 6 6"
                                                            << "NPNPA"
                                                            << "R4";
    QTest::newRow("low with hysteresis") << noLatch + "[AlarmT1]\nLow=-20\n"
                                         << low << "on -19 -20.1 -19.6 -19.4"
                                         << "NNAAN"
                                         << "R2 C4";
    QTest::newRow("latch keeps a cleared alarm until acknowledged")
        << high5 << high << "on 6 4 4 ack"
        << "NACCN"
        << "R1 C2 K4";
    QTest::newRow("an acknowledged alarm clears to normal") << high5 << high << "on 6 ack 4"
                                                            << "NAKN"
                                                            << "R1 K2 C3";
    QTest::newRow("cleared, unacknowledged, raised again") << high5 << high << "on 6 4 6"
                                                           << "NACA"
                                                           << "R1 C2 R3";
    QTest::newRow("acknowledge all") << high5 << high << "on 6 ackall"
                                     << "NAK"
                                     << "R1 K2";
    QTest::newRow("acknowledging a normal alarm does nothing") << high5 << high << "on 4 ack ackall"
                                                               << "NNNN"
                                                               << "";
    QTest::newRow("no data counted on the sample clock") << noLatch + "[AlarmT1]\nNoDataSeconds=3\n"
                                                         << noData << "on - - - 1"
                                                         << "NNNAN"
                                                         << "R3 C4";
    QTest::newRow("no data since the last sample") << noLatch + "[AlarmT1]\nNoDataSeconds=2\n"
                                                   << noData << "on 1 1 - - 1"
                                                   << "NNNNAN"
                                                   << "R4 C5";
    QTest::newRow("no data below the sample interval dropped at the first tick")
        << "[AlarmT1]\nNoDataSeconds=1\n"
        << noData << "on i2 - - -"
        << "NNNNN"
        << "";
    QTest::newRow("no data of the sample interval kept") << "[AlarmT1]\nNoDataSeconds=2\n"
                                                         << noData << "on i2 5 - -"
                                                         << "NNNAA"
                                                         << "R3";
    QTest::newRow("no data dropped when the interval grows past it")
        << "[AlarmT1]\nNoDataSeconds=2\n"
        << noData << "on - i3 - -"
        << "NNNNN"
        << "";
    QTest::newRow("no data while the board is lost counts the lost time")
        << noLatch + "[AlarmT1]\nNoDataSeconds=5\n"
        << noData << "on 1 lost c9 back -"
        << "NNNNNA"
        << "R5";
    QTest::newRow("off line pauses: nothing counted, nothing raised")
        << "[AlarmT1]\nNoDataSeconds=2\n"
        << noData << "on - off - - - on - -"
        << "NNNNNNNNA"
        << "R8";
    QTest::newRow("off line stops a delay's count") << high5 + "Delay=2\n"
                                                    << high << "on 6 off on 6 6"
                                                    << "NPNNPA"
                                                    << "R5";
    QTest::newRow("before the first switch on line nothing is watched") << high5 << high << "6 6"
                                                                        << "NN"
                                                                        << "";
    QTest::newRow("board lost for N s on the clock") << "[Alarms]\nBoardLostSeconds=5\n"
                                                     << kBoardAlarm << "on 1 lost c2 c2 c2 back 1"
                                                     << "NNNNNACC"
                                                     << "R5 C6";
    QTest::newRow("board back before N s: nothing") << "[Alarms]\nBoardLostSeconds=5\n"
                                                    << kBoardAlarm << "on 1 lost c2 back c9 1"
                                                    << "NNNNNNN"
                                                    << "";
    QTest::newRow("a board lost while off line is not watched") << "[Alarms]\nBoardLostSeconds=1\n"
                                                                << kBoardAlarm << "lost c2 c2"
                                                                << "NNN"
                                                                << "";
    QTest::newRow("no reply for N s while on line") << noLatch + "NoReplySeconds=2\n"
                                                    << kBoardAlarm << "on q q q 1"
                                                    << "NNAAN"
                                                    << "R2 C4";
    QTest::newRow("restart: a raised alarm shown again, not announced again")
        << high5 << high << "on 6 restart on 6 4 ack"
        << "NAaaacN"
        << "R1 C5 K6";
    QTest::newRow("restart: an acknowledged alarm stays quiet")
        << high5 << high << "on 6 ack restart on 6 4"
        << "NAKkkkN"
        << "R1 K2 C6";
    QTest::newRow("restart: cleared, unacknowledged shown until acknowledged")
        << high5 << high << "on 6 4 restart on 4 ack"
        << "NACcccN"
        << "R1 C2 K6";
    QTest::newRow("restart: a normal alarm keeps nothing")
        << high5 << high << "on 6 ack 4 restart on 4"
        << "NAKNNNN"
        << "R1 K2 C3";
    QTest::newRow("restart: a lost board's alarm ends with the first tick")
        << "[Alarms]\nBoardLostSeconds=1\n"
        << kBoardAlarm << "on lost c2 restart on 1 ack"
        << "NNAaacN"
        << "R2 C5 K6";
}

void TestAlarmRules::stateMachine() {
    QFETCH(QString, ini);
    QFETCH(int, watched);
    QFETCH(QString, steps);
    QFETCH(QString, states);
    QFETCH(QString, events);

    const LoadedSettings loaded = loadSettings(ini.toStdString());
    QVERIFY(loaded.dropped.empty());
    const Script result = play(loaded.settings, watched, steps);
    QCOMPARE(result.states, states);
    QCOMPARE(result.events, events);
}

void TestAlarmRules::brokenEntriesDropped_data() {
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QString>("high");
    QTest::addColumn<QString>("low");

    QTest::newRow("good entries") << "[AlarmT3]\nHigh=5\nLow = -12.5 \n"
                                  << QStringList() << "5"
                                  << "-12.5";
    QTest::newRow("no number") << "[AlarmT3]\nHigh=abc\nLow=1\n"
                               << QStringList{"[AlarmT3] High=abc"} << ""
                               << "1";
    QTest::newRow("decimal comma") << "[AlarmT3]\nHigh=5,5\n"
                                   << QStringList{"[AlarmT3] High=5,5"} << ""
                                   << "";
    QTest::newRow("exponent, nan, inf")
        << "[AlarmT3]\nHigh=1e2\nLow=nan\n[AlarmT4]\nHigh=inf\n"
        << QStringList{"[AlarmT3] High=1e2", "[AlarmT3] Low=nan", "[AlarmT4] High=inf"} << ""
        << "";
    QTest::newRow("the range's ends kept") << "[AlarmT3]\nHigh=150\nLow=-45\n"
                                           << QStringList() << "150"
                                           << "-45";
    QTest::newRow("outside the range")
        << "[AlarmT3]\nHigh=150.1\nLow=-45.5\n"
        << QStringList{"[AlarmT3] High=150.1", "[AlarmT3] Low=-45.5"} << ""
        << "";
    QTest::newRow("low not below high") << "[AlarmT3]\nHigh=5\nLow=5\n"
                                        << QStringList{"[AlarmT3] Low=5 and High=5"} << ""
                                        << "";
    QTest::newRow("other entries")
        << "[Alarms]\nLatch=yes\nBoardLostSeconds=0\n"
           "[AlarmT3]\nHigh=5\nDelay=0\nHysteresis=-1\n"
           "NoDataSeconds=99999999999\n"
        << QStringList{"[Alarms] Latch=yes", "[Alarms] BoardLostSeconds=0",
                       "[AlarmT3] Hysteresis=-1", "[AlarmT3] Delay=0",
                       "[AlarmT3] NoDataSeconds=99999999999"}
        << "5"
        << "";
}

void TestAlarmRules::brokenEntriesDropped() {
    QFETCH(QString, ini);
    QFETCH(QStringList, dropped);
    QFETCH(QString, high);
    QFETCH(QString, low);

    const LoadedSettings loaded = loadSettings(ini.toStdString());
    QCOMPARE(static_cast<qsizetype>(loaded.dropped.size()), dropped.size());
    for (qsizetype i = 0; i < dropped.size(); ++i)
        QVERIFY2(
            QString::fromStdString(loaded.dropped[static_cast<size_t>(i)]).startsWith(dropped[i]),
            loaded.dropped[static_cast<size_t>(i)].c_str());
    const ChannelAlarms& t3 = loaded.settings.channels[2];
    QCOMPARE(QString::fromStdString(t3.high ? numberText(*t3.high) : ""), high);
    QCOMPARE(QString::fromStdString(t3.low ? numberText(*t3.low) : ""), low);
    // What was dropped falls back to the defaults.
    QCOMPARE(t3.delay, 1);
    QCOMPARE(t3.hysteresis, kDefaultHysteresis);
    QVERIFY(loaded.settings.latch);
}

void TestAlarmRules::settingsWrittenReadBack() {
    AlarmSettings settings;
    settings.latch = false;
    settings.sound = true;
    settings.boardLostSeconds = 60;
    settings.program = "/usr/local/bin/page on-call";
    settings.logFolder = "/var/log/thermavo";
    settings.channels[2] = {"Freezer A", 5.0, -30.25, 1.5, 3, 120};
    settings.channels[7].noDataSeconds = 10;
    const std::string before = "; kept\r\n[TMainForm]\r\nInterval=5\r\n\r\n[Other]\r\nx=1\r\n";

    const std::string written = withSettings(before, settings);
    QVERIFY(written.starts_with(before));
    const LoadedSettings loaded = loadSettings(written);
    QVERIFY(loaded.dropped.empty());
    QVERIFY(loaded.settings == settings);
    // Written again unchanged, the text stays byte for byte.
    QCOMPARE(withSettings(written, settings), written);
}

void TestAlarmRules::typedLimits_data() {
    QTest::addColumn<QString>("lowText");
    QTest::addColumn<QString>("highText");
    QTest::addColumn<QString>("error");

    QTest::newRow("both good") << "-20"
                               << "5.5"
                               << "";
    QTest::newRow("both empty") << ""
                                << " "
                                << "";
    QTest::newRow("no number") << "cold"
                               << "5"
                               << "\"cold\" is no number.";
    QTest::newRow("too high") << ""
                              << "151"
                              << "A limit must lie from -45 to 150 °C.";
    QTest::newRow("too low") << "-45.01"
                             << ""
                             << "A limit must lie from -45 to 150 °C.";
    QTest::newRow("low at high") << "5"
                                 << "5.0"
                                 << "The low limit must lie below the high one.";
    QTest::newRow("low above high") << "8"
                                    << "5"
                                    << "The low limit must lie below the high one.";
}

void TestAlarmRules::typedLimits() {
    QFETCH(QString, lowText);
    QFETCH(QString, highText);
    QFETCH(QString, error);

    std::optional<double> low;
    std::optional<double> high;
    auto message = limitError(lowText.toStdString(), low);
    if (!message)
        message = limitError(highText.toStdString(), high);
    if (!message)
        message = limitsError(low, high);
    QCOMPARE(QString::fromStdString(message.value_or("")), error);
}

void TestAlarmRules::keptStatesParsed_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("kept");

    QTest::newRow("written by the rules") << "0;2;1000;3600;;;;;6.5;0\n" << 1;
    QTest::newRow("CR LF, two lines") << "0;2;1000;3600;;;;;6.5;0\r\n24;4;1;0;;;5;0;;1\r\n" << 2;
    QTest::newRow("no such alarm") << "25;2;1000;3600;;;;;6.5;0\n-1;2;1;1;;;;;;0\n" << 0;
    QTest::newRow("no such state") << "0;5;1000;3600;;;;;6.5;0\n" << 0;
    QTest::newRow("a field missing") << "0;2;1000;3600;;;;;6.5\n" << 0;
    QTest::newRow("a time without its offset") << "0;2;1000;;;;;;6.5;0\n" << 0;
    QTest::newRow("not a number") << "0;2;1000;3600;;;;;hot;0\n" << 0;
    QTest::newRow("garbage and a good line") << "\n;;;\nxyz\n3;3;1;1;2;2;;;1;0" << 1;
}

void TestAlarmRules::keptStatesParsed() {
    QFETCH(QString, text);
    QFETCH(int, kept);

    const auto alarms = parsePersisted(text.toStdString());
    QCOMPARE(static_cast<int>(alarms.size()), kept);
    // What parses is written back the same.
    QCOMPARE(parsePersisted(persistedText(alarms)).size(), alarms.size());
    if (!alarms.empty())
        QCOMPARE(persistedText(parsePersisted(persistedText(alarms))), persistedText(alarms));
}

void TestAlarmRules::mostSevereFirst() {
    LoadedSettings loaded = loadSettings("[Alarms]\nNoReplySeconds=2\n[AlarmT1]\nHigh=5\n"
                                         "[AlarmT2]\nHigh=5\nNoDataSeconds=1\n");
    AlarmRules rules(loaded.settings);
    QVERIFY(rules.paused());
    LinkEvent on;
    on.change = LinkChange::OnLine;
    on.msSinceEpoch = kStart;
    rules.onLink(on);
    QVERIFY(!rules.paused());
    QVERIFY(!rules.mostSevere());

    SampleTick tick;
    tick.msSinceEpoch = kStart + 1000;
    tick.replies = 1;
    tick.channels[0] = {true, 6.0f, 6.0f};
    tick.channels[1] = {true, 7.0f, 7.0f};
    QCOMPARE(rules.onTick(tick).size(), size_t(2));
    QCOMPARE(rules.attentionCount(), 2);
    QCOMPARE(rules.mostSevere(), alarmIndex(0, Kind::High)); // the earlier channel at one time

    tick.msSinceEpoch += 1000;
    tick.channels[1].valid = false;
    tick.channels[0].filtered = 9.0f;
    QCOMPARE(rules.onTick(tick).size(), size_t(1));
    QCOMPARE(rules.mostSevere(), alarmIndex(1, Kind::NoData));
    QCOMPARE(rules.status(alarmIndex(0, Kind::High)).worst, 9.0);

    rules.acknowledge(alarmIndex(1, Kind::NoData), {tick.msSinceEpoch, 0});
    QCOMPARE(rules.mostSevere(), alarmIndex(0, Kind::High));

    tick.msSinceEpoch += 2000;
    tick.replies = 0;
    QCOMPARE(rules.onTick(tick).size(), size_t(1));
    QCOMPARE(rules.mostSevere(), kBoardAlarm);
    QCOMPARE(rules.attentionCount(), 4);
}

void TestAlarmRules::noDataBelowTheIntervalNamed_data() {
    QTest::addColumn<QString>("ini");
    QTest::addColumn<int>("interval");
    QTest::addColumn<QString>("dropped");
    QTest::addColumn<int>("kept");

    QTest::newRow("shorter")
        << "[AlarmT3]\nNoDataSeconds=4\n"
        << 5
        << "[AlarmT3] NoDataSeconds=4: \"No data\" must be at least the sample "
           "interval, 5 s."
        << 0;
    QTest::newRow("as long") << "[AlarmT3]\nNoDataSeconds=5\n" << 5 << "" << 1;
    QTest::newRow("one of two") << "[AlarmT2]\nNoDataSeconds=60\n[AlarmT8]\nNoDataSeconds=1\n"
                                << 2
                                << "[AlarmT8] NoDataSeconds=1: \"No data\" must be at least the "
                                   "sample interval, 2 s."
                                << 1;
}

void TestAlarmRules::noDataBelowTheIntervalNamed() {
    QFETCH(QString, ini);
    QFETCH(int, interval);
    QFETCH(QString, dropped);
    QFETCH(int, kept);
    AlarmRules rules(loadSettings(ini.toStdString()).settings);
    QVERIFY(rules.takeDropped().empty());
    SampleTick tick;
    tick.msSinceEpoch = kStart;
    tick.intervalSeconds = interval;
    rules.onTick(tick);
    QStringList lines;
    for (const std::string& line : rules.takeDropped())
        lines << QString::fromStdString(line);
    QCOMPARE(lines.join(QLatin1Char('\n')), dropped);
    int watched = 0;
    for (int channel = 0; channel < kAlarmChannels; ++channel)
        watched += rules.configured(alarmIndex(channel, Kind::NoData)) ? 1 : 0;
    QCOMPARE(watched, kept);
    // Named once: the same interval again drops nothing more.
    rules.onTick(tick);
    QVERIFY(rules.takeDropped().empty());
}

QTEST_GUILESS_MAIN(TestAlarmRules)
#include "test_alarmrules.moc"
