#include "floatcompare.h"
#include "measure/board.h"
#include "measure/decode.h"

#include <QTest>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace thermavo;

namespace {

using Pair = std::pair<std::string, std::string>;

// A well-formed reply: eight pairs of fields, each pair followed by a separator.
std::string eightChannelReply(const std::vector<Pair>& pairs, std::size_t stride) {
    std::string text;
    for (const auto& [first, second] : pairs) {
        text += first + ' ' + second;
        text.resize(text.size() + stride - first.size() - second.size() - 1, ' ');
    }
    return text;
}

std::vector<Pair> repeated(const std::string& first, const std::string& second) {
    return std::vector<Pair>(kEightChannelReadings, Pair{first, second});
}

std::string shortReply(const std::vector<Pair>& pairs) {
    std::string text = eightChannelReply(pairs, kShortChannelStride);
    text.pop_back(); // the last pair has no separator
    return text;
}

std::string longReply(const std::vector<Pair>& pairs) {
    return eightChannelReply(pairs, kLongChannelStride);
}

const float kHalf = readingFromCounts(0x2000, 0x4000);

} // namespace

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(std::vector<float>)

class TestDecode : public QObject {
    Q_OBJECT

private slots:
    void boardRows_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<BoardKind>("kind");
        QTest::addColumn<int>("baud");
        QTest::newRow("no row") << -1 << BoardKind::None << 4800;
        QTest::newRow("Vexor08") << 0 << BoardKind::EightChannel << 57600;
        QTest::newRow("Vexor04") << 1 << BoardKind::FourChannel << 9600;
        QTest::newRow("Vexor04 USB") << 2 << BoardKind::FourChannel << 9600;
        QTest::newRow("past the list") << 3 << BoardKind::None << 4800;
    }
    void boardRows() {
        QFETCH(int, row);
        QFETCH(BoardKind, kind);
        QFETCH(int, baud);
        QCOMPARE(boardKindForRow(row), kind);
        QCOMPARE(baudRateForRow(row, 4800), baud);
    }

    void readingFromCounts_data() {
        QTest::addColumn<uint>("first");
        QTest::addColumn<uint>("second");
        QTest::addColumn<float>("expected");
        QTest::newRow("r = 0.5") << 0x2000u << 0x4000u << 38.380001f;
        QTest::newRow("r = 1/3") << 0x1000u << 0x3000u << 2.7777777f;
        QTest::newRow("r = 1") << 0x4000u << 0x4000u << 144.38f;
        // Pairs where double arithmetic or double constants land one float away.
        QTest::newRow("extended, not double") << 0x1F89u << 0x3600u << 0x1.c22768p+5f;
        QTest::newRow("extended constants") << 0x2E50u << 0x3000u << 0x1.11eedp+7f;
        QTest::newRow("zero over non-zero") << 0u << 0x4000u << -68.83f;
        QTest::newRow("second zero") << 0x2000u << 0u << kInvalidReading;
        QTest::newRow("both zero") << 0u << 0u << kInvalidReading;
        QTest::newRow("first marker") << 0xFFFFFFu << 0x4000u << kInvalidReading;
        QTest::newRow("second marker") << 0x2000u << 0xFFFFFFu << kInvalidReading;
        QTest::newRow("both FFFF") << 0xFFFFu << 0xFFFFu << kInvalidReading;
    }
    void readingFromCounts() {
        QFETCH(uint, first);
        QFETCH(uint, second);
        QFETCH(float, expected);
        THERMAVO_COMPARE_FLOAT(thermavo::readingFromCounts(first, second), expected);
    }

    void eightChannel_data() {
        QTest::addColumn<std::string>("text");
        QTest::addColumn<std::vector<float>>("expected");

        const std::vector<float> allInvalid(kEightChannelReadings, kInvalidReading);
        const std::vector<float> allHalf(kEightChannelReadings, kHalf);
        const std::string shortHalf = shortReply(repeated("2000", "4000"));
        const std::string longHalf = longReply(repeated("002000", "004000"));

        QTest::newRow("79 decoded") << shortHalf << allHalf;
        QTest::newRow("78 rejected") << shortHalf.substr(0, 78) << allInvalid;
        QTest::newRow("80 rejected") << shortHalf + "0" << allInvalid;
        QTest::newRow("112 decoded") << longHalf << allHalf;
        QTest::newRow("111 rejected") << longHalf.substr(0, 111) << allInvalid;
        QTest::newRow("200 decoded, tail ignored") << longHalf + std::string(88, 'Z') << allHalf;
        QTest::newRow("one character") << std::string("0") << allInvalid;

        std::string junkSeparators = shortHalf;
        for (std::size_t i = 4; i < junkSeparators.size(); i += 5)
            junkSeparators[i] = static_cast<char>(i % 2 == 0 ? '\0' : '\xFF');
        QTest::newRow("short separators are not examined") << junkSeparators << allHalf;

        std::string longJunk = longHalf;
        for (std::size_t i = 6; i < longJunk.size(); i += 7)
            longJunk[i] = 'F';
        QTest::newRow("long separators are not examined") << longJunk << allHalf;

        // Each channel of these replies shows another field rule; channel k is listed in order.
        const std::vector<Pair> shortFields = {
            {"FFFF", "4000"}, {"2000", "ffff"}, {"FFFF", "FFFF"}, {"2000", "0000"},
            {"12G4", "4000"}, {" 200", "4000"}, {"2000", " 400"}, {"0FFF", "4000"},
        };
        QTest::newRow("short field rules")
            << shortReply(shortFields)
            << std::vector<float>{kInvalidReading,
                                  kInvalidReading,
                                  kInvalidReading,
                                  kInvalidReading,
                                  thermavo::readingFromCounts(0x12, 0x4000),
                                  -68.83f,
                                  kInvalidReading,
                                  thermavo::readingFromCounts(0xFFF, 0x4000)};

        const std::vector<Pair> longFields = {
            {"00FFFF", "004000"}, {"004000", "00FFFF"}, {"00FFFF", "00FFFF"}, {"FFFFFF", "004000"},
            {"002000", "FFFFFF"}, {"2000zz", "4000.."}, {"002000", "000000"}, {"00ffff", "00fffe"},
        };
        QTest::newRow("long field rules")
            << longReply(longFields)
            << std::vector<float>{thermavo::readingFromCounts(0xFFFF, 0x4000),
                                  thermavo::readingFromCounts(0x4000, 0xFFFF),
                                  kInvalidReading,
                                  kInvalidReading,
                                  kInvalidReading,
                                  kHalf,
                                  kInvalidReading,
                                  thermavo::readingFromCounts(0xFFFF, 0xFFFE)};
    }
    void eightChannel() {
        QFETCH(std::string, text);
        QFETCH(std::vector<float>, expected);
        const DecodedReply reply = decodeReply(BoardKind::EightChannel, text);
        QCOMPARE(reply.count, kEightChannelReadings);
        for (int k = 0; k < kEightChannelReadings; ++k) {
            const ChannelReading& reading = reply.readings[static_cast<std::size_t>(k)];
            QCOMPARE(reading.channel, k);
            THERMAVO_COMPARE_FLOAT(reading.value, expected[static_cast<std::size_t>(k)]);
        }
    }

    void decimalRule_data() {
        QTest::addColumn<std::string>("text");
        QTest::addColumn<bool>("converts");
        QTest::addColumn<float>("expected");
        QTest::newRow("integer") << std::string("21") << true << 21.0f;
        QTest::newRow("decimal") << std::string("20.5") << true << 20.5f;
        QTest::newRow("negative") << std::string("-3.25") << true << -3.25f;
        QTest::newRow("rounded to single") << std::string("0.1") << true << 0.1f;
        QTest::newRow("point alone") << std::string(".") << true << 0.0f;
        QTest::newRow("minus point") << std::string("-.") << true << -0.0f;
        QTest::newRow("trailing point") << std::string("5.") << true << 5.0f;
        QTest::newRow("leading point") << std::string(".5") << true << 0.5f;
        QTest::newRow("minus leading point") << std::string("-.5") << true << -0.5f;
        QTest::newRow("leading zeros") << std::string("007.50") << true << 7.5f;
        QTest::newRow("largest single") << std::string("340282346638528859811704183484516925440")
                                        << true << std::numeric_limits<float>::max();
        QTest::newRow("beyond single") << std::string("1" + std::string(39, '0')) << false << 0.0f;
        QTest::newRow("beyond single, negative")
            << std::string("-1" + std::string(39, '0') + ".5") << false << 0.0f;
        QTest::newRow("below single")
            << std::string("0." + std::string(60, '0') + "1") << true << 0.0f;
        QTest::newRow("below single, negative")
            << std::string("-0." + std::string(60, '0') + "1") << true << -0.0f;
        QTest::newRow("empty") << std::string() << false << 0.0f;
        QTest::newRow("minus alone") << std::string("-") << false << 0.0f;
        QTest::newRow("asterisks") << std::string("***") << false << 0.0f;
        QTest::newRow("asterisk in number") << std::string("2*.5") << false << 0.0f;
        QTest::newRow("two points") << std::string("1.2.3") << false << 0.0f;
        QTest::newRow("double minus") << std::string("--5") << false << 0.0f;
        QTest::newRow("trailing minus") << std::string("5-") << false << 0.0f;
        QTest::newRow("inner minus") << std::string("1-2") << false << 0.0f;
    }
    void decimalRule() {
        QFETCH(std::string, text);
        QFETCH(bool, converts);
        QFETCH(float, expected);
        const std::optional<float> value = convertNumberText(text);
        QCOMPARE(value.has_value(), converts);
        if (converts)
            THERMAVO_COMPARE_FLOAT(*value, expected);
    }

    void fourChannel_data() {
        QTest::addColumn<std::string>("text");
        QTest::addColumn<QList<int>>("channels");
        QTest::addColumn<std::vector<float>>("values");
        QTest::newRow("four numbers")
            << std::string("20.5 21.0 -3.25 100") << QList<int>{0, 1, 2, 3}
            << std::vector<float>{20.5f, 21.0f, -3.25f, 100.0f};
        QTest::newRow("leading separator")
            << std::string(" 20.5 21.0 -3.25 100") << QList<int>{1, 2, 3}
            << std::vector<float>{20.5f, 21.0f, -3.25f};
        QTest::newRow("asterisks store nothing")
            << std::string("**** 21\t***.* 22") << QList<int>{1, 3}
            << std::vector<float>{21.0f, 22.0f};
        QTest::newRow("bad texts keep their channel")
            << std::string("1.2.3 --5 - 4") << QList<int>{3} << std::vector<float>{4.0f};
        QTest::newRow("fewer than four")
            << std::string("12,13") << QList<int>{0, 1} << std::vector<float>{12.0f, 13.0f};
        QTest::newRow("text after the fourth")
            << std::string("1 2 3 4 5 6") << QList<int>{0, 1, 2, 3}
            << std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f};
        QTest::newRow("letters separate") << std::string("T1=20.5;T2=21") << QList<int>{1, 2, 3}
                                          << std::vector<float>{1.0f, 20.5f, 2.0f};
        QTest::newRow("exponent is no exponent")
            << std::string("1e5 2") << QList<int>{0, 1, 2} << std::vector<float>{1.0f, 5.0f, 2.0f};
        QTest::newRow("embedded NUL separates")
            << std::string("20\0 21", 6) << QList<int>{0, 1} << std::vector<float>{20.0f, 21.0f};
        QTest::newRow("separators only")
            << std::string("abc") << QList<int>{} << std::vector<float>{};
    }
    void fourChannel() {
        QFETCH(std::string, text);
        QFETCH(QList<int>, channels);
        QFETCH(std::vector<float>, values);
        const DecodedReply reply = decodeReply(BoardKind::FourChannel, text);
        QCOMPARE(reply.count, int(channels.size()));
        for (int i = 0; i < reply.count; ++i) {
            const ChannelReading& reading = reply.readings[static_cast<std::size_t>(i)];
            QCOMPARE(reading.channel, channels[i]);
            THERMAVO_COMPARE_FLOAT(reading.value, values[static_cast<std::size_t>(i)]);
        }
    }

    void noReadings_data() {
        QTest::addColumn<BoardKind>("kind");
        QTest::addColumn<std::string>("text");
        QTest::newRow("empty 8-channel reply") << BoardKind::EightChannel << std::string();
        QTest::newRow("empty 4-channel reply") << BoardKind::FourChannel << std::string();
        QTest::newRow("no board row") << BoardKind::None << shortReply(repeated("2000", "4000"));
    }
    void noReadings() {
        QFETCH(BoardKind, kind);
        QFETCH(std::string, text);
        QCOMPARE(decodeReply(kind, text).count, 0);
    }

    // Replies are untrusted bytes: any content and length must decode without fault, with
    // readings in channel order and 8-channel readings either usable or the invalid marker.
    void arbitraryBytes() {
        std::mt19937 random(20240611u);
        std::uniform_int_distribution<int> byte(0, 255);
        std::uniform_int_distribution<int> length(0, 260);
        const std::string alphabet = "0123456789abcdefABCDEF-.* \t\r\n";
        std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
        for (int round = 0; round < 20000; ++round) {
            std::string text(static_cast<std::size_t>(round % 3 == 0 ? 79 : length(random)), '\0');
            for (char& c : text)
                c = round % 2 == 0 ? static_cast<char>(byte(random)) : alphabet[pick(random)];

            const DecodedReply eight = decodeEightChannel(text);
            QCOMPARE(eight.count, kEightChannelReadings);
            for (int k = 0; k < eight.count; ++k) {
                const float value = eight.readings[static_cast<std::size_t>(k)].value;
                // The quadratic peaks near r = 44.5; no count pair goes above it.
                QVERIFY(value == kInvalidReading || (std::isfinite(value) && value < 4735.0f));
            }

            const DecodedReply four = decodeFourChannel(text);
            QVERIFY(four.count >= 0 && four.count <= kFourChannelReadings);
            int previous = -1;
            for (int i = 0; i < four.count; ++i) {
                const ChannelReading& reading = four.readings[static_cast<std::size_t>(i)];
                QVERIFY(reading.channel > previous && reading.channel < kFourChannelReadings);
                QVERIFY(std::isfinite(reading.value));
                previous = reading.channel;
            }
        }
    }
};

QTEST_APPLESS_MAIN(TestDecode)
#include "test_decode.moc"
