#include "channelcontrol.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sstream>

namespace thermavo {

namespace {

std::optional<double> number(const std::string& text) {
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace

std::string ChannelControl::command(std::string_view line, double seconds,
                                    const std::vector<double>& current) {
    std::istringstream words{std::string(line)};
    std::string verb;
    std::string channelText;
    std::string first;
    std::string second;
    std::string extra;
    words >> verb >> channelText >> first >> second >> extra;
    if (verb.empty())
        return {};
    int channel = 0;
    const bool named = channelText.size() >= 2 && (channelText[0] == 'T' || channelText[0] == 't');
    const auto [end, error] =
        named ? std::from_chars(channelText.data() + 1, channelText.data() + channelText.size(),
                                channel)
              : std::from_chars_result{nullptr, std::errc::invalid_argument};
    if (!named || error != std::errc() || end != channelText.data() + channelText.size() ||
        channel < 1 || channel > static_cast<int>(m_channels.size()))
        return "no such channel \"" + channelText + "\" (T1 to T" +
               std::to_string(m_channels.size()) + ")";
    auto& slot = m_channels[static_cast<std::size_t>(channel - 1)];
    if (verb == "free" && first.empty()) {
        slot.reset();
        return {};
    }
    const std::optional<double> target = number(first);
    if (verb == "set" && target && second.empty()) {
        slot = Override{*target, *target, seconds, 0.0};
        return {};
    }
    const std::optional<double> duration = number(second);
    if (verb == "ramp" && target && duration && *duration >= 0.0 && extra.empty()) {
        // Before the first reply there is nothing to start from: the channel starts at the target.
        const std::vector<double> now = apply(current, seconds);
        const auto index = static_cast<std::size_t>(channel - 1);
        slot = Override{index < now.size() ? now[index] : *target, *target, seconds, *duration};
        return {};
    }
    return "not understood: \"" + std::string(line) + "\" (set T3 6.5, ramp T3 10 30, free T3)";
}

std::vector<double> ChannelControl::apply(std::vector<double> drifting, double seconds) const {
    for (std::size_t channel = 0; channel < drifting.size() && channel < m_channels.size();
         ++channel) {
        const auto& slot = m_channels[channel];
        if (!slot)
            continue;
        const double part = slot->duration <= 0.0
                                ? 1.0
                                : std::clamp((seconds - slot->start) / slot->duration, 0.0, 1.0);
        drifting[channel] = slot->from + (slot->to - slot->from) * part;
    }
    return drifting;
}

} // namespace thermavo
