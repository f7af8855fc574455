#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace thermavo {

// Slowly drifting, per-channel distinct temperatures around 20 to 25 °C: a slow sine plus a
// small mean-reverting random walk. The same seed and the same times give the same values.
class TemperatureDrift {
public:
    TemperatureDrift(int channels, std::uint32_t seed);

    // Temperatures at the given time since the board was switched on; times must not go back.
    std::vector<double> at(double seconds);

private:
    struct Channel {
        double base = 0.0;
        double amplitude = 0.0;
        double periodSeconds = 0.0;
        double phase = 0.0;
        double walk = 0.0;
    };

    std::vector<Channel> m_channels;
    std::mt19937 m_random;
    double m_lastSeconds = 0.0;
};

} // namespace thermavo
