#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace thermavo {

// Temperatures a user sets or ramps while the board runs, in place of the drifting ones:
//   set T3 6.5          T3 reads 6.5 °C from now on
//   ramp T3 10 30       T3 goes in a straight line from what it reads now to 10 °C in 30 s,
//                       then stays there
//   free T3             T3 drifts again
// Times are seconds since the board was switched on, as the drift's.
class ChannelControl {
public:
    explicit ChannelControl(int channels) : m_channels(static_cast<std::size_t>(channels)) {}

    // Gives the error in words, or an empty text when the command was taken.
    std::string command(std::string_view line, double seconds, const std::vector<double>& current);
    // The drifting temperatures with the set and ramped channels in their place.
    std::vector<double> apply(std::vector<double> drifting, double seconds) const;

private:
    struct Override {
        double from = 0.0;
        double to = 0.0;
        double start = 0.0;
        double duration = 0.0;
    };
    std::vector<std::optional<Override>> m_channels;
};

} // namespace thermavo
