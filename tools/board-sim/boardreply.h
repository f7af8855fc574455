#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace thermavo {

// The texts a simulated Kestrin board sends. Plain functions, so every format and fault can be
// checked without a pseudo-terminal.

enum class BoardKind { EightChannel, FourChannel };

constexpr int kEightChannels = 8;
constexpr int kFourChannels = 4;

// The board turns the count ratio r = first / second into degrees Celsius by this quadratic.
constexpr double kQuadraticSquare = -2.42;
constexpr double kQuadraticLinear = 215.63;
constexpr double kQuadraticConstant = -68.83;

// Short replies mark a missing sensor with FFFF, long ones with FFFFFF.
constexpr std::uint32_t kShortFieldMissing = 0xFFFF;
constexpr std::uint32_t kLongFieldMissing = 0xFFFFFF;
constexpr std::uint32_t kShortSecondCount = 0x4000;
constexpr std::uint32_t kLongSecondCount = 0x400000;

constexpr std::size_t kShortReplyLength = 79;
constexpr std::size_t kLongReplyLength = 112;

// The range the program accepts; the out-of-range fault leaves it on purpose.
constexpr double kLowestValidCelsius = -45.0;
constexpr double kHighestValidCelsius = 150.0;

struct ChannelValue {
    enum class Kind {
        Reading,
        Silent, // the sensor is missing: FFFF fields, or no number at all
        Masked, // the four-channel board's "****" field
    };
    Kind kind = Kind::Reading;
    double celsius = 0.0;
};

struct Faults {
    bool noEnd = false;
    bool garbage = false;
    bool outOfRange = false;
    bool mute = false;
    std::vector<int> silentChannels; // 0-based
    int every = 1;                   // only every Nth reply (and start command, for mute)
};

struct CountPair {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
};

int channelCount(BoardKind kind);

double boardTemperature(double ratio);

// The smaller root of the quadratic, the one the board works on; clamped to 0 below -68.83 °C
// and to the vertex above its maximum.
double ratioForTemperature(double celsius);

// Short pairs search a few second counts from 0x4000 for the closest ratio, so that the
// temperature survives the 16-bit counts to well within 0.01 °C.
CountPair countsForTemperature(double celsius, bool longFormat);

std::string eightChannelText(std::span<const ChannelValue> channels, bool longFormat);
std::string fourChannelText(std::span<const ChannelValue> channels);
std::string replyText(BoardKind kind, bool longFormat, std::span<const ChannelValue> channels);

// Applies the silent-channel and out-of-range faults to the drifting temperatures.
std::vector<ChannelValue> faultedChannels(std::span<const double> celsius, const Faults& faults,
                                          BoardKind kind, std::mt19937& random);

// Line noise between replies: never an LF, so the reply after it still frames.
std::string garbageBytes(std::mt19937& random);

std::string frameReply(std::string_view prefix, std::string_view text, bool withEnd);

} // namespace thermavo
