#include "boardreply.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace thermavo {

namespace {

constexpr std::uint32_t kShortSecondCountsTried = 256;
constexpr double kRatioAtVertex = -kQuadraticLinear / (2.0 * kQuadraticSquare);
constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
constexpr int kMostGarbageBytes = 16;
constexpr double kMaskedShare = 1.0 / 3.0;

std::string hexField(std::uint32_t value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*X", digits, static_cast<unsigned>(value));
    return buffer;
}

std::string celsiusText(double celsius) {
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, celsius, std::chars_format::fixed, 2);
    return std::string(buffer, result.ptr);
}

} // namespace

int channelCount(BoardKind kind) {
    return kind == BoardKind::EightChannel ? kEightChannels : kFourChannels;
}

double boardTemperature(double ratio) {
    return kQuadraticSquare * ratio * ratio + kQuadraticLinear * ratio + kQuadraticConstant;
}

double ratioForTemperature(double celsius) {
    // kQuadraticSquare r^2 + kQuadraticLinear r + (kQuadraticConstant - T) = 0; the rearranged
    // root 2c / (b + sqrt(b^2 - 4ac)) avoids cancellation for small r.
    const double constant = celsius - kQuadraticConstant;
    if (!(constant > 0.0))
        return 0.0;
    const double discriminant =
        kQuadraticLinear * kQuadraticLinear + 4.0 * kQuadraticSquare * constant;
    if (discriminant <= 0.0)
        return kRatioAtVertex;
    return 2.0 * constant / (kQuadraticLinear + std::sqrt(discriminant));
}

CountPair countsForTemperature(double celsius, bool longFormat) {
    const double ratio = ratioForTemperature(celsius);
    if (longFormat) {
        const double first = std::round(ratio * kLongSecondCount);
        return {static_cast<std::uint32_t>(std::min(first, double(kLongFieldMissing - 1))),
                kLongSecondCount};
    }
    CountPair best{kShortFieldMissing - 1, kShortSecondCount};
    double bestError = INFINITY;
    for (std::uint32_t second = kShortSecondCount;
         second < kShortSecondCount + kShortSecondCountsTried; ++second) {
        const double first = std::round(ratio * second);
        if (first >= kShortFieldMissing)
            break;
        const double error = std::abs(boardTemperature(first / second) - celsius);
        if (error < bestError) {
            bestError = error;
            best = {static_cast<std::uint32_t>(first), second};
        }
    }
    return best;
}

std::string eightChannelText(std::span<const ChannelValue> channels, bool longFormat) {
    const int digits = longFormat ? 6 : 4;
    const std::uint32_t missing = longFormat ? kLongFieldMissing : kShortFieldMissing;
    std::string text;
    text.reserve(kLongReplyLength);
    for (int channel = 0; channel < kEightChannels; ++channel) {
        CountPair counts{missing, missing};
        if (channel < static_cast<int>(channels.size()) &&
            channels[channel].kind == ChannelValue::Kind::Reading)
            counts = countsForTemperature(channels[channel].celsius, longFormat);
        if (channel > 0 && !longFormat)
            text += ' ';
        text += hexField(counts.first, digits);
        text += ' ';
        text += hexField(counts.second, digits);
        if (longFormat)
            text += ' ';
    }
    return text;
}

std::string fourChannelText(std::span<const ChannelValue> channels) {
    std::string text;
    for (const ChannelValue& value : channels.first(std::min<std::size_t>(channels.size(), 4))) {
        if (value.kind == ChannelValue::Kind::Silent)
            continue;
        if (!text.empty())
            text += ' ';
        text += value.kind == ChannelValue::Kind::Masked ? "****" : celsiusText(value.celsius);
    }
    return text;
}

std::string replyText(BoardKind kind, bool longFormat, std::span<const ChannelValue> channels) {
    return kind == BoardKind::EightChannel ? eightChannelText(channels, longFormat)
                                           : fourChannelText(channels);
}

std::vector<ChannelValue> faultedChannels(std::span<const double> celsius, const Faults& faults,
                                          BoardKind kind, std::mt19937& random) {
    std::vector<ChannelValue> channels;
    channels.reserve(celsius.size());
    for (double value : celsius)
        channels.push_back({ChannelValue::Kind::Reading, value});

    if (faults.outOfRange && !channels.empty()) {
        std::vector<bool> chosen(channels.size());
        std::bernoulli_distribution coin(0.5);
        for (std::size_t channel = 0; channel < channels.size(); ++channel)
            chosen[channel] = coin(random);
        if (std::none_of(chosen.begin(), chosen.end(), [](bool c) { return c; }))
            chosen[std::uniform_int_distribution<std::size_t>(0, channels.size() - 1)(random)] =
                true;
        std::bernoulli_distribution masked(kMaskedShare);
        std::uniform_real_distribution<double> tooCold(kLowestValidCelsius - 15.0,
                                                       kLowestValidCelsius - 1.0);
        std::uniform_real_distribution<double> tooHot(kHighestValidCelsius + 1.0,
                                                      kHighestValidCelsius + 50.0);
        for (std::size_t channel = 0; channel < channels.size(); ++channel) {
            if (!chosen[channel])
                continue;
            if (kind == BoardKind::FourChannel && masked(random))
                channels[channel].kind = ChannelValue::Kind::Masked;
            else
                channels[channel].celsius = coin(random) ? tooCold(random) : tooHot(random);
        }
    }
    for (int channel : faults.silentChannels) {
        if (channel >= 0 && channel < static_cast<int>(channels.size()))
            channels[channel].kind = ChannelValue::Kind::Silent;
    }
    return channels;
}

std::string garbageBytes(std::mt19937& random) {
    std::uniform_int_distribution<int> length(1, kMostGarbageBytes);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(static_cast<std::size_t>(length(random)), '\0');
    for (char& c : bytes) {
        do
            c = static_cast<char>(byte(random));
        while (c == kLineFeed);
    }
    return bytes;
}

std::string frameReply(std::string_view prefix, std::string_view text, bool withEnd) {
    std::string bytes;
    bytes.reserve(prefix.size() + text.size() + 2);
    bytes += prefix;
    bytes += kLineFeed;
    bytes += text;
    if (withEnd)
        bytes += kCarriageReturn;
    return bytes;
}

} // namespace thermavo
