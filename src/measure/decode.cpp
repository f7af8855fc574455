#include "measure/decode.h"
#include "measure/extendedprecision.h"

#include <charconv>
#include <system_error>

namespace thermavo {

namespace {

constexpr int kNotHex = -1;

constexpr std::array<std::int8_t, 256> makeHexTable() {
    std::array<std::int8_t, 256> table{};
    table.fill(kNotHex);
    for (int c = '0'; c <= '9'; ++c)
        table[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
        table[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c)
        table[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(c - 'a' + 10);
    return table;
}

constexpr std::array<std::int8_t, 256> kHexDigit = makeHexTable();

constexpr std::array<bool, 256> makeNumberCharTable() {
    std::array<bool, 256> table{};
    for (int c = '0'; c <= '9'; ++c)
        table[static_cast<std::size_t>(c)] = true;
    table[static_cast<std::size_t>('*')] = true;
    table[static_cast<std::size_t>('-')] = true;
    table[static_cast<std::size_t>('.')] = true;
    return table;
}

constexpr std::array<bool, 256> kNumberChar = makeNumberCharTable();

bool isNumberChar(char c) {
    return kNumberChar[static_cast<unsigned char>(c)];
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The value of the field's leading run of hex digits; a field starting with junk is 0.
std::uint32_t parseHexField(const char* field, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const int digit = kHexDigit[static_cast<unsigned char>(field[i])];
        if (digit == kNotHex)
            break;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return value;
}

} // namespace

float readingFromCounts(std::uint32_t first, std::uint32_t second) {
    if (first == kFailureMarker || second == kFailureMarker || second == 0 ||
        (first == kShortAllOnes && second == kShortAllOnes))
        return kInvalidReading;
    // Extended precision in exactly this order: the logged values depend on it bit for bit.
    const long double r = static_cast<long double>(first) / static_cast<long double>(second);
    const long double t1 = -2.42L * r;
    const long double t2 = t1 * r;
    const long double t3 = 215.63L * r;
    const long double t4 = t2 + t3;
    const long double t = t4 - 68.83L;
    return static_cast<float>(t);
}

DecodedReply decodeEightChannel(std::string_view text) {
    std::array<std::uint32_t, kEightChannelReadings> first{};
    std::array<std::uint32_t, kEightChannelReadings> second{};
    first.fill(kFailureMarker);
    second.fill(kFailureMarker);

    const char* data = text.data();
    if (text.size() == kShortReplyLength) {
        for (std::size_t k = 0; k < first.size(); ++k) {
            const char* channel = data + k * kShortChannelStride;
            first[k] = parseHexField(channel, kShortFieldWidth);
            second[k] = parseHexField(channel + kShortSecondFieldOffset, kShortFieldWidth);
            if (first[k] == kShortAllOnes)
                first[k] = kFailureMarker;
            if (second[k] == kShortAllOnes)
                second[k] = kFailureMarker;
        }
    } else if (text.size() >= kLongReplyMinLength) {
        for (std::size_t k = 0; k < first.size(); ++k) {
            const char* channel = data + k * kLongChannelStride;
            first[k] = parseHexField(channel, kLongFieldWidth);
            second[k] = parseHexField(channel + kLongSecondFieldOffset, kLongFieldWidth);
        }
    }

    DecodedReply reply;
    for (std::size_t k = 0; k < first.size(); ++k)
        reply.readings[k] = {static_cast<int>(k), readingFromCounts(first[k], second[k])};
    reply.count = kEightChannelReadings;
    return reply;
}

std::optional<float> convertNumberText(std::string_view text) {
    const std::size_t length = text.size();
    std::size_t i = 0;
    const bool negative = i < length && text[i] == '-';
    if (negative)
        ++i;
    const std::size_t integerStart = i;
    while (i < length && isDigit(text[i]))
        ++i;
    const std::size_t integerEnd = i;
    bool hasPoint = false;
    if (i < length && text[i] == '.') {
        hasPoint = true;
        ++i;
        while (i < length && isDigit(text[i]))
            ++i;
    }
    if (i != length)
        return std::nullopt;

    const float zero = negative ? -0.0f : 0.0f;
    const std::size_t digits = length - (negative ? 1 : 0) - (hasPoint ? 1 : 0);
    if (digits == 0)
        return hasPoint ? std::optional<float>(zero) : std::nullopt;

    float value = 0.0f;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + length, value, std::chars_format::fixed);
    if (error == std::errc::result_out_of_range) {
        // Out of range is either too large (not stored) or so small it rounds to zero.
        for (std::size_t j = integerStart; j < integerEnd; ++j) {
            if (text[j] != '0')
                return std::nullopt;
        }
        return zero;
    }
    if (error != std::errc{} || end != text.data() + length)
        return std::nullopt;
    return value;
}

DecodedReply decodeFourChannel(std::string_view text) {
    DecodedReply reply;
    const std::size_t length = text.size();
    std::size_t cursor = 0;
    for (int k = 0; k < kFourChannelReadings; ++k) {
        // Collect before skipping: a reply that opens with a separator leaves channel 0 empty.
        const std::size_t start = cursor;
        while (cursor < length && isNumberChar(text[cursor]))
            ++cursor;
        const std::string_view number = text.substr(start, cursor - start);
        while (cursor < length && !isNumberChar(text[cursor]))
            ++cursor;
        if (const std::optional<float> value = convertNumberText(number))
            reply.readings[static_cast<std::size_t>(reply.count++)] = {k, *value};
    }
    return reply;
}

DecodedReply decodeReply(BoardKind kind, std::string_view text) {
    if (text.empty())
        return {};
    switch (kind) {
    case BoardKind::EightChannel:
        return decodeEightChannel(text);
    case BoardKind::FourChannel:
        return decodeFourChannel(text);
    case BoardKind::None:
        break;
    }
    return {};
}

} // namespace thermavo
