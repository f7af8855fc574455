#include "floatcompare.h"
#include "measure/channelstate.h"
#include "measure/filters.h"

#include <QTest>
#include <limits>
#include <random>
#include <vector>

using namespace thermavo;

namespace {

constexpr int kNone = static_cast<int>(FilterKind::None);
constexpr int kMovingAverage = static_cast<int>(FilterKind::MovingAverage);
constexpr int kLowPass = static_cast<int>(FilterKind::LowPass);

// One tick with a sample: the filter settings of that tick, the sample, the filtered result.
// A step of kind -2 marks going off and on line again instead.
struct Step {
    int kind = 0;
    int size = 1;
    double amount = 1.0;
    float sample = 0.0f;
    float filtered = 0.0f;
};

constexpr int kNewPeriod = -2;

Step movingAverage(int size, float sample, float filtered) {
    return {kMovingAverage, size, 1.0, sample, filtered};
}

Step lowPass(double amount, float sample, float filtered) {
    return {kLowPass, 1, amount, sample, filtered};
}

const Step kGoOnLine{kNewPeriod, 0, 0.0, 0.0f, 0.0f};

} // namespace

Q_DECLARE_METATYPE(std::vector<Step>)

class TestFilters : public QObject {
    Q_OBJECT

private slots:
    void steps_data() {
        QTest::addColumn<float>("initialFiltered");
        QTest::addColumn<std::vector<Step>>("steps");

        QTest::newRow("no filtering")
            << 5.0f
            << std::vector<Step>{{kNone, 3, 50.0, 10.0f, 10.0f}, {kNone, 3, 50.0, 20.0f, 20.0f}};
        QTest::newRow("filter list without a row")
            << 5.0f << std::vector<Step>{{-1, 3, 50.0, 10.0f, 10.0f}, {7, 3, 50.0, 20.0f, 20.0f}};
        QTest::newRow("moving average n = 3")
            << 0.0f
            << std::vector<Step>{movingAverage(3, 10.0f, 10.0f), movingAverage(3, 20.0f, 40.0f / 3),
                                 movingAverage(3, 30.0f, 20.0f), movingAverage(3, 40.0f, 30.0f)};
        QTest::newRow("moving average n = 1000")
            << 0.0f
            << std::vector<Step>{movingAverage(1000, 5.0f, 5.0f),
                                 movingAverage(1000, 6.0f, 5.001f)};
        QTest::newRow("n = 1 and an unreadable 0 pass samples through")
            << 0.0f
            << std::vector<Step>{movingAverage(1, 10.0f, 10.0f), movingAverage(0, 20.0f, 20.0f),
                                 movingAverage(-3, 30.0f, 30.0f)};
        QTest::newRow("size beyond the window passes through")
            << 0.0f
            << std::vector<Step>{movingAverage(1001, 10.0f, 10.0f),
                                 movingAverage(1001, 20.0f, 20.0f)};
        QTest::newRow("restart once per on-line period")
            << 0.0f
            << std::vector<Step>{movingAverage(3, 10.0f, 10.0f), movingAverage(3, 20.0f, 40.0f / 3),
                                 kGoOnLine, movingAverage(3, 100.0f, 100.0f),
                                 movingAverage(3, 103.0f, 101.0f)};
        QTest::newRow("window resumes after n = 1")
            << 0.0f
            << std::vector<Step>{movingAverage(3, 10.0f, 10.0f), movingAverage(3, 20.0f, 40.0f / 3),
                                 movingAverage(1, 50.0f, 50.0f), movingAverage(3, 30.0f, 20.0f)};
        QTest::newRow("window resumes after another filter")
            << 0.0f
            << std::vector<Step>{movingAverage(2, 10.0f, 10.0f), lowPass(50.0, 10.5f, 10.25f),
                                 movingAverage(2, 20.0f, 15.0f)};
        QTest::newRow("growing size starts afresh")
            << 0.0f
            << std::vector<Step>{movingAverage(2, 10.0f, 10.0f), movingAverage(2, 20.0f, 15.0f),
                                 movingAverage(4, 30.0f, 30.0f), movingAverage(4, 40.0f, 32.5f)};
        QTest::newRow("shrinking size starts afresh")
            << 0.0f
            << std::vector<Step>{movingAverage(4, 10.0f, 10.0f), movingAverage(4, 20.0f, 12.5f),
                                 movingAverage(2, 30.0f, 30.0f), movingAverage(2, 40.0f, 35.0f)};
        QTest::newRow("low pass P = 50")
            << 20.0f
            << std::vector<Step>{lowPass(50.0, 20.5f, 20.25f), lowPass(50.0, 21.5f, 21.5f)};
        QTest::newRow("low pass P = 1") << 20.0f << std::vector<Step>{lowPass(1.0, 20.5f, 20.495f)};
        QTest::newRow("low pass P = 99")
            << 20.0f << std::vector<Step>{lowPass(99.0, 20.5f, 20.005f)};
        QTest::newRow("exactly 1.0 above smooths")
            << 20.0f << std::vector<Step>{lowPass(50.0, 21.0f, 20.5f)};
        QTest::newRow("exactly 1.0 below smooths")
            << 20.0f << std::vector<Step>{lowPass(50.0, 19.0f, 19.5f)};
        QTest::newRow("first step from program start resets")
            << 0.0f << std::vector<Step>{lowPass(50.0, 20.0f, 20.0f)};
        QTest::newRow("low pass continues into the next period")
            << 20.0f
            << std::vector<Step>{lowPass(50.0, 20.5f, 20.25f), kGoOnLine,
                                 lowPass(50.0, 20.75f, 20.5f)};
        QTest::newRow("amount below the slider is held to 1")
            << 20.0f << std::vector<Step>{lowPass(0.0, 20.5f, 20.495f)};
        QTest::newRow("amount above the slider is held to 99")
            << 20.0f << std::vector<Step>{lowPass(150.0, 20.5f, 20.005f)};
        QTest::newRow("unreadable amount reads as 1")
            << 20.0f
            << std::vector<Step>{lowPass(std::numeric_limits<double>::quiet_NaN(), 20.5f, 20.495f)};
    }
    void steps() {
        QFETCH(float, initialFiltered);
        QFETCH(std::vector<Step>, steps);

        ChannelState channel;
        channel.Filtered = initialFiltered;
        startSampling(channel);
        for (const Step& step : steps) {
            if (step.kind == kNewPeriod) {
                startSampling(channel);
                continue;
            }
            channel.Sample = step.sample;
            applyFilter(channel, {step.kind, step.size, step.amount});
            THERMAVO_COMPARE_FLOAT(channel.Filtered, step.filtered);
        }
    }

    void passThroughLeavesWindowAlone_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("size");
        QTest::newRow("n = 1") << kMovingAverage << 1;
        QTest::newRow("n = 0") << kMovingAverage << 0;
        QTest::newRow("no filtering") << kNone << 3;
        QTest::newRow("low pass") << kLowPass << 3;
    }
    void passThroughLeavesWindowAlone() {
        QFETCH(int, kind);
        QFETCH(int, size);
        ChannelState channel;
        startSampling(channel);
        channel.MarBuffer.fill(7.0f);
        channel.MarSum = 21.0f;
        channel.Sample = 40.0f;
        applyFilter(channel, {kind, size, 50.0});
        QVERIFY(channel.MarRestart);
        THERMAVO_COMPARE_FLOAT(channel.MarSum, 21.0f);
        for (float slot : channel.MarBuffer)
            THERMAVO_COMPARE_FLOAT(slot, 7.0f);
    }

    // Whatever the user does with the size field between ticks, the running sum must stay the
    // sum of the window in use and the average must never take in a stale or unfilled slot.
    // Whole-degree samples keep every sum exact, so the comparisons can be exact too.
    void windowInvariantUnderSizeChanges() {
        const std::vector<int> sizes = {0, 1, 2, 3, 5, 10, 999, 1000};
        std::mt19937 random(77u);
        std::uniform_int_distribution<std::size_t> pickSize(0, sizes.size() - 1);
        std::uniform_int_distribution<int> pickSample(-45, 150);
        std::uniform_int_distribution<int> event(0, 99);

        ChannelState channel;
        startSampling(channel);
        int size = 3;
        for (int tick = 0; tick < 5000; ++tick) {
            if (event(random) < 10)
                size = sizes[pickSize(random)];
            if (event(random) == 0) {
                startSampling(channel);
            }
            channel.Sample = static_cast<float>(pickSample(random));
            applyFilter(channel, {kMovingAverage, size, 1.0});
            if (size < 2) {
                THERMAVO_COMPARE_FLOAT(channel.Filtered, channel.Sample);
                continue;
            }
            double sum = 0.0;
            for (int j = 0; j < size; ++j)
                sum += channel.MarBuffer[static_cast<std::size_t>(j)];
            QCOMPARE(double(channel.MarSum), sum);
            THERMAVO_COMPARE_FLOAT(channel.MarBuffer[0], channel.Sample);
            QCOMPARE(channel.MarSize, size);
            QVERIFY(channel.Filtered >= -45.0f && channel.Filtered <= 150.0f);
        }
    }

    void sampleTick() {
        Channels channels{};
        startSampling(channels);
        channels[1].Filtered = 19.0f;
        storeReading(channels[0], 20.0f, true);
        storeReading(channels[0], 21.0f, true);
        storeReading(channels[1], 20.0f, true);
        const FilterSettings lowPassHalf{kLowPass, 1, 50.0};
        sampleChannels(channels, lowPassHalf);
        THERMAVO_COMPARE_FLOAT(channels[0].Filtered, 20.5f); // reset: 0.0 is far from 20.5
        THERMAVO_COMPARE_FLOAT(channels[1].Filtered, 19.5f);
        for (int k = 2; k < kChannelCount; ++k)
            QVERIFY(!channels[static_cast<std::size_t>(k)].Valid);

        // A tick without a sample leaves the filter memory; the next sample continues from it.
        storeReading(channels[1], 20.5f, true);
        sampleChannels(channels, lowPassHalf);
        QVERIFY(channels[0].Valid == false);
        THERMAVO_COMPARE_FLOAT(channels[0].Filtered, 20.5f);
        storeReading(channels[0], 21.0f, true);
        sampleChannels(channels, lowPassHalf);
        THERMAVO_COMPARE_FLOAT(channels[0].Filtered, 20.75f);
        THERMAVO_COMPARE_FLOAT(channels[1].Filtered, 20.0f); // kept through its empty tick
    }
};

QTEST_APPLESS_MAIN(TestFilters)
#include "test_filters.moc"
