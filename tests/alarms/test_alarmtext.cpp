#include "alarms/alarmlog.h"
#include "alarms/alarmtext.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace thermavo;
using namespace thermavo::alarms;

namespace {

constexpr std::int64_t kStart = 1'733'670'720'000; // 2024-12-08 15:12:00 UTC

AlarmSettings freezerSettings() {
    AlarmSettings settings;
    settings.channels[2].name = "Freezer A";
    settings.channels[2].high = 5.0;
    settings.channels[2].low = -30.0;
    settings.channels[2].noDataSeconds = 60;
    settings.channels[0].high = 100.0;
    settings.noReplySeconds = 30;
    settings.boardLostSeconds = 10;
    return settings;
}

} // namespace

class TestAlarmText : public QObject {
    Q_OBJECT

private slots:
    void times_data();
    void times();
    void statusLine_data();
    void statusLine();
    void logLines_data();
    void logLines();
    void logFileAppendedAcrossRuns();
    void notificationGroupsATick();
};

void TestAlarmText::times_data() {
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("offsetText");

    QTest::newRow("UTC") << qint64(kStart) << 0 << "2024-12-08 15:12:00"
                         << "+00:00";
    QTest::newRow("an hour east") << qint64(kStart) << 3600 << "2024-12-08 16:12:00"
                                  << "+01:00";
    QTest::newRow("west across midnight") << qint64(kStart) << -16 * 3600 << "2024-12-07 23:12:00"
                                          << "-16:00";
    QTest::newRow("half hours") << qint64(kStart + 999) << 19800 << "2024-12-08 20:42:00"
                                << "+05:30";
    QTest::newRow("before 1970") << qint64(-1500) << 0 << "1969-12-31 23:59:58"
                                 << "+00:00";
    QTest::newRow("leap day") << qint64(951'782'400'000) << 0 << "2000-02-29 00:00:00"
                              << "+00:00";
}

void TestAlarmText::times() {
    QFETCH(qint64, ms);
    QFETCH(int, offset);
    QFETCH(QString, local);
    QFETCH(QString, offsetText);

    const Moment moment{ms, offset};
    QCOMPARE(QString::fromStdString(localDateTime(moment)), local);
    QCOMPARE(QString::fromStdString(alarms::offsetText(offset)), offsetText);
}

void TestAlarmText::statusLine_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("decimal");
    QTest::addColumn<QString>("status");

    // Words, each a tick a second after the last: "T1=v" and "T3=v" set a value that stays (T1
    // starts at 20, T3 at 0), "q" a tick without replies. "ack3" acknowledges T3's high alarm,
    // "restart" starts a new run on the states kept.
    QTest::newRow("none") << "T3=4"
                          << "."
                          << "";
    QTest::newRow("one high") << "T3=6"
                              << "."
                              << "Alarm: T3 Freezer A above 5.0 °C since 15:12:01";
    QTest::newRow("decimal comma") << "T3=6"
                                   << ","
                                   << "Alarm: T3 Freezer A above 5,0 °C since 15:12:01";
    QTest::newRow("others counted") << "T3=6 T1=120"
                                    << "."
                                    << "Alarm: T3 Freezer A above 5.0 °C since 15:12:01 (+1)";
    QTest::newRow("low") << "T3=-31"
                         << "."
                         << "Alarm: T3 Freezer A below -30.0 °C since 15:12:01";
    QTest::newRow("acknowledged comes after unacknowledged")
        << "T3=6 T1=120 ack3"
        << "."
        << "Alarm: T1 above 100.0 °C since 15:12:02 (+1)";
    QTest::newRow("cleared, unacknowledged") << "T3=6 T3=0"
                                             << "."
                                             << "Alarm: T3 Freezer A above 5.0 °C since "
                                                "15:12:01, cleared";
    QTest::newRow("no reply first") << "T3=6" + QStringLiteral(" q").repeated(30) << "."
                                    << "Alarm: Board no reply for 30 s since 15:12:31 (+1)";
    QTest::newRow("previous run") << "T3=6 restart"
                                  << "."
                                  << "Alarm: T3 Freezer A above 5.0 °C since 15:12:01, previous "
                                     "run";
}

void TestAlarmText::statusLine() {
    QFETCH(QString, script);
    QFETCH(QString, decimal);
    QFETCH(QString, status);

    AlarmRules rules(freezerSettings());
    LinkEvent on;
    on.change = LinkChange::OnLine;
    on.msSinceEpoch = kStart;
    rules.onLink(on);
    std::int64_t time = kStart;
    float t1 = 20.0f;
    float t3 = 0.0f;
    for (const QString& word : script.split(QLatin1Char(' '))) {
        if (word == QLatin1String("ack3")) {
            rules.acknowledge(alarmIndex(2, Kind::High), {time, 0});
            continue;
        }
        if (word == QLatin1String("restart")) {
            const auto kept = rules.persisted();
            rules = AlarmRules(freezerSettings());
            rules.restore(kept);
            continue;
        }
        time += 1000;
        SampleTick tick;
        tick.msSinceEpoch = time;
        tick.replies = word == QLatin1String("q") ? 0 : 1;
        if (word.startsWith(QLatin1String("T1=")))
            t1 = word.mid(3).toFloat();
        else if (word.startsWith(QLatin1String("T3=")))
            t3 = word.mid(3).toFloat();
        tick.channels[0] = {true, t1, t1};
        tick.channels[2] = {true, t3, t3};
        rules.onTick(tick);
    }
    QCOMPARE(QString::fromStdString(statusText(rules, decimal.at(0).toLatin1())), status);
}

void TestAlarmText::logLines_data() {
    QTest::addColumn<int>("alarm");
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("limit");
    QTest::addColumn<int>("cause");
    QTest::addColumn<QString>("note");
    QTest::addColumn<QString>("line");

    const int none = -1;
    QTest::newRow("high raised") << alarmIndex(2, Kind::High) << int(EventType::Raised) << 6.25
                                 << 5.0 << none << ""
                                 << "2024-12-08 16:12:00,+01:00,T3,Freezer A,high,raised,6.25,5,";
    QTest::newRow("acknowledged: no value")
        << alarmIndex(2, Kind::High) << int(EventType::Acknowledged) << qQNaN() << qQNaN() << none
        << ""
        << "2024-12-08 16:12:00,+01:00,T3,Freezer A,high,acknowledged,,,";
    QTest::newRow("no data in seconds")
        << alarmIndex(0, Kind::NoData) << int(EventType::Raised) << 61.0 << 60.0 << none << ""
        << "2024-12-08 16:12:00,+01:00,T1,,no data,raised,61,60,";
    QTest::newRow("board lost") << kBoardAlarm << int(EventType::Cleared) << qQNaN() << 10.0
                                << int(BoardCause::Lost) << ""
                                << "2024-12-08 16:12:00,+01:00,Board,,board lost,cleared,,10,";
    QTest::newRow("a note with a comma, quote and line end")
        << alarmIndex(2, Kind::Low) << int(EventType::Raised) << -31.0 << -30.0 << none
        << "program failed: \"x\", code 1\nmore"
        << "2024-12-08 16:12:00,+01:00,T3,Freezer A,low,,-31.00,-30,"
           "\"program failed: \"\"x\"\", code 1 more\"";
}

void TestAlarmText::logLines() {
    QFETCH(int, alarm);
    QFETCH(int, type);
    QFETCH(double, value);
    QFETCH(double, limit);
    QFETCH(int, cause);
    QFETCH(QString, note);
    QFETCH(QString, line);

    AlarmEvent event;
    event.alarm = alarm;
    event.type = static_cast<EventType>(type);
    event.time = {kStart, 3600};
    if (!qIsNaN(value))
        event.value = value;
    if (!qIsNaN(limit))
        event.limit = limit;
    if (cause >= 0)
        event.cause = static_cast<BoardCause>(cause);
    QCOMPARE(QString::fromStdString(alarmLogLine(freezerSettings(), event, note.toStdString())),
             line + "\r\n");
}

void TestAlarmText::logFileAppendedAcrossRuns() {
    QTemporaryDir dir;
    const std::string folder = dir.filePath(QStringLiteral("new/alarms")).toStdString();
    AlarmEvent event;
    event.time = {kStart, 0};
    event.value = 6.0;
    const std::string line = alarmLogLine(freezerSettings(), event);
    {
        AlarmLog log;
        log.append(folder, line);
        log.append(folder, line);
    }
    {
        // A later run, after another program left a cut line at the end.
        QFile file(QString::fromStdString(AlarmLog::pathIn(folder)));
        QVERIFY(file.open(QIODevice::Append));
        file.write("cut");
    }
    AlarmLog log;
    log.append(folder, line);
    log.close();
    QFile file(QString::fromStdString(AlarmLog::pathIn(folder)));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray expected = QByteArray(kAlarmLogHeader.data(), kAlarmLogHeader.size()) +
                                QByteArray::fromStdString(line + line + "cut\r\n" + line);
    QCOMPARE(file.readAll(), expected);
}

void TestAlarmText::notificationGroupsATick() {
    AlarmEvent high;
    high.alarm = alarmIndex(2, Kind::High);
    high.time = {kStart, 0};
    high.value = 6.0;
    AlarmEvent lost = high;
    lost.alarm = kBoardAlarm;
    lost.type = EventType::Cleared;
    lost.cause = BoardCause::Lost;
    AlarmEvent ack = high;
    ack.type = EventType::Acknowledged;
    QCOMPARE(QString::fromStdString(notificationText(freezerSettings(), {high, ack, lost}, '.')),
             QStringLiteral("T3 Freezer A above 5.0 °C: raised at 6.0 °C, 15:12:00\n"
                            "Board lost for 10 s: cleared, 15:12:00"));
    QCOMPARE(notificationText(freezerSettings(), {ack}, '.'), std::string());
}

QTEST_GUILESS_MAIN(TestAlarmText)
#include "test_alarmtext.moc"
