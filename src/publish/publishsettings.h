#pragma once

#include "publish/brokerclient.h"

#include <QString>

namespace thermavo {

// Publishing as the user set it: the [Publish] section of the settings file, and the password in
// a file of its own beside it that only the user may read.
struct PublishSettings {
    bool enabled = false;
    BrokerSettings broker;
};

// The password file's name, in the settings file's folder.
inline constexpr const char* kPasswordFileName = "thermavo-broker-password";
QString passwordFilePath(const QString& settingsFile);

// A missing section gives publishing off, localhost:1883, client id "thermavo-<host>" and the
// prefix "thermavo/<host>".
PublishSettings loadPublishSettings(const QString& settingsFile, const QString& hostName);
// Throws ProfileWriteError, or std::runtime_error naming the password file.
void savePublishSettings(const QString& settingsFile, const PublishSettings& settings);

} // namespace thermavo
