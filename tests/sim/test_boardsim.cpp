#include "board.h"
#include "boardreply.h"
#include "channelcontrol.h"
#include "options.h"
#include "portlink.h"
#include "temperaturedrift.h"

#include <QTemporaryDir>
#include <QtTest>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace thermavo;

namespace {

bool isUpperHex(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F');
}

// The receiving side's rule, written out independently: T = -2.42 r^2 + 215.63 r - 68.83.
double decodePair(const std::string& first, const std::string& second) {
    const long double a = std::stoul(first, nullptr, 16);
    const long double b = std::stoul(second, nullptr, 16);
    const long double r = a / b;
    return static_cast<float>(-2.42L * r * r + 215.63L * r - 68.83L);
}

std::vector<ChannelValue> readings(const std::vector<double>& celsius) {
    std::vector<ChannelValue> values;
    for (double value : celsius)
        values.push_back({ChannelValue::Kind::Reading, value});
    return values;
}

const std::vector<double> kSpread{-44.99, 0.0, 21.53, 38.38, 99.995, 149.99, -60.0, 200.0};

} // namespace

class BoardSimTest : public QObject {
    Q_OBJECT

private slots:
    void eightChannelReplyDecodesBack_data();
    void eightChannelReplyDecodesBack();
    void silentEightChannelFields_data();
    void silentEightChannelFields();
    void fourChannelText_data();
    void fourChannelText();
    void outOfRangeLeavesTheValidRange_data();
    void outOfRangeLeavesTheValidRange();
    void garbageNeverHoldsALineFeed();
    void boardAnswersOnlyItsCommands();
    void repliesKeepTheirPaceWithoutDrift_data();
    void repliesKeepTheirPaceWithoutDrift();
    void faultEveryNthReply();
    void muteEveryNthStart();
    void driftKeepsChannelsApartAndRepeats();
    void options_data();
    void options();
    void portLinkRegistration();
    void channelsSetAndRamped_data();
    void channelsSetAndRamped();
};

void BoardSimTest::eightChannelReplyDecodesBack_data() {
    QTest::addColumn<bool>("longFormat");
    QTest::addColumn<double>("offset");
    for (double offset : {0.0, 0.003, 0.0071}) {
        QTest::addRow("short +%.4f", offset) << false << offset;
        QTest::addRow("long +%.4f", offset) << true << offset;
    }
}

void BoardSimTest::eightChannelReplyDecodesBack() {
    QFETCH(bool, longFormat);
    QFETCH(double, offset);
    std::vector<double> wanted;
    for (double value : kSpread)
        wanted.push_back(value + offset);
    const std::string text = eightChannelText(readings(wanted), longFormat);

    const std::size_t width = longFormat ? 6 : 4;
    const std::size_t stride = longFormat ? 14 : 10;
    QCOMPARE(text.size(), longFormat ? kLongReplyLength : kShortReplyLength);
    for (std::size_t channel = 0; channel < 8; ++channel) {
        // 0-based offsets of the 1-based positions stride*k+1 and stride*k+width+2.
        const std::string first = text.substr(stride * channel, width);
        const std::string second = text.substr(stride * channel + width + 1, width);
        QVERIFY2(std::all_of(first.begin(), first.end(), isUpperHex), first.c_str());
        QVERIFY2(std::all_of(second.begin(), second.end(), isUpperHex), second.c_str());
        QVERIFY(first != std::string(width, 'F') && second != std::string(width, 'F'));
        QCOMPARE(text[stride * channel + width], ' ');
        const double decoded = decodePair(first, second);
        QVERIFY2(
            std::abs(decoded - wanted[channel]) < 0.01,
            qPrintable(
                QString("channel %1: %2 for %3").arg(channel).arg(decoded).arg(wanted[channel])));
    }
}

void BoardSimTest::silentEightChannelFields_data() {
    QTest::addColumn<bool>("longFormat");
    QTest::addColumn<QString>("missing");
    QTest::newRow("short") << false << "FFFF FFFF";
    QTest::newRow("long") << true << "FFFFFF FFFFFF";
}

void BoardSimTest::silentEightChannelFields() {
    QFETCH(bool, longFormat);
    QFETCH(QString, missing);
    Faults faults;
    faults.silentChannels = {1, 7};
    std::mt19937 random(1);
    const std::string text = eightChannelText(
        faultedChannels(std::vector<double>(8, 21.0), faults, BoardKind::EightChannel, random),
        longFormat);
    const std::size_t stride = longFormat ? 14 : 10;
    for (std::size_t channel = 0; channel < 8; ++channel) {
        const bool silent = channel == 1 || channel == 7;
        QCOMPARE(QString::fromStdString(text.substr(stride * channel, missing.size())) == missing,
                 silent);
    }
}

void BoardSimTest::fourChannelText_data() {
    QTest::addColumn<QList<double>>("celsius");
    QTest::addColumn<QList<int>>("kinds"); // 0 reading, 1 silent, 2 masked
    QTest::addColumn<QString>("expected");
    QTest::newRow("four readings") << QList<double>{21.53, 22.1, 19.87, 23.01}
                                   << QList<int>{0, 0, 0, 0} << "21.53 22.10 19.87 23.01";
    QTest::newRow("rounded, negative") << QList<double>{-4.567, 0.004, 100.0, 149.999}
                                       << QList<int>{0, 0, 0, 0} << "-4.57 0.00 100.00 150.00";
    QTest::newRow("masked") << QList<double>{20.0, 21.0, 22.0, 23.0} << QList<int>{0, 2, 0, 2}
                            << "20.00 **** 22.00 ****";
    QTest::newRow("silent leaves numbers out")
        << QList<double>{20.0, 21.0, 22.0, 23.0} << QList<int>{0, 1, 0, 1} << "20.00 22.00";
}

void BoardSimTest::fourChannelText() {
    QFETCH(QList<double>, celsius);
    QFETCH(QList<int>, kinds);
    QFETCH(QString, expected);
    std::vector<ChannelValue> values;
    for (qsizetype i = 0; i < celsius.size(); ++i)
        values.push_back({static_cast<ChannelValue::Kind>(kinds[i]), celsius[i]});
    QCOMPARE(QString::fromStdString(thermavo::fourChannelText(values)), expected);
}

void BoardSimTest::outOfRangeLeavesTheValidRange_data() {
    QTest::addColumn<bool>("fourChannel");
    QTest::newRow("8 channels") << false;
    QTest::newRow("4 channels") << true;
}

void BoardSimTest::outOfRangeLeavesTheValidRange() {
    QFETCH(bool, fourChannel);
    const BoardKind kind = fourChannel ? BoardKind::FourChannel : BoardKind::EightChannel;
    const std::vector<double> normal(channelCount(kind), 22.0);
    Faults faults;
    faults.outOfRange = true;
    bool sawMasked = false;
    bool sawNormal = false;
    for (std::uint32_t seed = 0; seed < 200; ++seed) {
        std::mt19937 random(seed);
        int faulted = 0;
        for (const ChannelValue& value : faultedChannels(normal, faults, kind, random)) {
            if (value.kind == ChannelValue::Kind::Masked) {
                QVERIFY(fourChannel);
                sawMasked = true;
                ++faulted;
            } else if (value.celsius == 22.0) {
                sawNormal = true;
            } else {
                // Still outside after rounding to two decimals or to the board's counts.
                QVERIFY2(value.celsius < kLowestValidCelsius - 0.5 ||
                             value.celsius > kHighestValidCelsius + 0.5,
                         qPrintable(QString::number(value.celsius)));
                ++faulted;
            }
        }
        QVERIFY(faulted >= 1);
    }
    QCOMPARE(sawMasked, fourChannel);
    QVERIFY(sawNormal);
}

void BoardSimTest::garbageNeverHoldsALineFeed() {
    std::mt19937 random(5);
    for (int round = 0; round < 500; ++round) {
        const std::string bytes = garbageBytes(random);
        QVERIFY(!bytes.empty() && bytes.size() <= 16);
        QVERIFY(bytes.find('\n') == std::string::npos);
    }
}

void BoardSimTest::boardAnswersOnlyItsCommands() {
    BoardSettings settings;
    settings.repliesPerSecond = 20.0;
    Board board(settings, 1, 0);
    QCOMPARE(board.receive('x', 10), Board::Response::Ignored);
    QVERIFY(!board.running());
    QCOMPARE(board.receive(kStartCommand, 1'000), Board::Response::Started);
    QVERIFY(board.running());
    QCOMPARE(board.nextReplyNs(), 1'000 + 50'000'000);
    QCOMPARE(board.receive(kStopCommand, 2'000), Board::Response::Stopped);
    QVERIFY(!board.running());
    QCOMPARE(board.receive(kStartCommand, 3'000), Board::Response::Started);
    QVERIFY(board.running());
}

void BoardSimTest::repliesKeepTheirPaceWithoutDrift_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("longFormat");
    QTest::addColumn<bool>("lineRate");
    QTest::addColumn<qint64>("firstDelayNs");
    QTest::addColumn<qint64>("stepNs");
    QTest::newRow("2.5 per second")
        << 0 << false << false << qint64(400'000'000) << qint64(400'000'000);
    // 81 bytes (LF, 79 characters, CR) at 5760 bytes/s.
    QTest::newRow("8-channel line rate") << 0 << false << true << qint64(0) << qint64(14'062'500);
    // 114 bytes at 5760 bytes/s.
    QTest::newRow("long line rate") << 0 << true << true << qint64(0) << qint64(19'791'667);
}

void BoardSimTest::repliesKeepTheirPaceWithoutDrift() {
    QFETCH(int, kind);
    QFETCH(bool, longFormat);
    QFETCH(bool, lineRate);
    QFETCH(qint64, firstDelayNs);
    QFETCH(qint64, stepNs);
    BoardSettings settings{static_cast<BoardKind>(kind), longFormat, 2.5, lineRate, {}};
    Board board(settings, 3, 0);
    board.receive(kStartCommand, 7'000);
    std::int64_t due = 7'000 + firstDelayNs;
    QCOMPARE(board.nextReplyNs(), due);
    for (int reply = 0; reply < 10; ++reply) {
        // Served late by a varying amount: the schedule must not slip.
        const std::string bytes = board.takeReply(due + (reply % 3) * 1'000'000);
        QCOMPARE(bytes.front(), '\n');
        QCOMPARE(bytes.back(), '\r');
        due += stepNs;
        QCOMPARE(board.nextReplyNs(), due);
    }
}

void BoardSimTest::faultEveryNthReply() {
    BoardSettings settings;
    settings.faults.noEnd = true;
    settings.faults.every = 3;
    Board board(settings, 9, 0);
    board.receive(kStartCommand, 0);
    for (int reply = 1; reply <= 9; ++reply) {
        const std::string bytes = board.takeReply(board.nextReplyNs());
        QCOMPARE(bytes.size(), reply % 3 == 0 ? kShortReplyLength + 1 : kShortReplyLength + 2);
        QCOMPARE(bytes.back() == '\r', reply % 3 != 0);
    }
}

void BoardSimTest::muteEveryNthStart() {
    BoardSettings settings;
    settings.faults.mute = true;
    settings.faults.every = 2;
    Board board(settings, 9, 0);
    QCOMPARE(board.receive(kStartCommand, 0), Board::Response::Started);
    board.receive(kStopCommand, 1);
    QCOMPARE(board.receive(kStartCommand, 2), Board::Response::StartIgnored);
    QVERIFY(!board.running());
    QCOMPARE(board.receive(kStartCommand, 3), Board::Response::Started);
}

void BoardSimTest::driftKeepsChannelsApartAndRepeats() {
    TemperatureDrift drift(8, 42);
    TemperatureDrift same(8, 42);
    TemperatureDrift other(8, 43);
    bool differsFromOtherSeed = false;
    bool moved = false;
    const std::vector<double> start = TemperatureDrift(8, 42).at(0.0);
    for (double seconds = 0.0; seconds < 7200.0; seconds += 7.3) {
        const std::vector<double> celsius = drift.at(seconds);
        QCOMPARE(same.at(seconds), celsius);
        differsFromOtherSeed |= other.at(seconds) != celsius;
        moved |= std::abs(celsius[0] - start[0]) > 0.05;
        for (std::size_t channel = 0; channel < celsius.size(); ++channel) {
            QVERIFY(celsius[channel] > 19.0 && celsius[channel] < 26.0);
            if (channel > 0)
                QVERIFY(celsius[channel] > celsius[channel - 1]);
        }
    }
    QVERIFY(differsFromOtherSeed);
    QVERIFY(moved);
}

void BoardSimTest::options_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("port only") << QStringList{"--port", "7"} << true;
    QTest::newRow("everything") << QStringList{"--port=256",
                                               "--board",
                                               "8",
                                               "--long",
                                               "--rate",
                                               "0.25",
                                               "--seed",
                                               "4294967295",
                                               "--fault",
                                               "no-end",
                                               "--fault=silent-channels=1,8",
                                               "--fault-every",
                                               "4",
                                               "--log",
                                               "a",
                                               "--sent-log",
                                               "b"}
                                << true;
    QTest::newRow("help without port") << QStringList{"--help"} << true;
    QTest::newRow("no port") << QStringList{"--board", "4"} << false;
    QTest::newRow("port 0") << QStringList{"--port", "0"} << false;
    QTest::newRow("port 257") << QStringList{"--port", "257"} << false;
    QTest::newRow("board 6") << QStringList{"--port", "1", "--board", "6"} << false;
    QTest::newRow("long on 4") << QStringList{"--port", "1", "--board", "4", "--long"} << false;
    QTest::newRow("rate 0") << QStringList{"--port", "1", "--rate", "0"} << false;
    QTest::newRow("seed negative") << QStringList{"--port", "1", "--seed", "-1"} << false;
    QTest::newRow("fault unknown") << QStringList{"--port", "1", "--fault", "loud"} << false;
    QTest::newRow("silent 5 on 4")
        << QStringList{"--port", "1", "--board", "4", "--fault", "silent-channels=5"} << false;
    QTest::newRow("every 0") << QStringList{"--port", "1", "--fault-every", "0"} << false;
}

void BoardSimTest::options() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, accepted);
    std::vector<std::string> storage;
    for (const QString& argument : arguments)
        storage.push_back(argument.toStdString());
    const std::vector<std::string_view> views(storage.begin(), storage.end());
    const ParsedOptions parsed = parseOptions(views);
    QVERIFY2(parsed.error.empty() == accepted, parsed.error.c_str());
}

void BoardSimTest::portLinkRegistration() {
    QTemporaryDir temporary;
    QVERIFY(temporary.isValid());
    const std::string folder = temporary.path().toStdString() + "/thermavo/ports";
    const std::string live = temporary.path().toStdString() + "/device";
    std::ofstream(live) << "";
    const std::string path = folder + "/COM5";
    {
        PortLink link(folder, 5, live);
        QCOMPARE(std::filesystem::read_symlink(path).string(), live);
        QVERIFY_THROWS_EXCEPTION(std::exception, PortLink(folder, 5, live + "2"));
    }
    QVERIFY(!std::filesystem::is_symlink(path));

    std::filesystem::create_symlink(temporary.path().toStdString() + "/gone", path);
    {
        PortLink link(folder, 5, live);
        QCOMPARE(std::filesystem::read_symlink(path).string(), live);
        // Someone else took the number over: their link stays.
        std::filesystem::remove(path);
        std::filesystem::create_symlink("/dev/null", path);
    }
    QCOMPARE(std::filesystem::read_symlink(path).string(), std::string("/dev/null"));

    // A killed simulator's link may point at the very terminal this one was just given.
    std::filesystem::remove(path);
    std::filesystem::create_symlink(live, path);
    {
        PortLink link(folder, 5, live);
        QCOMPARE(std::filesystem::read_symlink(path).string(), live);
    }
    QVERIFY(!std::filesystem::is_symlink(path));

    std::ofstream(folder + "/COM6") << "";
    QVERIFY_THROWS_EXCEPTION(std::exception, PortLink(folder, 6, live));
}

void BoardSimTest::channelsSetAndRamped_data() {
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<double>("at");
    QTest::addColumn<double>("t3");
    QTest::addColumn<QString>("error");

    // Each command is given at second 10, the drifting T3 reading 20 then.
    QTest::newRow("set") << QStringList{"set T3 6.5"} << 11.0 << 6.5 << "";
    QTest::newRow("lower-case channel, blanks")
        << QStringList{"  set   t3   -40  "} << 11.0 << -40.0 << "";
    QTest::newRow("ramp halfway") << QStringList{"ramp T3 30 20"} << 20.0 << 25.0 << "";
    QTest::newRow("ramp ends at its target") << QStringList{"ramp T3 30 20"} << 99.0 << 30.0 << "";
    QTest::newRow("ramp at once") << QStringList{"ramp T3 30 0"} << 10.0 << 30.0 << "";
    QTest::newRow("ramp from a set value")
        << QStringList{"set T3 0", "ramp T3 10 10"} << 15.0 << 5.0 << "";
    QTest::newRow("free drifts again") << QStringList{"set T3 0", "free T3"} << 11.0 << 20.0 << "";
    QTest::newRow("no such channel")
        << QStringList{"set T9 5"} << 11.0 << 20.0 << "no such channel \"T9\" (T1 to T8)";
    QTest::newRow("channel zero") << QStringList{"set T0 5"} << 11.0 << 20.0
                                  << "no such channel \"T0\" (T1 to T8)";
    QTest::newRow("no number") << QStringList{"set T3 warm"} << 11.0 << 20.0
                               << "not understood: \"set T3 warm\" (set T3 6.5, ramp T3 10 30, "
                                  "free T3)";
    QTest::newRow("negative ramp time") << QStringList{"ramp T3 5 -1"} << 11.0 << 20.0
                                        << "not understood: \"ramp T3 5 -1\" (set T3 6.5, ramp "
                                           "T3 10 30, free T3)";
    QTest::newRow("too many words") << QStringList{"set T3 5 6"} << 11.0 << 20.0
                                    << "not understood: \"set T3 5 6\" (set T3 6.5, ramp T3 10 "
                                       "30, free T3)";
    QTest::newRow("empty line") << QStringList{""} << 11.0 << 20.0 << "";
}

void BoardSimTest::channelsSetAndRamped() {
    QFETCH(QStringList, commands);
    QFETCH(double, at);
    QFETCH(double, t3);
    QFETCH(QString, error);

    ChannelControl control(8);
    const std::vector<double> drifting(8, 20.0);
    QString lastError;
    for (const QString& command : commands)
        lastError = QString::fromStdString(
            control.command(command.toStdString(), 10.0, control.apply(drifting, 10.0)));
    QCOMPARE(lastError, error);
    const std::vector<double> values = control.apply(drifting, at);
    QCOMPARE(values[2], t3);
    QCOMPARE(values[1], 20.0);
    // Before any reply there is nothing to ramp from: the ramp starts at its target.
    ChannelControl fresh(4);
    QCOMPARE(fresh.command("ramp T4 3 10", 0.0, {}), std::string());
    QCOMPARE(fresh.apply({1, 1, 1, 1}, 5.0)[3], 3.0);
}

QTEST_GUILESS_MAIN(BoardSimTest)
#include "test_boardsim.moc"
