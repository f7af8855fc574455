#include "board.h"
#include "link/portmap.h"
#include "options.h"
#include "portlink.h"
#include "pseudoterminal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <random>
#include <span>
#include <stdexcept>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace thermavo {
namespace {

// How long to sleep between looks at a port nobody has open: a hung-up master polls as ready.
constexpr std::int64_t kHungUpNapNs = 20'000'000;
constexpr std::size_t kReadChunk = 256;

volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void onStopSignal(int signal) {
    g_stopSignal = signal;
}

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

timespec toTimespec(std::int64_t ns) {
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

std::string utcIsoNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + length, sizeof text - length, ".%03ldZ", now.tv_nsec / 1'000'000);
    return text;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using LogFile = std::unique_ptr<std::FILE, FileCloser>;

LogFile openLog(const std::string& path) {
    if (path.empty())
        return nullptr;
    LogFile file(std::fopen(path.c_str(), "w"));
    if (!file)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    return file;
}

// Opened for reading and writing, so that a FIFO never reads as ended when its writers close.
int openControl(const std::string& path) {
    if (path.empty())
        return -1;
    const int file = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (file < 0)
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    return file;
}

class Session {
public:
    Session(const Options& options, const PseudoTerminal& terminal)
        : m_board(options.board, options.seed.value_or(std::random_device{}()), monotonicNs()),
          m_master(terminal.masterDescriptor()), m_log(openLog(options.logPath)),
          m_sentLog(openLog(options.sentLogPath)), m_control(openControl(options.controlPath)) {}
    ~Session() {
        if (m_control >= 0)
            close(m_control);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    int run(const sigset_t& waitMask);

private:
    bool slaveOpen() const;
    void sendReply(std::int64_t nowNs);
    // False when the other side has closed the port.
    bool readCommands();
    void logByte(std::uint8_t byte, std::int64_t nowNs);
    void readControl();

    Board m_board;
    int m_master = -1;
    LogFile m_log;
    LogFile m_sentLog;
    bool m_warnedOverflow = false;
    int m_control = -1;
    std::string m_controlText;
};

bool Session::slaveOpen() const {
    pollfd master{m_master, POLLIN, 0};
    return poll(&master, 1, 0) >= 0 && (master.revents & POLLHUP) == 0;
}

void Session::sendReply(std::int64_t nowNs) {
    const std::string reply = m_board.takeReply(nowNs);
    // With nobody listening the bytes would wait in the pseudo-terminal for the next opener;
    // on a real line they are simply lost.
    if (!slaveOpen())
        return;
    const ssize_t written = write(m_master, reply.data(), reply.size());
    if (written < static_cast<ssize_t>(reply.size()) && !m_warnedOverflow) {
        std::fprintf(stderr, "thermavo-sim: the reader falls behind; reply bytes are lost\n");
        m_warnedOverflow = true;
    }
    if (m_sentLog) {
        std::fprintf(m_sentLog.get(), "%lld %llu %zd\n", static_cast<long long>(nowNs / 1'000'000),
                     static_cast<unsigned long long>(m_board.repliesMade()),
                     std::max<ssize_t>(written, 0));
        std::fflush(m_sentLog.get());
    }
}

void Session::logByte(std::uint8_t byte, std::int64_t nowNs) {
    if (!m_log)
        return;
    std::fprintf(m_log.get(), "%lld %s 0x%02x\n", static_cast<long long>(nowNs / 1'000'000),
                 utcIsoNow().c_str(), byte);
    std::fflush(m_log.get());
}

bool Session::readCommands() {
    std::array<std::uint8_t, kReadChunk> buffer{};
    while (true) {
        const ssize_t count = read(m_master, buffer.data(), buffer.size());
        if (count <= 0)
            return count < 0 && (errno == EAGAIN || errno == EINTR);
        const std::int64_t now = monotonicNs();
        for (std::uint8_t byte : std::span(buffer.data(), static_cast<std::size_t>(count))) {
            logByte(byte, now);
            if (m_board.receive(byte, now) == Board::Response::Ignored)
                std::fprintf(stderr, "thermavo-sim: ignored byte 0x%02x\n", byte);
        }
    }
}

void Session::readControl() {
    std::array<char, kReadChunk> buffer{};
    while (true) {
        const ssize_t count = read(m_control, buffer.data(), buffer.size());
        if (count <= 0)
            break;
        m_controlText.append(buffer.data(), static_cast<std::size_t>(count));
    }
    // A line longer than any command is thrown away rather than kept growing.
    if (m_controlText.size() > 4 * kReadChunk && m_controlText.find('\n') == std::string::npos)
        m_controlText.clear();
    std::size_t end = 0;
    while ((end = m_controlText.find('\n')) != std::string::npos) {
        const std::string line = m_controlText.substr(0, end);
        m_controlText.erase(0, end + 1);
        const std::string error = m_board.command(line, monotonicNs());
        if (!error.empty())
            std::fprintf(stderr, "thermavo-sim: %s\n", error.c_str());
    }
}

int Session::run(const sigset_t& waitMask) {
    while (g_stopSignal == 0) {
        const std::int64_t now = monotonicNs();
        if (m_board.running() && now >= m_board.nextReplyNs()) {
            sendReply(now);
            continue;
        }
        const timespec untilReply = toTimespec(m_board.nextReplyNs() - now);
        std::array<pollfd, 2> watched{pollfd{m_master, POLLIN, 0}, pollfd{m_control, POLLIN, 0}};
        const pollfd& master = watched[0];
        const int ready = ppoll(watched.data(), m_control >= 0 ? 2 : 1,
                                m_board.running() ? &untilReply : nullptr, &waitMask);
        if (ready < 0 && errno != EINTR) {
            std::perror("thermavo-sim: poll");
            return 1;
        }
        if (ready <= 0)
            continue;
        if ((watched[1].revents & POLLIN) != 0)
            readControl();
        const bool connected = (master.revents & POLLIN) != 0 && readCommands();
        if (!connected && (master.revents & (POLLHUP | POLLERR)) != 0) {
            std::int64_t nap = kHungUpNapNs;
            if (m_board.running())
                nap = std::clamp<std::int64_t>(m_board.nextReplyNs() - monotonicNs(), 0, nap);
            const timespec napTime = toTimespec(nap);
            ppoll(nullptr, 0, &napTime, &waitMask);
        }
    }
    return 0;
}

const char* boardDescription(const BoardSettings& board) {
    if (board.kind == BoardKind::FourChannel)
        return "4-channel board";
    return board.longFormat ? "8-channel board, long replies" : "8-channel board";
}

int runSimulator(const Options& options) {
    // Stop signals stay blocked except while waiting, so none slips in between a check and a wait.
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
        sigaddset(&stopSignals, signal);
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(&waitMask, signal);

    const PseudoTerminal terminal;
    Session session(options, terminal);
    const PortLink link(portFolder(), options.port, terminal.devicePath());
    std::printf("Simulated %s on COM%d: %s (link %s)\n", boardDescription(options.board),
                options.port, terminal.devicePath().c_str(), link.path().c_str());
    std::fflush(stdout);
    return session.run(waitMask);
}

} // namespace
} // namespace thermavo

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const thermavo::ParsedOptions parsed = thermavo::parseOptions(arguments);
    if (parsed.options.help) {
        std::fputs(thermavo::usageText().c_str(), stdout);
        return 0;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "thermavo-sim: %s\n", parsed.error.c_str());
        return 2;
    }
    try {
        return thermavo::runSimulator(parsed.options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "thermavo-sim: %s\n", error.what());
        return 1;
    }
}
