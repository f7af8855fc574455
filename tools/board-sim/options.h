#pragma once

#include "board.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace thermavo {

struct Options {
    int port = 0;
    BoardSettings board;
    std::optional<std::uint32_t> seed;
    std::string logPath;
    std::string sentLogPath;
    // A file or FIFO the simulator reads commands from (set, ramp, free) while it runs.
    std::string controlPath;
    bool help = false;
};

struct ParsedOptions {
    Options options;
    std::string error; // empty when the arguments were understood
};

// The arguments without the program name.
ParsedOptions parseOptions(std::span<const std::string_view> arguments);

std::string usageText();

} // namespace thermavo
