// The 4-channel decoder against a reference of the collect/skip rule and the decimal rule:
// channels strictly ascending within 0..3, at most four readings, each finite and equal, bit for
// bit, to the number text the reference cuts out, read by the C library.
#include "fuzzcheck.h"
#include "measure/decode.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace thermavo {
namespace {

constexpr std::string_view kNumberChars = "*-.0123456789";

// The decimal rule: an optional leading "-", digits, optionally "." and digits, either run of
// digits possibly empty, but not the empty text nor "-" alone. "." is 0 and "-." minus zero.
// Values beyond the single-precision range give nothing.
std::optional<float> referenceValue(std::string_view text) {
    std::string_view rest = text;
    if (rest.starts_with('-')) {
        rest.remove_prefix(1);
    }
    if (rest.empty()) {
        return std::nullopt;
    }
    const auto point = rest.find('.');
    const std::string_view whole = rest.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : rest.substr(point + 1);
    constexpr std::string_view kDigits = "0123456789";
    if (whole.find_first_not_of(kDigits) != std::string_view::npos ||
        fraction.find_first_not_of(kDigits) != std::string_view::npos) {
        return std::nullopt;
    }
    if (whole.empty() && fraction.empty()) {
        return text.starts_with('-') ? -0.0f : 0.0f;
    }
    // strtof rounds correctly; the text holds no exponent, blank or hex prefix it could misread.
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(copy.c_str(), &end);
    require(end == copy.c_str() + copy.size(), "reference reads the whole number text");
    if (errno == ERANGE && std::isinf(value)) {
        return std::nullopt;
    }
    return value;
}

} // namespace
} // namespace thermavo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace thermavo;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    std::array<std::optional<float>, 4> expected{};
    std::size_t cursor = 0;
    for (auto& channel : expected) {
        // Collect the run of number characters at the cursor, then skip the separators after it.
        auto end = text.find_first_not_of(kNumberChars, cursor);
        end = end == std::string_view::npos ? text.size() : end;
        const std::string_view number = text.substr(cursor, end - cursor);
        const auto next = text.find_first_of(kNumberChars, end);
        cursor = next == std::string_view::npos ? text.size() : next;
        channel = referenceValue(number);
    }

    const DecodedReply reply = decodeFourChannel(text);
    require(reply.count >= 0 && reply.count <= kFourChannelReadings, "at most four readings");
    int previous = -1;
    for (int i = 0; i < reply.count; ++i) {
        const ChannelReading& reading = reply.readings[static_cast<std::size_t>(i)];
        require(reading.channel > previous && reading.channel < kFourChannelReadings,
                "channels strictly ascending within 0..3");
        previous = reading.channel;
        require(std::isfinite(reading.value), "readings are finite");
    }
    int next = 0;
    for (int k = 0; k < kFourChannelReadings; ++k) {
        const auto& want = expected[static_cast<std::size_t>(k)];
        const bool present =
            next < reply.count && reply.readings[static_cast<std::size_t>(next)].channel == k;
        require(present == want.has_value(), "a channel reads exactly when its text converts");
        if (present) {
            require(sameBits(reply.readings[static_cast<std::size_t>(next)].value, *want),
                    "a reading is its number text rounded to single precision");
            ++next;
        }
    }

    const DecodedReply dispatched = decodeReply(BoardKind::FourChannel, text);
    require(dispatched.count == reply.count, "dispatch gives the decoder's readings");
    return 0;
}
