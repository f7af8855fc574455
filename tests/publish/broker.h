#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <mosquitto.h>
#include <mutex>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

// Debian's mosquitto on a free loopback port with a configuration of its own, and a subscriber
// over libmosquitto that keeps every message it receives.
namespace thermavo::brokertest {

inline int freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

class Broker {
public:
    // With a user name, the broker takes that user with that password and nobody else.
    explicit Broker(int port, const QString& user = {}, const QString& password = {})
        : m_port(port) {
        QStringList config{QStringLiteral("listener %1 127.0.0.1").arg(port),
                           QStringLiteral("persistence true"),
                           "persistence_location " + m_folder.path() + "/",
                           QStringLiteral("max_queued_messages 0"),
                           QStringLiteral("log_type error"),
                           QStringLiteral("log_type warning")};
        // Run as root it would turn into the user "mosquitto", who may not read this folder.
        if (const passwd* account = getpwuid(getuid()))
            config << QStringLiteral("user ") + QString::fromLocal8Bit(account->pw_name);
        if (user.isEmpty()) {
            config << QStringLiteral("allow_anonymous true");
        } else {
            const QString passwords = m_folder.filePath(QStringLiteral("passwords"));
            QProcess::execute(
                QStringLiteral("mosquitto_passwd"),
                {QStringLiteral("-b"), QStringLiteral("-c"), passwords, user, password});
            config << QStringLiteral("allow_anonymous false") << "password_file " + passwords;
        }
        QFile file(m_folder.filePath(QStringLiteral("mosquitto.conf")));
        file.open(QIODevice::WriteOnly);
        file.write(config.join('\n').toUtf8() + '\n');
        file.close();
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        start();
    }
    ~Broker() { stop(); }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    int port() const { return m_port; }

    // True once it takes connections.
    bool start() {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(
            QStringLiteral("/usr/sbin/mosquitto"),
            {QStringLiteral("-c"), m_folder.filePath(QStringLiteral("mosquitto.conf"))});
        if (!m_process.waitForStarted())
            return false;
        for (int attempt = 0; attempt < 100; ++attempt) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(m_port));
            if (probe.waitForConnected(100))
                return true;
            QTest::qWait(50);
        }
        return false;
    }
    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

private:
    int m_port;
    QTemporaryDir m_folder;
    QProcess m_process;
};

struct Received {
    std::string topic;
    std::string payload;
    bool retain;
};

// Subscribes with QoS 1 and a session the broker keeps, so what arrives while it is away from a
// restarted broker is delivered when it is back.
class Subscriber {
public:
    Subscriber(int port, const std::string& topic, const std::string& id = "test-subscriber")
        : m_topic(topic) {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(id.c_str(), false, this);
        mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_reconnect_delay_set(m_mosq, 1, 1, false);
        mosquitto_connect_callback_set(m_mosq, [](mosquitto* mosq, void* self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(mosq, nullptr, static_cast<Subscriber*>(self)->m_topic.c_str(),
                                    1);
        });
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto*, void* self, const mosquitto_message* message) {
                auto& subscriber = *static_cast<Subscriber*>(self);
                const std::lock_guard lock(subscriber.m_mutex);
                subscriber.m_received.push_back(
                    {message->topic,
                     std::string(static_cast<const char*>(message->payload),
                                 static_cast<std::size_t>(message->payloadlen)),
                     message->retain});
            });
        mosquitto_connect(m_mosq, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_mosq);
    }
    ~Subscriber() {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, true);
        mosquitto_destroy(m_mosq);
    }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    std::vector<Received> received() {
        const std::lock_guard lock(m_mutex);
        return m_received;
    }
    std::vector<std::string> payloadsOf(const std::string& topic) {
        std::vector<std::string> payloads;
        for (const Received& message : received())
            if (message.topic == topic)
                payloads.push_back(message.payload);
        return payloads;
    }
    std::string lastOf(const std::string& topic) {
        const std::vector<std::string> payloads = payloadsOf(topic);
        return payloads.empty() ? std::string() : payloads.back();
    }

private:
    std::string m_topic;
    mosquitto* m_mosq = nullptr;
    std::mutex m_mutex;
    std::vector<Received> m_received;
};

} // namespace thermavo::brokertest
