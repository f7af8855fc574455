#include "alarms/desktopnotifier.h"

#include <QApplication>
#include <QSystemTrayIcon>
#ifdef THERMAVO_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>
#endif

namespace thermavo::alarms {

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent) {}

DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::notify(const QString& summary, const QString& body, bool urgent) {
#ifdef THERMAVO_DBUS
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(urgent ? 2 : 1));
    hints.insert(QStringLiteral("category"), QStringLiteral("device"));
    call << QStringLiteral("Thermavo") << 0u << QStringLiteral("dialog-warning") << summary << body
         << QStringList() << hints << -1;
    const QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(call);
    auto* watcher = new QDBusPendingCallWatcher(pending, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                if (reply.isError())
                    emit failed(reply.error().message());
                finished->deleteLater();
            });
#else
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        emit failed(QStringLiteral("the desktop has no notification area"));
        return;
    }
    if (m_tray == nullptr) {
        m_tray = new QSystemTrayIcon(QApplication::windowIcon(), this);
        m_tray->setToolTip(QStringLiteral("Thermavo"));
    }
    m_tray->show();
    m_tray->showMessage(summary, body,
                        urgent ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
#endif
}

} // namespace thermavo::alarms
