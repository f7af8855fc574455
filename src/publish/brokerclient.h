#pragma once

#include "publish/publishrules.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace thermavo {

struct BrokerSettings {
    std::string host = "localhost";
    int port = 1883;
    std::string clientId;
    std::string prefix;
    std::string user;
    std::string password;
    bool tls = false;
    std::string caFile;
    bool discovery = true;
};

struct BrokerTiming {
    std::int64_t firstPauseMs = 1000;
    std::int64_t longestPauseMs = 60'000;
    // A broker that takes the connection but sends no CONNACK within this is given up.
    std::int64_t answerTimeoutMs = 10'000;
    int keepAliveSeconds = 30;
    std::size_t backlogBound = TickBacklog::kDefaultBound;
};

// Publishes to one broker from a thread of its own, through libmosquitto: name lookups,
// connecting, waiting and reconnecting happen there, so the caller's thread only hands over
// ticks and messages and never waits for the network. It reports its state through the callback,
// on its own thread.
class BrokerClient {
public:
    using StatusCallback = std::function<void(const BrokerStatus&)>;

    BrokerClient(BrokerSettings settings, BrokerTiming timing, StatusCallback status);
    // Leaves the thread to say "offline" (within half a second) and end by itself, so that a
    // host name still being looked up never holds up the caller; a process that ends first
    // leaves it to the last will. No status is reported after this.
    ~BrokerClient();
    BrokerClient(const BrokerClient&) = delete;
    BrokerClient& operator=(const BrokerClient&) = delete;

    // For a program that ends: with the broker online, what is queued goes out (the QoS 1
    // messages acknowledged), then "offline" and a clean disconnect; otherwise nothing is
    // attempted. Waits for that at most `bound`, so a broker that stopped answering costs no
    // more. No status is reported after this, and nothing more is sent.
    void finish(std::chrono::milliseconds bound);

    void publishTick(const SampleTick& tick);
    // A message sent once connected, after what came before it; QoS 1 messages wait through a
    // lost connection, up to a bound.
    void publish(BrokerMessage message);

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
};

} // namespace thermavo
