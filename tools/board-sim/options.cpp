#include "options.h"

#include "link/portmap.h"

#include <charconv>
#include <cmath>

namespace thermavo {

namespace {

constexpr double kMostRepliesPerSecond = 1000.0;

template <typename Number> std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string parseSilentChannels(std::string_view list, std::vector<int>& channels) {
    while (true) {
        const std::size_t comma = list.find(',');
        const auto number = parseNumber<int>(list.substr(0, comma));
        if (!number || *number < 1 || *number > kEightChannels)
            return "silent-channels takes channel numbers 1 to 8 separated by commas, e.g. "
                   "silent-channels=3,5";
        channels.push_back(*number - 1);
        if (comma == std::string_view::npos)
            return {};
        list.remove_prefix(comma + 1);
    }
}

std::string parseFault(std::string_view fault, Faults& faults) {
    constexpr std::string_view kSilentPrefix = "silent-channels=";
    if (fault == "no-end")
        faults.noEnd = true;
    else if (fault == "garbage")
        faults.garbage = true;
    else if (fault == "out-of-range")
        faults.outOfRange = true;
    else if (fault == "mute")
        faults.mute = true;
    else if (fault.starts_with(kSilentPrefix))
        return parseSilentChannels(fault.substr(kSilentPrefix.size()), faults.silentChannels);
    else
        return "unknown fault \"" + std::string(fault) +
               "\"; use no-end, garbage, out-of-range, silent-channels=K,L or mute";
    return {};
}

} // namespace

ParsedOptions parseOptions(std::span<const std::string_view> arguments) {
    ParsedOptions parsed;
    Options& options = parsed.options;
    bool portGiven = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        std::string_view name = arguments[index];
        std::optional<std::string_view> inlineValue;
        if (const std::size_t equals = name.find('=');
            name.starts_with("--") && equals != std::string_view::npos) {
            inlineValue = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        auto value = [&]() -> std::optional<std::string_view> {
            if (inlineValue)
                return inlineValue;
            if (index + 1 < arguments.size())
                return arguments[++index];
            return std::nullopt;
        };
        auto fail = [&](std::string message) {
            parsed.error = std::move(message);
            return parsed;
        };
        const bool takesNoValue =
            name == "--help" || name == "-h" || name == "--long" || name == "--line-rate";
        if (takesNoValue && inlineValue)
            return fail(std::string(name) + " takes no value");

        if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--long") {
            options.board.longFormat = true;
        } else if (name == "--line-rate") {
            options.board.lineRate = true;
        } else if (name == "--port") {
            const auto text = value();
            const auto number = text ? parseNumber<int>(*text) : std::nullopt;
            if (!number || *number < kFirstPortNumber || *number > kLastPortNumber)
                return fail("--port takes a port number from " + std::to_string(kFirstPortNumber) +
                            " to " + std::to_string(kLastPortNumber));
            options.port = *number;
            portGiven = true;
        } else if (name == "--board") {
            const auto text = value();
            if (text == "8")
                options.board.kind = BoardKind::EightChannel;
            else if (text == "4")
                options.board.kind = BoardKind::FourChannel;
            else
                return fail("--board takes 8 or 4");
        } else if (name == "--rate") {
            const auto text = value();
            const auto rate = text ? parseNumber<double>(*text) : std::nullopt;
            if (!rate || !std::isfinite(*rate) || *rate <= 0.0 || *rate > kMostRepliesPerSecond)
                return fail("--rate takes replies per second, more than 0 and at most 1000");
            options.board.repliesPerSecond = *rate;
        } else if (name == "--seed") {
            const auto text = value();
            const auto seed = text ? parseNumber<std::uint32_t>(*text) : std::nullopt;
            if (!seed)
                return fail("--seed takes a whole number from 0 to 4294967295");
            options.seed = *seed;
        } else if (name == "--fault") {
            const auto text = value();
            if (!text)
                return fail("--fault needs a fault name");
            if (std::string error = parseFault(*text, options.board.faults); !error.empty())
                return fail(std::move(error));
        } else if (name == "--fault-every") {
            const auto text = value();
            const auto every = text ? parseNumber<int>(*text) : std::nullopt;
            if (!every || *every < 1)
                return fail("--fault-every takes a whole number of at least 1");
            options.board.faults.every = *every;
        } else if (name == "--log" || name == "--sent-log") {
            const auto text = value();
            if (!text || text->empty())
                return fail(std::string(name) + " needs a file name");
            (name == "--log" ? options.logPath : options.sentLogPath) = std::string(*text);
        } else if (name == "--control") {
            const auto text = value();
            if (!text || text->empty())
                return fail("--control needs a file name");
            options.controlPath = std::string(*text);
        } else {
            return fail("unknown argument \"" + std::string(arguments[index]) + "\"; see --help");
        }
    }
    if (options.help)
        return parsed;
    if (!portGiven)
        parsed.error = "--port is required: the number N of the link COM<N> to register";
    else if (options.board.longFormat && options.board.kind != BoardKind::EightChannel)
        parsed.error = "--long only applies to the 8-channel board";
    for (int channel : options.board.faults.silentChannels) {
        if (parsed.error.empty() && channel >= channelCount(options.board.kind))
            parsed.error = "silent channel " + std::to_string(channel + 1) +
                           " does not exist on a " +
                           std::to_string(channelCount(options.board.kind)) + "-channel board";
    }
    return parsed;
}

std::string usageText() {
    return R"(Usage: thermavo-sim --port N [options]

A simulated Kestrin temperature board on a pseudo-terminal, registered as the
serial port COM<N> for Thermavo (a link COM<N> in $XDG_CONFIG_HOME/thermavo/ports,
or ~/.config/thermavo/ports). Prints the port and its device on start, removes
the link on exit (Ctrl+C, SIGTERM).

The board is silent until it receives the start byte 0x6D ("m"); it then sends
replies, each framed as LF, text, CR, until it receives the stop byte 0x20
(blank). Another 0x6D starts it again. Other bytes are ignored.

Options:
  --port N             register the board as COM<N> (1 to 256); required
  --board 8|4          8: the 8-channel board (57600 baud), replies of hexadecimal
                       count pairs, 79 characters (default);
                       4: the 4-channel board (9600 baud), four decimal
                       temperatures such as "21.53 22.10 19.87 23.01"
  --long               8-channel board only: 112-character replies with
                       6-digit counts
  --rate R             replies per second, fractions allowed (default 2)
  --line-rate          send replies back to back at the line's byte rate
                       (5760 bytes/s for the 8-channel board, 960 for the
                       4-channel board) instead of --rate
  --seed S             seed of the drifting temperatures and the faults, for
                       repeatable runs (default: random)
  --fault F            misbehave; may be given several times:
                         no-end            replies never get their CR
                         garbage           random bytes (never LF) before replies
                         out-of-range      some channels outside -45..150 °C; the
                                           4-channel board also sends "****"
                         silent-channels=K,L  channels K, L (1-based) fall silent:
                                           FFFF fields on the 8-channel board; the
                                           4-channel board leaves their numbers out,
                                           so later numbers move up a channel
                         mute              never answer the start byte
  --fault-every N      apply the faults to every Nth reply only (mute: every Nth
                       start byte); default 1, every one
  --log FILE           write each received byte as a line
                       "<monotonic ms> <UTC ISO time> 0x6d", flushed per line
  --sent-log FILE      write a line "<monotonic ms> <reply number> <bytes written>"
                       per reply sent
  --control FILE       read commands, one a line, from FILE (best a FIFO made
                       with mkfifo) while running:
                         set T3 6.5        T3 reads 6.5 °C from now on
                         ramp T3 10 30     T3 goes from its value now to 10 °C
                                           in 30 s, then stays there
                         free T3           T3 drifts again
                       the faults still apply to what they set
  --help               show this text
)";
}

} // namespace thermavo
