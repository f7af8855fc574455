#pragma once

#include <functional>
#include <vector>

namespace thermavo {

// A port is present when its device opens, or refuses because another program holds it. The
// device is closed at once: no settings are applied and nothing is sent.
bool isPortPresent(int number);

// Whether a lost port's device is back, cheap enough to ask every few seconds. On Linux the
// device is looked up without being opened, since opening raises the modem lines, which some
// boards take as a reset; a link to a vanished device counts as absent. Windows offers no such
// look-up for a COM port that Wine serves as well, so there the presence test answers.
bool portDeviceExists(int number);

// The present port numbers among 1 to 256, ascending.
std::vector<int> presentPorts(const std::function<bool(int)>& isPresent = isPortPresent);

} // namespace thermavo
