#include "floatcompare.h"
#include "measure/channelstate.h"
#include "measure/decode.h"

#include <QTest>
#include <cmath>
#include <limits>
#include <vector>

using namespace thermavo;

Q_DECLARE_METATYPE(std::vector<float>)

class TestChannels : public QObject {
    Q_OBJECT

private slots:
    void acceptance_data() {
        QTest::addColumn<float>("reading");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("lowest") << -45.0f << true;
        QTest::newRow("highest") << 150.0f << true;
        QTest::newRow("below lowest") << -45.01f << false;
        QTest::newRow("above highest") << 150.01f << false;
        QTest::newRow("next float above highest") << std::nextafter(150.0f, 200.0f) << false;
        QTest::newRow("invalid marker") << kInvalidReading << false;
        QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << false;
        QTest::newRow("infinity") << std::numeric_limits<float>::infinity() << false;
        QTest::newRow("minus zero") << -0.0f << true;
    }
    void acceptance() {
        QFETCH(float, reading);
        QFETCH(bool, accepted);
        QCOMPARE(isAcceptedReading(reading), accepted);

        ChannelState channel;
        storeReading(channel, reading, true);
        QCOMPARE(channel.Count, accepted ? 1u : 0u);
    }

    void interval_data() {
        QTest::addColumn<std::vector<float>>("readings");
        QTest::addColumn<bool>("averaging");
        QTest::addColumn<uint>("count");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<float>("sample");
        QTest::newRow("averaged") << std::vector<float>{20.0f, 22.0f} << true << 2u << true
                                  << 21.0f;
        QTest::newRow("last one wins")
            << std::vector<float>{20.0f, 22.0f} << false << 1u << true << 22.0f;
        QTest::newRow("no readings") << std::vector<float>{} << true << 0u << false << 0.0f;
        QTest::newRow("rejected only")
            << std::vector<float>{kInvalidReading, 150.01f} << true << 0u << false << 0.0f;
        QTest::newRow("rejected after accepted")
            << std::vector<float>{20.0f, kInvalidReading} << true << 1u << true << 20.0f;
        QTest::newRow("rejected does not replace")
            << std::vector<float>{20.0f, -45.01f} << false << 1u << true << 20.0f;
        QTest::newRow("both bounds")
            << std::vector<float>{-45.0f, 150.0f} << true << 2u << true << 52.5f;
    }
    void interval() {
        QFETCH(std::vector<float>, readings);
        QFETCH(bool, averaging);
        QFETCH(uint, count);
        QFETCH(bool, valid);
        QFETCH(float, sample);

        // Left over from an earlier on-line period: going on line must discard it.
        ChannelState channel;
        storeReading(channel, 99.0f, true);
        startSampling(channel);
        for (float reading : readings)
            storeReading(channel, reading, averaging);
        QCOMPARE(channel.Count, count);

        takeSample(channel);
        QCOMPARE(channel.Valid, valid);
        THERMAVO_COMPARE_FLOAT(channel.Sample, sample);
        QCOMPARE(channel.Count, 0u);
        THERMAVO_COMPARE_FLOAT(channel.Sum, 0.0f);

        // The next interval starts empty: its readings alone make its sample.
        storeReading(channel, 30.0f, averaging);
        takeSample(channel);
        QVERIFY(channel.Valid);
        THERMAVO_COMPARE_FLOAT(channel.Sample, 30.0f);
        takeSample(channel);
        QVERIFY(!channel.Valid);
        THERMAVO_COMPARE_FLOAT(channel.Sample, 0.0f);
    }
};

QTEST_APPLESS_MAIN(TestChannels)
#include "test_channels.moc"
