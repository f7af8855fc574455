#pragma once

#include "alarms/alarmsound.h"

#include <memory>

namespace thermavo::alarms {

// The desktop's sound theme through libcanberra on Linux, the system's exclamation sound on
// Windows; elsewhere a player that says the build has no sound service.
std::unique_ptr<SoundPlayer> makeSystemSoundPlayer();

} // namespace thermavo::alarms
