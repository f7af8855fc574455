#pragma once

#include <functional>
#include <vector>

namespace thermavo {

// A port is present when its device opens, or refuses because another program holds it. The
// device is closed at once: no settings are applied and nothing is sent.
bool isPortPresent(int number);

// The present port numbers among 1 to 256, ascending.
std::vector<int> presentPorts(const std::function<bool(int)>& isPresent = isPortPresent);

} // namespace thermavo
