#include "publish/brokerclient.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mosquitto.h>
#include <mutex>
#include <string>
#include <thread>

namespace thermavo {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLoopTimeoutMs = 250;
constexpr int kInFlightTicks = 20;
constexpr std::size_t kMessageBound = 10'000;
constexpr auto kFarewell = std::chrono::milliseconds(500);
constexpr auto kCountReportPause = std::chrono::milliseconds(250);

std::string errorText(int rc, int savedErrno) {
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(savedErrno);
    if (rc == MOSQ_ERR_EAI)
        return "host name not found";
    if (rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NO_CONN)
        return "connection lost";
    return mosquitto_strerror(rc);
}

} // namespace

struct BrokerClient::Shared {
    BrokerSettings settings;
    BrokerTiming timing;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::deque<SampleTick> incomingTicks;
    std::deque<BrokerMessage> incomingMessages;
    std::mutex statusMutex;
    StatusCallback status;

    // The thread's own.
    TickBacklog backlog;
    std::deque<BrokerMessage> messages;
    std::map<int, std::uint64_t> tickOfMid;
    bool connected = false;
    int refusal = 0;
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

    void send(mosquitto* mosq, const BrokerMessage& message, int* mid = nullptr) {
        mosquitto_publish(mosq, mid, message.topic.c_str(),
                          static_cast<int>(message.payload.size()), message.payload.data(),
                          message.qos, message.retain);
    }

    void sendDue(mosquitto* mosq) {
        if (!connected)
            return;
        while (!messages.empty()) {
            send(mosq, messages.front());
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
            int mid = 0;
            send(mosq, tickSet.back(), &mid);
            tickOfMid[mid] = next->first;
        }
    }

    // One connection from the first attempt to its end; what ended it, empty when stopped.
    std::optional<BrokerStatus> connectOnce() {
        mosquitto* mosq = mosquitto_new(settings.clientId.c_str(), true, this);
        if (mosq == nullptr)
            return BrokerStatus{BrokerState::Unreachable, "out of memory", 0, 0, 0};
        const auto done = [&](std::optional<BrokerStatus> result) {
            mosquitto_destroy(mosq);
            backlog.connectionLost();
            tickOfMid.clear();
            connected = false;
            return result;
        };
        mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_connect_callback_set(mosq, [](mosquitto* m, void* self, int rc) {
            auto& shared = *static_cast<Shared*>(self);
            if (rc != 0) {
                shared.refusal = rc;
                return;
            }
            shared.connected = true;
            shared.sendDiscovery = true;
            shared.send(m, onlineMessage(shared.settings.prefix));
            if (shared.settings.discovery)
                mosquitto_subscribe(m, nullptr, std::string(kHomeAssistantStatusTopic).c_str(), 1);
        });
        mosquitto_publish_callback_set(mosq, [](mosquitto*, void* self, int mid) {
            auto& shared = *static_cast<Shared*>(self);
            const auto found = shared.tickOfMid.find(mid);
            if (found != shared.tickOfMid.end()) {
                shared.backlog.confirm(found->second);
                shared.tickOfMid.erase(found);
            }
        });
        mosquitto_message_callback_set(
            mosq, [](mosquitto*, void* self, const mosquitto_message* message) {
                auto& shared = *static_cast<Shared*>(self);
                const std::string_view payload(static_cast<const char*>(message->payload),
                                               static_cast<std::size_t>(message->payloadlen));
                if (payload == kOnlinePayload)
                    shared.sendDiscovery = true;
            });
        if (!settings.user.empty())
            mosquitto_username_pw_set(mosq, settings.user.c_str(),
                                      settings.password.empty() ? nullptr
                                                                : settings.password.c_str());
        if (settings.tls) {
            const int rc = mosquitto_tls_set(mosq, settings.caFile.c_str(), nullptr, nullptr,
                                             nullptr, nullptr);
            if (rc != MOSQ_ERR_SUCCESS)
                return done(
                    BrokerStatus{BrokerState::Refused, "TLS: " + errorText(rc, errno), 0, 0, 0});
        }
        const BrokerMessage will = lastWill(settings.prefix);
        mosquitto_will_set(mosq, will.topic.c_str(), static_cast<int>(will.payload.size()),
                           will.payload.data(), will.qos, will.retain);

        report({BrokerState::Connecting, settings.host + ":" + std::to_string(settings.port), 0, 0,
                0});
        int rc = mosquitto_connect_async(mosq, settings.host.c_str(), settings.port,
                                         timing.keepAliveSeconds);
        if (rc != MOSQ_ERR_SUCCESS)
            return done(BrokerStatus{BrokerState::Unreachable, errorText(rc, errno), 0, 0, 0});
        const auto deadline = Clock::now() + std::chrono::milliseconds(timing.answerTimeoutMs);
        refusal = 0;
        while (true) {
            takeIncoming();
            if (stopRequested()) {
                if (connected) {
                    send(mosq,
                         {statusTopic(settings.prefix), std::string(kOfflinePayload), 1, true});
                    mosquitto_disconnect(mosq);
                    const auto until = Clock::now() + kFarewell;
                    while (Clock::now() < until &&
                           mosquitto_loop(mosq, kLoopTimeoutMs, 1) == MOSQ_ERR_SUCCESS) {
                    }
                }
                return done(std::nullopt);
            }
            sendDue(mosq);
            if (connected)
                report({BrokerState::Online, {}, 0, 0, 0});
            rc = mosquitto_loop(mosq, kLoopTimeoutMs, 1);
            const int savedErrno = errno;
            if (refusal != 0)
                return done(BrokerStatus{BrokerState::Refused, refusalText(refusal), 0, 0, 0});
            if (rc != MOSQ_ERR_SUCCESS)
                return done(
                    BrokerStatus{BrokerState::Unreachable, errorText(rc, savedErrno), 0, 0, 0});
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
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });
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
        ended.set_value();
    }).detach();
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
