#include "alarms/alarmrules.h"
#include "alarms/alarmsound.h"

#include <QTest>

using namespace thermavo;
using namespace thermavo::alarms;

namespace {

constexpr std::int64_t kStart = 1'733'670'720'000;

AlarmSettings highOnT1(bool sound) {
    AlarmSettings settings;
    settings.sound = sound;
    settings.channels[0].high = 5.0;
    settings.channels[1].high = 5.0;
    return settings;
}

SampleTick tickAt(std::int64_t ms, float t1, float t2) {
    SampleTick tick;
    tick.msSinceEpoch = ms;
    tick.intervalSeconds = 1;
    tick.replies = 1;
    for (ChannelTick& channel : tick.channels)
        channel = {true, 20.0f, 0.0f};
    tick.channels[0] = {true, t1, t1};
    tick.channels[1] = {true, t2, t2};
    return tick;
}

} // namespace

class TestAlarmSound : public QObject {
    Q_OBJECT

private slots:
    // Steps "wN" (wanted at N ms), "rN" (wanted, an alarm raised in it), "-N" (not wanted); the
    // times at which the sound plays.
    void repeat_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("played");
        QTest::newRow("plays at once") << "w0"
                                       << "0";
        QTest::newRow("not before the interval") << "w0 w1000 w9999"
                                                 << "0";
        QTest::newRow("again at the interval, counted from the last play")
            << "w0 w10000 w15000 w19999 w20000"
            << "0 10000 20000";
        QTest::newRow("a late clock plays once, not to catch up")
            << "w0 w35000 w36000 w44999 w45000"
            << "0 35000 45000";
        QTest::newRow("acknowledged stops it") << "w0 -5000 -10000 -20000"
                                               << "0";
        QTest::newRow("wanted again starts at once") << "w0 -3000 w4000 w5000"
                                                     << "0 4000";
        QTest::newRow("another alarm raised plays at once") << "w0 w2000 r3000 w12000 w13000"
                                                            << "0 3000 13000";
        QTest::newRow("never wanted, never played") << "-0 -10000 -20000"
                                                    << "";
        QTest::newRow("a clock set back plays, then counts from there")
            << "w100000 w50000 w55000 w60000"
            << "100000 50000 60000";
    }
    void repeat() {
        QFETCH(QString, steps);
        QFETCH(QString, played);
        SoundRepeat repeat;
        QStringList times;
        for (const QString& step : steps.split(QLatin1Char(' '))) {
            const std::int64_t ms = step.mid(1).toLongLong();
            const QChar what = step.at(0);
            if (repeat.update(what != QLatin1Char('-'), what == QLatin1Char('r'), ms))
                times << QString::number(ms);
            QCOMPARE(repeat.sounding(), what != QLatin1Char('-'));
        }
        QCOMPARE(times.join(QLatin1Char(' ')), played);
    }

    // Which alarm states want the sound: T1 above 5 from the script's steps ("hot", "cool",
    // "ack"), the sound switched on or off.
    void wanted_data() {
        QTest::addColumn<bool>("sound");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<bool>("wanted");
        QTest::newRow("nothing raised") << true << "cool" << false;
        QTest::newRow("raised") << true << "hot" << true;
        QTest::newRow("raised, sound off") << false << "hot" << false;
        QTest::newRow("raised, acknowledged") << true << "hot ack" << false;
        QTest::newRow("cleared before acknowledged") << true << "hot cool" << true;
        QTest::newRow("cleared, then acknowledged") << true << "hot cool ack" << false;
        QTest::newRow("acknowledged, raised again") << true << "hot ack cool hot" << true;
        QTest::newRow("one of two acknowledged") << true << "both ack1" << true;
        QTest::newRow("from the previous run") << true << "hot restart" << false;
        QTest::newRow("from the previous run, raised anew")
            << true << "hot restart ack cool hot2" << true;
    }
    void wanted() {
        QFETCH(bool, sound);
        QFETCH(QString, steps);
        QFETCH(bool, wanted);
        auto rules = std::make_unique<AlarmRules>(highOnT1(sound));
        std::int64_t time = kStart;
        LinkEvent on;
        on.change = LinkChange::OnLine;
        on.msSinceEpoch = time;
        rules->onLink(on);
        for (const QString& step : steps.split(QLatin1Char(' '))) {
            time += 1000;
            if (step == QLatin1String("hot") || step == QLatin1String("hot2"))
                rules->onTick(tickAt(time, 8.0f, 0.0f));
            else if (step == QLatin1String("cool"))
                rules->onTick(tickAt(time, 0.0f, 0.0f));
            else if (step == QLatin1String("both"))
                rules->onTick(tickAt(time, 8.0f, 8.0f));
            else if (step == QLatin1String("ack"))
                rules->acknowledge(alarmIndex(0, Kind::High), {time, 0});
            else if (step == QLatin1String("ack1"))
                rules->acknowledge(alarmIndex(1, Kind::High), {time, 0});
            else if (step == QLatin1String("restart")) {
                const std::vector<PersistedAlarm> kept = rules->persisted();
                rules = std::make_unique<AlarmRules>(highOnT1(sound));
                rules->restore(kept);
                rules->onLink(on);
            }
            if (step == QLatin1String("hot2"))
                QCOMPARE(rules->status(alarmIndex(0, Kind::High)).state, State::Active);
        }
        QCOMPARE(soundWanted(*rules), wanted);
    }
};

QTEST_GUILESS_MAIN(TestAlarmSound)
#include "test_alarmsound.moc"
