// The 8-channel decoder against a reference parser of its own: any text gives eight readings,
// channels 0 to 7 in order, each the board's quadratic of the counts the reference reads from
// the fields, or the invalid reading where the counts are unusable.
#include "fuzzcheck.h"
#include "measure/decode.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

namespace thermavo {
namespace {

struct Counts {
    std::uint32_t first = kFailureMarker;
    std::uint32_t second = kFailureMarker;
};

std::optional<unsigned> hexValue(char c) {
    static constexpr std::string_view kDigits = "0123456789abcdef";
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    const auto at = kDigits.find(lower);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    return static_cast<unsigned>(at);
}

// A field counts its longest leading run of hex digits; junk in front makes it 0.
std::uint32_t fieldValue(std::string_view field) {
    std::uint32_t value = 0;
    for (const char c : field) {
        const auto digit = hexValue(c);
        if (!digit) {
            break;
        }
        value = value * 16 + *digit;
    }
    return value;
}

// Positions are 1-based in the reply grammar: T(k+1) of a short reply has its fields at
// 10k+1..10k+4 and 10k+6..10k+9, of a long reply at 14k+1..14k+6 and 14k+8..14k+13.
Counts referenceCounts(std::string_view text, int k) {
    Counts counts;
    if (text.size() == 79) {
        counts.first = fieldValue(text.substr(10 * k, 4));
        counts.second = fieldValue(text.substr(10 * k + 5, 4));
        if (counts.first == 0xFFFF) {
            counts.first = kFailureMarker;
        }
        if (counts.second == 0xFFFF) {
            counts.second = kFailureMarker;
        }
    } else if (text.size() >= 112) {
        counts.first = fieldValue(text.substr(14 * k, 6));
        counts.second = fieldValue(text.substr(14 * k + 7, 6));
    }
    return counts;
}

bool unusable(const Counts& counts) {
    return counts.first == kFailureMarker || counts.second == kFailureMarker ||
           counts.second == 0 || (counts.first == 0xFFFF && counts.second == 0xFFFF);
}

} // namespace
} // namespace thermavo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace thermavo;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const DecodedReply reply = decodeEightChannel(text);
    require(reply.count == kEightChannelReadings, "eight readings for every reply");

    for (int k = 0; k < kEightChannelReadings; ++k) {
        const ChannelReading& reading = reply.readings[static_cast<std::size_t>(k)];
        require(reading.channel == k, "channels 0 to 7 in order");
        const Counts counts = referenceCounts(text, k);
        const float expected = readingFromCounts(counts.first, counts.second);
        require(sameBits(reading.value, expected), "reading is the quadratic of the fields");
        if (unusable(counts)) {
            require(reading.value == kInvalidReading, "unusable counts give the invalid reading");
            continue;
        }
        // The quadratic itself, in double, as a guard against readingFromCounts going wrong
        // for both sides at once (a swapped ratio, a lost term).
        const double r = static_cast<double>(counts.first) / counts.second;
        const double t = -2.42 * r * r + 215.63 * r - 68.83;
        require(std::isfinite(reading.value), "a usable reading is finite");
        require(std::fabs(reading.value - t) <= 1e-6 * std::fabs(t) + 1e-4,
                "a usable reading follows -2.42 r^2 + 215.63 r - 68.83");
    }

    // The board-kind dispatch hands non-empty replies to the same decoder.
    const DecodedReply dispatched = decodeReply(BoardKind::EightChannel, text);
    require(dispatched.count == (text.empty() ? 0 : kEightChannelReadings),
            "dispatch decodes every non-empty reply");
    for (int i = 0; i < dispatched.count; ++i) {
        const auto at = static_cast<std::size_t>(i);
        require(dispatched.readings[at].channel == reply.readings[at].channel &&
                    sameBits(dispatched.readings[at].value, reply.readings[at].value),
                "dispatch gives the decoder's readings");
    }
    return 0;
}
