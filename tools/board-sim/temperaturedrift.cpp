#include "temperaturedrift.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace thermavo {

namespace {

constexpr double kLowestBaseCelsius = 20.0;
constexpr double kBaseStepCelsius = 0.7; // keeps the channels apart
// Jitter, swing and walk together stay below half a step: channels never cross.
constexpr double kBaseJitterCelsius = 0.05;
constexpr double kSmallestAmplitudeCelsius = 0.1;
constexpr double kLargestAmplitudeCelsius = 0.2;
constexpr double kShortestPeriodSeconds = 240.0;
constexpr double kPeriodStepSeconds = 37.0;
constexpr double kWalkSigmaPerRootSecond = 0.02;
constexpr double kWalkRelaxSeconds = 120.0;
constexpr double kWalkLimitCelsius = 0.08;

} // namespace

TemperatureDrift::TemperatureDrift(int channels, std::uint32_t seed) : m_random(seed) {
    std::uniform_real_distribution<double> jitter(-kBaseJitterCelsius, kBaseJitterCelsius);
    std::uniform_real_distribution<double> amplitude(kSmallestAmplitudeCelsius,
                                                     kLargestAmplitudeCelsius);
    std::uniform_real_distribution<double> phase(0.0, 2.0 * std::numbers::pi);
    for (int channel = 0; channel < channels; ++channel) {
        m_channels.push_back({kLowestBaseCelsius + kBaseStepCelsius * channel + jitter(m_random),
                              amplitude(m_random),
                              kShortestPeriodSeconds + kPeriodStepSeconds * channel,
                              phase(m_random), 0.0});
    }
}

std::vector<double> TemperatureDrift::at(double seconds) {
    const double step = std::max(0.0, seconds - m_lastSeconds);
    m_lastSeconds = std::max(m_lastSeconds, seconds);
    std::normal_distribution<double> walk(0.0, kWalkSigmaPerRootSecond * std::sqrt(step));
    std::vector<double> celsius;
    celsius.reserve(m_channels.size());
    for (Channel& channel : m_channels) {
        channel.walk += walk(m_random) - channel.walk * std::min(1.0, step / kWalkRelaxSeconds);
        channel.walk = std::clamp(channel.walk, -kWalkLimitCelsius, kWalkLimitCelsius);
        celsius.push_back(
            channel.base +
            channel.amplitude *
                std::sin(2.0 * std::numbers::pi * seconds / channel.periodSeconds + channel.phase) +
            channel.walk);
    }
    return celsius;
}

} // namespace thermavo
