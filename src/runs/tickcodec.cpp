#include "runs/tickcodec.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace thermavo::runs {

namespace {

// Beyond any temperature a board reports; keeps the varints and sums far from overflowing.
constexpr double kLargestValue = 1.0e9;

std::uint64_t zigzag(std::int64_t value) {
    return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

std::int64_t unzigzag(std::uint64_t value) {
    return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

bool storable(const ChannelTick& channel) {
    return channel.valid && std::isfinite(channel.sample) && std::isfinite(channel.filtered);
}

} // namespace

std::int64_t toHundredths(float value) {
    const double scaled =
        std::clamp(static_cast<double>(value) * kHundredths, -kLargestValue, kLargestValue);
    return std::llround(scaled);
}

void putVarint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

void putSigned(std::string& out, std::int64_t value) {
    putVarint(out, zigzag(value));
}

std::optional<std::uint64_t> getVarint(std::string_view in, std::size_t& at) {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (at >= in.size())
            return std::nullopt;
        const auto byte = static_cast<std::uint8_t>(in[at++]);
        value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0)
            return value;
    }
    return std::nullopt;
}

std::optional<std::int64_t> getSigned(std::string_view in, std::size_t& at) {
    const std::optional<std::uint64_t> value = getVarint(in, at);
    if (!value)
        return std::nullopt;
    return unzigzag(*value);
}

std::string encodeTick(const TickChannels& channels) {
    std::string out;
    out.reserve(1 + channels.size() * 4);
    std::uint8_t mask = 0;
    for (std::size_t channel = 0; channel < channels.size(); ++channel) {
        if (storable(channels[channel]))
            mask |= static_cast<std::uint8_t>(1u << channel);
    }
    out.push_back(static_cast<char>(mask));
    for (const ChannelTick& channel : channels) {
        if (!storable(channel))
            continue;
        const std::int64_t sample = toHundredths(channel.sample);
        putSigned(out, sample);
        putSigned(out, toHundredths(channel.filtered) - sample);
    }
    return out;
}

std::optional<TickChannels> decodeTick(std::string_view bytes) {
    if (bytes.empty())
        return std::nullopt;
    const auto mask = static_cast<std::uint8_t>(bytes[0]);
    std::size_t at = 1;
    TickChannels channels{};
    for (std::size_t channel = 0; channel < channels.size(); ++channel) {
        if ((mask & (1u << channel)) == 0)
            continue;
        const std::optional<std::int64_t> sample = getSigned(bytes, at);
        const std::optional<std::int64_t> difference = getSigned(bytes, at);
        if (!sample || !difference)
            return std::nullopt;
        channels[channel] = {true, fromHundredths(*sample), fromHundredths(*sample + *difference)};
    }
    if (at != bytes.size())
        return std::nullopt;
    return channels;
}

void ChannelSummary::add(std::int64_t ms, std::int64_t value) {
    ChannelSummary one;
    one.count = 1;
    one.sum = value;
    one.first = one.last = one.lowest = one.highest = value;
    one.firstMs = one.lastMs = one.lowestMs = one.highestMs = ms;
    merge(one);
}

void ChannelSummary::merge(const ChannelSummary& later) {
    if (later.count == 0)
        return;
    if (count == 0) {
        *this = later;
        return;
    }
    count += later.count;
    sum += later.sum;
    last = later.last;
    lastMs = later.lastMs;
    if (later.lowest < lowest) {
        lowest = later.lowest;
        lowestMs = later.lowestMs;
    }
    if (later.highest > highest) {
        highest = later.highest;
        highestMs = later.highestMs;
    }
}

std::string encodeSummary(const BlockSummary& summary, std::uint32_t ticks,
                          std::int64_t blockStartMs) {
    std::string out;
    std::uint8_t mask = 0;
    for (std::size_t channel = 0; channel < summary.size(); ++channel) {
        if (summary[channel].count > 0)
            mask |= static_cast<std::uint8_t>(1u << channel);
    }
    out.push_back(static_cast<char>(mask));
    for (const ChannelSummary& channel : summary) {
        if (channel.count == 0)
            continue;
        putVarint(out, channel.count);
        putSigned(out, channel.sum);
        putSigned(out, channel.first);
        putSigned(out, channel.last - channel.first);
        putSigned(out, channel.lowest - channel.first);
        putSigned(out, channel.highest - channel.first);
        putSigned(out, channel.firstMs - blockStartMs);
        putSigned(out, channel.lastMs - blockStartMs);
        putSigned(out, channel.lowestMs - blockStartMs);
        putSigned(out, channel.highestMs - blockStartMs);
    }
    putVarint(out, ticks);
    return out;
}

std::optional<DecodedSummary> decodeSummary(std::string_view bytes, std::int64_t blockStartMs) {
    if (bytes.empty())
        return std::nullopt;
    const auto mask = static_cast<std::uint8_t>(bytes[0]);
    std::size_t at = 1;
    BlockSummary summary{};
    for (std::size_t channel = 0; channel < summary.size(); ++channel) {
        if ((mask & (1u << channel)) == 0)
            continue;
        const std::optional<std::uint64_t> count = getVarint(bytes, at);
        std::array<std::int64_t, 9> fields{};
        for (std::int64_t& field : fields) {
            const std::optional<std::int64_t> value = getSigned(bytes, at);
            if (!value)
                return std::nullopt;
            field = *value;
        }
        if (!count || *count == 0 || *count > std::numeric_limits<std::uint32_t>::max())
            return std::nullopt;
        ChannelSummary& out = summary[channel];
        out.count = static_cast<std::uint32_t>(*count);
        out.sum = fields[0];
        out.first = fields[1];
        out.last = fields[1] + fields[2];
        out.lowest = fields[1] + fields[3];
        out.highest = fields[1] + fields[4];
        out.firstMs = blockStartMs + fields[5];
        out.lastMs = blockStartMs + fields[6];
        out.lowestMs = blockStartMs + fields[7];
        out.highestMs = blockStartMs + fields[8];
    }
    DecodedSummary decoded{summary, 0};
    if (at < bytes.size()) {
        const std::optional<std::uint64_t> ticks = getVarint(bytes, at);
        if (!ticks || *ticks > std::numeric_limits<std::uint32_t>::max())
            return std::nullopt;
        decoded.ticks = static_cast<std::uint32_t>(*ticks);
    }
    if (at != bytes.size())
        return std::nullopt;
    return decoded;
}

} // namespace thermavo::runs
