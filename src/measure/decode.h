#pragma once

#include "measure/board.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace thermavo {

// The reading handed on for an 8-channel channel whose fields are unusable.
constexpr float kInvalidReading = -1000.0f;

// Field values at or above 2^24 cannot occur; this one marks a field as unusable.
constexpr std::uint32_t kFailureMarker = 0xFFFFFF;

// Short 8-channel replies: 79 characters, 4 hex digits per field, 10 characters per channel.
constexpr std::size_t kShortReplyLength = 79;
constexpr std::size_t kShortFieldWidth = 4;
constexpr std::size_t kShortChannelStride = 10;
constexpr std::size_t kShortSecondFieldOffset = 5;
// A short field of all ones means the board could not measure the channel.
constexpr std::uint32_t kShortAllOnes = 0xFFFF;

// Long 8-channel replies: 112 characters or more, 6 hex digits per field, 14 per channel.
constexpr std::size_t kLongReplyMinLength = 112;
constexpr std::size_t kLongFieldWidth = 6;
constexpr std::size_t kLongChannelStride = 14;
constexpr std::size_t kLongSecondFieldOffset = 7;

constexpr int kEightChannelReadings = 8;
constexpr int kFourChannelReadings = 4;

struct ChannelReading {
    int channel = 0;
    float value = 0.0f;
};

// Readings in ascending channel order; only readings[0..count-1] are meaningful.
struct DecodedReply {
    std::array<ChannelReading, kEightChannelReadings> readings{};
    int count = 0;
};

// Decodes a reply by the board kind. An empty reply and BoardKind::None give no readings.
DecodedReply decodeReply(BoardKind kind, std::string_view text);

// Always eight readings, channels 0 to 7; unusable channels read kInvalidReading.
DecodedReply decodeEightChannel(std::string_view text);

// Up to four readings: only the channels whose number text converts.
DecodedReply decodeFourChannel(std::string_view text);

// The board's quadratic over first/second, or kInvalidReading for unusable counts.
float readingFromCounts(std::uint32_t first, std::uint32_t second);

// A 4-channel number text ("-", digits, ".", digits; "." alone is 0) rounded to single
// precision. Texts outside that grammar, and values beyond the single-precision range,
// give nothing.
std::optional<float> convertNumberText(std::string_view text);

} // namespace thermavo
