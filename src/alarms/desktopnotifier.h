#pragma once

#include <QObject>
#include <QString>

class QSystemTrayIcon;

namespace thermavo::alarms {

// Tells the desktop: on Linux the freedesktop notification service over the session D-Bus, where
// D-Bus is missing (Windows) the tray icon's message. Never blocks and never opens a box.
class DesktopNotifier : public QObject {
    Q_OBJECT

public:
    explicit DesktopNotifier(QObject* parent = nullptr);
    ~DesktopNotifier() override;

    // `urgent` for raised alarms; the service may keep those shown until clicked.
    void notify(const QString& summary, const QString& body, bool urgent);

signals:
    // The service refused or could not be reached; the reason in words.
    void failed(const QString& reason);

private:
    QSystemTrayIcon* m_tray = nullptr;
};

} // namespace thermavo::alarms
