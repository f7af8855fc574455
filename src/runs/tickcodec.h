#pragma once

#include "events/runevents.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace thermavo::runs {

// Values are kept in hundredths of a degree, the precision the readouts and the logs show:
// a channel's sample as a zigzag varint and its filtered value as the difference from the
// sample, so a tick of eight channels near room temperature takes about 33 bytes.
inline constexpr double kHundredths = 100.0;

std::int64_t toHundredths(float value);
inline float fromHundredths(std::int64_t value) {
    return static_cast<float>(static_cast<double>(value) / kHundredths);
}

void putVarint(std::string& out, std::uint64_t value);
void putSigned(std::string& out, std::int64_t value);
// Read from `at`, which moves past what was read; nothing when the bytes end too early.
std::optional<std::uint64_t> getVarint(std::string_view in, std::size_t& at);
std::optional<std::int64_t> getSigned(std::string_view in, std::size_t& at);

using TickChannels = std::array<ChannelTick, kTickChannels>;

// A channel without a sample, or with a value that is not a number, is stored as none.
std::string encodeTick(const TickChannels& channels);
// Nothing when the bytes are not a tick this code wrote.
std::optional<TickChannels> decodeTick(std::string_view bytes);

// A channel's filtered values over a block of time: how many, their sum, and the first, last,
// lowest and highest of them with their times (the earliest where several are equal). Values
// in hundredths, times in milliseconds since 1970 UTC.
struct ChannelSummary {
    std::uint32_t count = 0;
    std::int64_t sum = 0;
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::int64_t lowest = 0;
    std::int64_t highest = 0;
    std::int64_t firstMs = 0;
    std::int64_t lastMs = 0;
    std::int64_t lowestMs = 0;
    std::int64_t highestMs = 0;

    void add(std::int64_t ms, std::int64_t value);
    void merge(const ChannelSummary& later);
    bool operator==(const ChannelSummary&) const = default;
};
using BlockSummary = std::array<ChannelSummary, kTickChannels>;

// A block's summary and how many ticks it holds, with or without samples; files written before
// the tick count was kept give 0 for it.
struct DecodedSummary {
    BlockSummary channels{};
    std::uint32_t ticks = 0;
};

// Times relative to the block's start.
std::string encodeSummary(const BlockSummary& summary, std::uint32_t ticks,
                          std::int64_t blockStartMs);
std::optional<DecodedSummary> decodeSummary(std::string_view bytes, std::int64_t blockStartMs);

} // namespace thermavo::runs
