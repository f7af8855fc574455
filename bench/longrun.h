#pragma once

#include "events/runevents.h"

#include <QFile>
#include <QList>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

// What the benchmarks of long runs share: the run's ticks, one a second on 8 channels, and the
// process's resident memory.
namespace thermavo::longrun {

inline constexpr std::int64_t kStartMs = 1733126400000; // 2024-12-02 08:00 UTC

// The resident memory of this process, from /proc/self/statm; -1 where it cannot be read.
inline long residentBytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLong() * sysconf(_SC_PAGESIZE);
}

// The number in the environment variable, or `otherwise` when it is not set.
inline std::int64_t envTicks(const char* name, std::int64_t otherwise) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::atoll(text) : otherwise;
}

// The run's tick `index`: a daily swing, a slow drift and a little noise on every channel, the
// sample noisier than the filtered value.
inline SampleTick tickAt(std::int64_t index) {
    SampleTick tick;
    tick.msSinceEpoch = kStartMs + index * 1000;
    tick.utcOffsetSeconds = 3600;
    const double t = static_cast<double>(index);
    for (std::size_t channel = 0; channel < kTickChannels; ++channel) {
        const double c = static_cast<double>(channel);
        const double filtered = 20.0 + c + 3.0 * std::sin(t / 86400.0 * 6.2832 + c) +
                                0.2 * std::sin(t * 0.37 + c * 1.7);
        tick.channels[channel] = {true, static_cast<float>(filtered + 0.05 * std::sin(t * 1.3)),
                                  static_cast<float>(filtered)};
    }
    return tick;
}

} // namespace thermavo::longrun
