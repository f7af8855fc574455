#include "link/delaytimer.h"

#include <QTest>
#include <cstdint>
#include <stdexcept>

using thermavo::TDelayTimer;

namespace {

// A clock that moves on by a fixed step every time it is read.
struct SteppingClock {
    std::uint32_t now = 0;
    std::uint32_t step = 1;
    int reads = 0;
    std::uint32_t read() {
        ++reads;
        const std::uint32_t value = now;
        now += step;
        return value;
    }
};

} // namespace

class DelayTimerTest : public QObject {
    Q_OBJECT

private slots:
    void waitsAtLeastTheTime_data();
    void waitsAtLeastTheTime();
    void zeroReturnsAtOnce();
    void nestedDelayMovesTheDeadline();
    void idleErrorClearsBusy();
};

void DelayTimerTest::waitsAtLeastTheTime_data() {
    QTest::addColumn<quint32>("start");
    QTest::addColumn<quint32>("step");
    QTest::addColumn<quint32>("ms");

    QTest::newRow("plain") << 1000u << 1u << 100u;
    QTest::newRow("coarse clock") << 1000u << 16u << 100u;
    QTest::newRow("wraps during the wait") << 0xFFFFFFFFu - 40u << 1u << 100u;
    QTest::newRow("starts at the last tick before the wrap") << 0xFFFFFFFFu << 1u << 100u;
    QTest::newRow("one millisecond") << 5u << 1u << 1u;
}

void DelayTimerTest::waitsAtLeastTheTime() {
    QFETCH(quint32, start);
    QFETCH(quint32, step);
    QFETCH(quint32, ms);

    SteppingClock clock{start, step};
    TDelayTimer timer([&] { return clock.read(); }, [] {});
    int idleRounds = 0;
    timer.OnIdle = [&] {
        QVERIFY(timer.Busy());
        ++idleRounds;
    };
    timer.Delay(ms);

    // The last reading is the one that ended the wait.
    const std::uint64_t elapsed = static_cast<std::uint32_t>(clock.now - step - start);
    QVERIFY2(elapsed >= ms, QByteArray::number(static_cast<qulonglong>(elapsed)));
    QVERIFY(elapsed < static_cast<std::uint64_t>(ms) + step);
    if (ms > step)
        QVERIFY(idleRounds > 0);
    QVERIFY(!timer.Busy());
}

void DelayTimerTest::zeroReturnsAtOnce() {
    SteppingClock clock;
    TDelayTimer timer([&] { return clock.read(); }, [] {});
    timer.Delay(0);
    QCOMPARE(clock.reads, 0);
    QVERIFY(!timer.Busy());
}

void DelayTimerTest::nestedDelayMovesTheDeadline() {
    SteppingClock clock{100, 1};
    TDelayTimer timer([&] { return clock.read(); }, [] {});
    std::uint32_t nestedAt = 0;
    timer.OnIdle = [&] {
        if (nestedAt != 0)
            return;
        nestedAt = clock.now;
        timer.Delay(500);
        QVERIFY(timer.Busy());
    };
    timer.Delay(10);
    const std::uint32_t ended = clock.now - 1;
    QVERIFY(ended - nestedAt >= 500);
    QVERIFY(ended - nestedAt < 510);
    QVERIFY(!timer.Busy());
}

void DelayTimerTest::idleErrorClearsBusy() {
    SteppingClock clock;
    TDelayTimer timer([&] { return clock.read(); }, [] {});
    timer.OnIdle = [] { throw std::runtime_error("idle failed"); };
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, timer.Delay(100));
    QVERIFY(!timer.Busy());
}

QTEST_APPLESS_MAIN(DelayTimerTest)
#include "test_delaytimer.moc"
