#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
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
    // With a user name, the broker takes that user with that password and nobody else. The
    // listener's own lines (its TLS files) follow it. What the broker logs, down to each client's
    // connecting and leaving, goes to log().
    explicit Broker(int port, const QString& user = {}, const QString& password = {},
                    const QStringList& listenerLines = {})
        : m_port(port) {
        QStringList config{QStringLiteral("listener %1 127.0.0.1").arg(port)};
        config << listenerLines;
        config << QStringList{QStringLiteral("persistence true"),
                              "persistence_location " + m_folder.path() + "/",
                              QStringLiteral("max_queued_messages 0"),
                              QStringLiteral("log_type error"),
                              QStringLiteral("log_type warning"),
                              QStringLiteral("log_type notice"),
                              "log_dest file " + logPath()};
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
    QString logPath() const { return m_folder.filePath(QStringLiteral("broker.log")); }
    QString log() const {
        QFile file(logPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    // A broker that keeps its connections and answers nothing, and the same woken again.
    void freeze() { ::kill(static_cast<pid_t>(m_process.processId()), SIGSTOP); }
    void thaw() { ::kill(static_cast<pid_t>(m_process.processId()), SIGCONT); }

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
    // Gone at once, without a word to its clients or a save of what it holds.
    void kill() {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        thaw();
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

// A certificate authority of the test's own, made with openssl, and a server certificate it
// signed for localhost and 127.0.0.1, for a broker's TLS listener.
class Certificates {
public:
    Certificates() {
        QFile extensions(path("server.ext"));
        extensions.open(QIODevice::WriteOnly);
        extensions.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n");
        extensions.close();
        const QStringList key{
            QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
        m_valid = openssl(QStringList{"req", "-x509", "-days", "2", "-subj", "/CN=Thermavo test CA",
                                      "-keyout", path("ca.key"), "-out", caFile()} +
                          key) &&
                  openssl(QStringList{"req", "-subj", "/CN=localhost", "-keyout", keyFile(), "-out",
                                      path("server.csr")} +
                          key) &&
                  openssl({"x509", "-req", "-days", "2", "-in", path("server.csr"), "-CA", caFile(),
                           "-CAkey", path("ca.key"), "-CAcreateserial", "-extfile",
                           path("server.ext"), "-out", certFile()});
    }

    bool valid() const { return m_valid; }
    QString caFile() const { return path("ca.crt"); }
    QString certFile() const { return path("server.crt"); }
    QString keyFile() const { return path("server.key"); }
    // The lines that make a broker's listener speak TLS with this certificate.
    QStringList listenerLines() const {
        return {"cafile " + caFile(), "certfile " + certFile(), "keyfile " + keyFile()};
    }

private:
    QString path(const char* name) const { return m_folder.filePath(QString::fromLatin1(name)); }
    static bool openssl(const QStringList& arguments) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("openssl"), arguments);
        const bool made = process.waitForFinished(30'000) &&
                          process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        // Its progress is noise; its complaints are not.
        if (!made)
            qWarning("openssl: %s", process.readAll().constData());
        return made;
    }

    QTemporaryDir m_folder;
    bool m_valid = false;
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
