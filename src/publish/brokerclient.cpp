#include "publish/brokerclient.h"

#include "publish/mosquittoapi.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace thermavo {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLoopTimeoutMs = 250;
constexpr int kInFlightTicks = 20;
constexpr std::size_t kMessageBound = 10'000;
constexpr auto kFarewell = std::chrono::milliseconds(500);
// While a closing program waits, the thread looks at what is left this often, and keeps the
// last part of its time for "offline" and the disconnect.
constexpr int kDrainLoopMs = 20;
constexpr auto kDisconnectShare = std::chrono::milliseconds(250);
constexpr auto kCountReportPause = std::chrono::milliseconds(250);

// The library tells why a TLS handshake failed only in its log, as OpenSSL's reason.
std::string tlsErrorText(const std::string& libraryError) {
    if (libraryError.find("certificate verify failed") != std::string::npos)
        return "TLS: the broker's certificate is not signed by the CA file";
    const std::size_t reason = libraryError.rfind(':');
    if (reason == std::string::npos || reason + 1 == libraryError.size())
        return "TLS: the handshake failed";
    return "TLS: " + libraryError.substr(reason + 1);
}

std::string errorText(int rc, int savedErrno, const std::string& libraryError = {}) {
    if (rc == MOSQ_ERR_TLS)
        return tlsErrorText(libraryError);
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(savedErrno);
    if (rc == MOSQ_ERR_EAI)
        return "host name not found";
    if (rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NO_CONN)
        return "connection lost";
    return mosquittoApi().mosquitto_strerror(rc);
}

} // namespace

struct BrokerClient::Shared {
    BrokerSettings settings;
    BrokerTiming timing;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    // Set by finish(): what is queued goes out until then.
    std::optional<Clock::time_point> finishBy;
    bool ended = false;
    std::deque<SampleTick> incomingTicks;
    std::deque<BrokerMessage> incomingMessages;
    std::mutex statusMutex;
    StatusCallback status;

    // The thread's own.
    TickBacklog backlog;
    std::deque<BrokerMessage> messages;
    // QoS 1 messages handed to the library and not yet acknowledged, oldest first: a lost
    // connection takes them with it, so they are sent again on the next.
    std::deque<std::pair<int, BrokerMessage>> unacknowledged;
    std::map<int, std::uint64_t> tickOfMid;
    // Every QoS 1 message the broker has not acknowledged yet, these and the rest.
    std::set<int> inFlight;
    bool connected = false;
    int refusal = 0;
    // The library's last error message on this connection.
    std::string libraryError;
    bool sendDiscovery = false;
    std::optional<std::pair<int, std::int32_t>> discoveredBoard;
    BrokerStatus last;
    Clock::time_point nextCountReport;

    Shared(BrokerSettings s, BrokerTiming t, StatusCallback callback)
        : settings(std::move(s)), timing(t), status(std::move(callback)), backlog(t.backlogBound) {}

    // Online, the ticks in flight are no backlog worth a word. While a backlog drains, the
    // count is told at most a few times a second.
    void report(BrokerStatus next) {
        const std::size_t waiting = backlog.size();
        next.waiting =
            next.state == BrokerState::Online && waiting <= static_cast<std::size_t>(kInFlightTicks)
                ? 0
                : waiting;
        next.dropped = backlog.dropped();
        if (next == last)
            return;
        const auto now = Clock::now();
        if (next.state == last.state && next.detail == last.detail && now < nextCountReport)
            return;
        nextCountReport = now + kCountReportPause;
        last = next;
        const std::lock_guard lock(statusMutex);
        if (status)
            status(next);
    }

    void takeIncoming() {
        const std::lock_guard lock(mutex);
        for (const SampleTick& tick : incomingTicks)
            backlog.push(tick);
        incomingTicks.clear();
        for (BrokerMessage& message : incomingMessages) {
            if (messages.size() == kMessageBound)
                messages.pop_front();
            messages.push_back(std::move(message));
        }
        incomingMessages.clear();
    }

    bool stopRequested() {
        const std::lock_guard lock(mutex);
        return stopping;
    }

    std::optional<Clock::time_point> finishDeadline() {
        const std::lock_guard lock(mutex);
        return finishBy;
    }

    int send(mosquitto* mosq, const BrokerMessage& message) {
        int mid = 0;
        const int rc = mosquittoApi().mosquitto_publish(
            mosq, &mid, message.topic.c_str(), static_cast<int>(message.payload.size()),
            message.payload.data(), message.qos, message.retain);
        if (rc == MOSQ_ERR_SUCCESS && message.qos > 0)
            inFlight.insert(mid);
        return mid;
    }

    bool drained() const { return messages.empty() && inFlight.empty() && backlog.unsent() == 0; }

    void acknowledged(int mid) {
        inFlight.erase(mid);
        const auto tick = tickOfMid.find(mid);
        if (tick != tickOfMid.end()) {
            backlog.confirm(tick->second);
            tickOfMid.erase(tick);
            return;
        }
        const auto message = std::find_if(unacknowledged.begin(), unacknowledged.end(),
                                          [mid](const auto& sent) { return sent.first == mid; });
        if (message != unacknowledged.end())
            unacknowledged.erase(message);
    }

    void requeueUnacknowledged() {
        for (auto sent = unacknowledged.rbegin(); sent != unacknowledged.rend(); ++sent)
            messages.push_front(std::move(sent->second));
        unacknowledged.clear();
        while (messages.size() > kMessageBound)
            messages.pop_front();
    }

    // With the broker online at the end: a closing program sends what is queued and waits for
    // its acknowledgement until its deadline, a client replaced by the next waits a moment for
    // the acknowledgements of what it sent; then "offline" by the program itself, as a clean
    // disconnect does not fire the will. While the broker still owes an acknowledgement,
    // "offline" could wait behind the unacknowledged messages for ever: the connection is
    // dropped instead, and the will says it.
    void farewell(mosquitto* mosq) {
        const std::optional<Clock::time_point> deadline = finishDeadline();
        const auto until = deadline.value_or(Clock::now() + kFarewell);
        takeIncoming();
        while ((deadline ? !drained() : !inFlight.empty()) &&
               Clock::now() < until - kDisconnectShare) {
            if (deadline)
                sendDue(mosq);
            if (mosquittoApi().mosquitto_loop(mosq, kDrainLoopMs, 1) != MOSQ_ERR_SUCCESS)
                return;
        }
        if (!inFlight.empty())
            return;
        send(mosq, {statusTopic(settings.prefix), std::string(kOfflinePayload), 1, true});
        mosquittoApi().mosquitto_disconnect(mosq);
        while (Clock::now() < until &&
               mosquittoApi().mosquitto_loop(mosq, kDrainLoopMs, 1) == MOSQ_ERR_SUCCESS) {
        }
    }

    void sendDue(mosquitto* mosq) {
        if (!connected)
            return;
        while (!messages.empty()) {
            const int mid = send(mosq, messages.front());
            if (messages.front().qos > 0)
                unacknowledged.emplace_back(mid, std::move(messages.front()));
            messages.pop_front();
        }
        while (static_cast<int>(tickOfMid.size()) < kInFlightTicks) {
            auto next = backlog.nextToSend();
            if (!next)
                break;
            const SampleTick& tick = next->second;
            const std::pair board{tick.boardRow, tick.intervalSeconds};
            if (settings.discovery && (sendDiscovery || discoveredBoard != board)) {
                DiscoveryInput input{settings.prefix, settings.clientId,
                                     "Thermavo " + settings.clientId, tick.boardRow,
                                     tick.intervalSeconds};
                for (const auto& list : {discoveryMessages(input), discoveryRemovals(input),
                                         alarmDiscoveryMessages(input)})
                    for (const BrokerMessage& message : list)
                        send(mosq, message);
                discoveredBoard = board;
                sendDiscovery = false;
            }
            const std::vector<BrokerMessage> tickSet = tickMessages(settings.prefix, tick);
            for (std::size_t index = 0; index + 1 < tickSet.size(); ++index)
                send(mosq, tickSet[index]);
            tickOfMid[send(mosq, tickSet.back())] = next->first;
        }
    }

    // One connection from the first attempt to its end; what ended it, empty when stopped.
    std::optional<BrokerStatus> connectOnce() {
        if (!mosquittoApi().error.empty())
            return BrokerStatus{BrokerState::Unreachable,
                                "the MQTT library could not be loaded: " + mosquittoApi().error, 0,
                                0, 0};
        mosquitto* mosq = mosquittoApi().mosquitto_new(settings.clientId.c_str(), true, this);
        if (mosq == nullptr)
            return BrokerStatus{BrokerState::Unreachable, "out of memory", 0, 0, 0};
        const auto done = [&](std::optional<BrokerStatus> result) {
            mosquittoApi().mosquitto_destroy(mosq);
            backlog.connectionLost();
            tickOfMid.clear();
            inFlight.clear();
            requeueUnacknowledged();
            connected = false;
            return result;
        };
        mosquittoApi().mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        libraryError.clear();
        mosquittoApi().mosquitto_log_callback_set(
            mosq, [](mosquitto*, void* self, int level, const char* text) {
                if (level == MOSQ_LOG_ERR && text != nullptr)
                    static_cast<Shared*>(self)->libraryError = text;
            });
        mosquittoApi().mosquitto_connect_callback_set(mosq, [](mosquitto* m, void* self, int rc) {
            auto& shared = *static_cast<Shared*>(self);
            if (rc != 0) {
                shared.refusal = rc;
                return;
            }
            shared.connected = true;
            shared.sendDiscovery = true;
            shared.send(m, onlineMessage(shared.settings.prefix));
            if (shared.settings.discovery)
                mosquittoApi().mosquitto_subscribe(
                    m, nullptr, std::string(kHomeAssistantStatusTopic).c_str(), 1);
        });
        mosquittoApi().mosquitto_publish_callback_set(mosq, [](mosquitto*, void* self, int mid) {
            static_cast<Shared*>(self)->acknowledged(mid);
        });
        mosquittoApi().mosquitto_message_callback_set(
            mosq, [](mosquitto*, void* self, const mosquitto_message* message) {
                auto& shared = *static_cast<Shared*>(self);
                const std::string_view payload(static_cast<const char*>(message->payload),
                                               static_cast<std::size_t>(message->payloadlen));
                if (payload == kOnlinePayload)
                    shared.sendDiscovery = true;
            });
        if (!settings.user.empty())
            mosquittoApi().mosquitto_username_pw_set(
                mosq, settings.user.c_str(),
                settings.password.empty() ? nullptr : settings.password.c_str());
        report({BrokerState::Connecting, settings.host + ":" + std::to_string(settings.port), 0, 0,
                0});
        if (settings.tls) {
            if (settings.caFile.empty())
                return done(
                    BrokerStatus{BrokerState::Unreachable, "TLS: no CA file given", 0, 0, 0});
            std::error_code error;
            if (!std::filesystem::is_regular_file(settings.caFile, error) ||
                !std::ifstream(settings.caFile).is_open())
                return done(BrokerStatus{BrokerState::Unreachable,
                                         "TLS: cannot read the CA file " + settings.caFile, 0, 0,
                                         0});
            const int rc = mosquittoApi().mosquitto_tls_set(mosq, settings.caFile.c_str(), nullptr,
                                                            nullptr, nullptr, nullptr);
            if (rc != MOSQ_ERR_SUCCESS)
                return done(
                    BrokerStatus{BrokerState::Refused, "TLS: " + errorText(rc, errno), 0, 0, 0});
        }
        const BrokerMessage will = lastWill(settings.prefix);
        mosquittoApi().mosquitto_will_set(mosq, will.topic.c_str(),
                                          static_cast<int>(will.payload.size()),
                                          will.payload.data(), will.qos, will.retain);

        int rc = mosquittoApi().mosquitto_connect_async(mosq, settings.host.c_str(), settings.port,
                                                        timing.keepAliveSeconds);
        if (rc != MOSQ_ERR_SUCCESS)
            return done(BrokerStatus{BrokerState::Unreachable, errorText(rc, errno), 0, 0, 0});
        const auto deadline = Clock::now() + std::chrono::milliseconds(timing.answerTimeoutMs);
        refusal = 0;
        while (true) {
            takeIncoming();
            if (stopRequested()) {
                if (connected)
                    farewell(mosq);
                return done(std::nullopt);
            }
            sendDue(mosq);
            if (connected)
                report({BrokerState::Online, {}, 0, 0, 0});
            rc = mosquittoApi().mosquitto_loop(mosq, kLoopTimeoutMs, 1);
            const int savedErrno = errno;
            if (refusal != 0)
                return done(BrokerStatus{BrokerState::Refused, refusalText(refusal), 0, 0, 0});
            if (rc != MOSQ_ERR_SUCCESS)
                return done(BrokerStatus{BrokerState::Unreachable,
                                         errorText(rc, savedErrno, libraryError), 0, 0, 0});
            if (!connected && Clock::now() > deadline)
                return done(
                    BrokerStatus{BrokerState::Unreachable, "the broker does not answer", 0, 0, 0});
        }
    }

    void run() {
        ReconnectPause pause(timing.firstPauseMs, timing.longestPauseMs);
        while (!stopRequested()) {
            std::optional<BrokerStatus> failure = connectOnce();
            const bool wasOnline = last.state == BrokerState::Online;
            if (!failure)
                return;
            if (wasOnline)
                pause.connected();
            const std::int64_t pauseMs = pause.next();
            failure->retryInMs = pauseMs;
            const auto until = Clock::now() + std::chrono::milliseconds(pauseMs);
            while (true) {
                takeIncoming();
                report(*failure);
                std::unique_lock lock(mutex);
                if (stopping)
                    return;
                if (wake.wait_until(lock, until, [&] { return stopping; }) || Clock::now() >= until)
                    break;
            }
        }
    }
};

BrokerClient::BrokerClient(BrokerSettings settings, BrokerTiming timing, StatusCallback status)
    : m_shared(std::make_shared<Shared>(std::move(settings), timing, std::move(status))) {
    // A client replaced by the next with the same client id (new settings, or publishing
    // switched off and on) ends first: the two would take the connection from each other, and
    // its "offline" could follow the new one's "online". Clients of other ids run side by side.
    static std::mutex chainMutex;
    static std::map<std::string, std::shared_future<void>> lastOfId;
    std::promise<void> ended;
    std::shared_future<void> previous;
    {
        const std::lock_guard lock(chainMutex);
        std::shared_future<void>& last = lastOfId[m_shared->settings.clientId];
        previous = last;
        last = ended.get_future().share();
    }
    std::thread([shared = m_shared, previous, ended = std::move(ended)]() mutable {
        if (previous.valid())
            previous.wait();
        shared->run();
        {
            const std::lock_guard lock(shared->mutex);
            shared->ended = true;
        }
        shared->wake.notify_all();
        ended.set_value();
    }).detach();
}

void BrokerClient::finish(std::chrono::milliseconds bound) {
    {
        const std::lock_guard lock(m_shared->statusMutex);
        m_shared->status = nullptr;
    }
    std::unique_lock lock(m_shared->mutex);
    const auto deadline = Clock::now() + bound;
    m_shared->stopping = true;
    m_shared->finishBy = deadline;
    m_shared->wake.notify_all();
    m_shared->wake.wait_until(lock, deadline, [this] { return m_shared->ended; });
}

BrokerClient::~BrokerClient() {
    {
        const std::lock_guard lock(m_shared->statusMutex);
        m_shared->status = nullptr;
    }
    const std::lock_guard lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->wake.notify_all();
}

void BrokerClient::publishTick(const SampleTick& tick) {
    const std::lock_guard lock(m_shared->mutex);
    m_shared->incomingTicks.push_back(tick);
}

void BrokerClient::publish(BrokerMessage message) {
    const std::lock_guard lock(m_shared->mutex);
    m_shared->incomingMessages.push_back(std::move(message));
}

} // namespace thermavo
