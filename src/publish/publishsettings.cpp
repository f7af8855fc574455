#include "publish/publishsettings.h"

#include "ui/inifilestore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <stdexcept>

namespace thermavo {

namespace {

const QString kSection = QStringLiteral("Publish");
constexpr int kDefaultPort = 1883;
constexpr int kHighestPort = 65535;

std::string text(IniFileStore& store, const char* key, const std::string& fallback) {
    return store.readString(kSection, QString::fromLatin1(key), QString::fromStdString(fallback))
        .toStdString();
}

QString yesNo(bool value) {
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

QString passwordFilePath(const QString& settingsFile) {
    return QFileInfo(settingsFile).dir().filePath(QString::fromLatin1(kPasswordFileName));
}

PublishSettings loadPublishSettings(const QString& settingsFile, const QString& hostName) {
    PublishSettings settings;
    IniFileStore store(settingsFile);
    IniFileSession session(store);
    BrokerSettings& broker = settings.broker;
    const std::string host = hostName.toStdString();
    settings.enabled = store.readInteger(kSection, QStringLiteral("Enabled"), 0) != 0;
    broker.host = text(store, "Host", "localhost");
    broker.port = store.readInteger(kSection, QStringLiteral("Port"), kDefaultPort);
    if (broker.port < 1 || broker.port > kHighestPort)
        broker.port = kDefaultPort;
    broker.clientId = text(store, "ClientId", "thermavo-" + (host.empty() ? "pc" : host));
    broker.prefix = text(store, "TopicPrefix", defaultTopicPrefix(host));
    if (!validTopicPrefix(broker.prefix))
        broker.prefix = defaultTopicPrefix(host);
    broker.user = text(store, "User", "");
    broker.tls = store.readInteger(kSection, QStringLiteral("Tls"), 0) != 0;
    broker.caFile = text(store, "CaFile", "");
    broker.discovery = store.readInteger(kSection, QStringLiteral("HomeAssistant"), 1) != 0;
    QFile password(passwordFilePath(settingsFile));
    if (password.open(QIODevice::ReadOnly)) {
        // A file an administrator wrote with echo ends in a line end that is no part of it.
        QByteArray bytes = password.readAll();
        if (bytes.endsWith('\n'))
            bytes.chop(bytes.endsWith("\r\n") ? 2 : 1);
        broker.password = bytes.toStdString();
    }
    return settings;
}

void savePublishSettings(const QString& settingsFile, const PublishSettings& settings) {
    IniFileStore store(settingsFile);
    IniFileSession session(store);
    const BrokerSettings& broker = settings.broker;
    store.writeString(kSection, QStringLiteral("Enabled"), yesNo(settings.enabled));
    store.writeString(kSection, QStringLiteral("Host"), QString::fromStdString(broker.host));
    store.writeInteger(kSection, QStringLiteral("Port"), broker.port);
    store.writeString(kSection, QStringLiteral("ClientId"),
                      QString::fromStdString(broker.clientId));
    store.writeString(kSection, QStringLiteral("TopicPrefix"),
                      QString::fromStdString(broker.prefix));
    store.writeString(kSection, QStringLiteral("User"), QString::fromStdString(broker.user));
    store.writeString(kSection, QStringLiteral("Tls"), yesNo(broker.tls));
    store.writeString(kSection, QStringLiteral("CaFile"), QString::fromStdString(broker.caFile));
    store.writeString(kSection, QStringLiteral("HomeAssistant"), yesNo(broker.discovery));

    const QString path = passwordFilePath(settingsFile);
    if (broker.password.empty()) {
        if (QFile::exists(path) && !QFile::remove(path))
            throw std::runtime_error("Cannot remove " + path.toStdString());
        return;
    }
    // Written to a temporary file that only the user may read before it takes the name, so the
    // password is never readable by others, not even for a moment.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(QByteArray::fromStdString(broker.password)) < 0 || !file.commit())
        throw std::runtime_error("Cannot write " + path.toStdString());
}

} // namespace thermavo
