#pragma once

#include "events/featurehost.h"
#include "publish/publishsettings.h"

#include <QObject>
#include <chrono>
#include <memory>

class QAction;
class QLabel;

namespace thermavo {

class PublishWindow;

// Publishes every sample tick to an MQTT broker when the user switched it on, says in the status
// bar how the broker is reached, and opens its window from the strip chart's context menu and
// Ctrl+M.
class PublishFeature : public QObject {
    Q_OBJECT

public:
    explicit PublishFeature(const FeatureHost& host, QObject* parent = nullptr);
    ~PublishFeature() override;

    // Null until first opened.
    PublishWindow* window() const { return m_window; }
    QAction& showAction() const { return *m_show; }
    QLabel& statusLabel() const { return *m_status; }
    const PublishSettings& settings() const { return m_settings; }
    bool publishing() const { return m_client != nullptr; }

    // Pauses and timeouts, shorter in tests; connects anew when publishing.
    void setTiming(const BrokerTiming& timing);
    // Keeps the settings and connects anew with them, or stops publishing.
    void apply(const PublishSettings& settings);
    void showWindow();
    void closeWindow();
    // The program ends: what is queued reaches an online broker, then "offline", within
    // kCloseBound; nothing is published after this.
    void finish();
    static constexpr std::chrono::milliseconds kCloseBound{2000};

    // For the alarms: an alarm's level, retained, and each alarm event. Nothing while
    // publishing is off.
    void publishAlarmState(int channel, AlarmLevel level);
    void publishAlarmEvent(const AlarmEvent& event);

signals:
    // The status bar's text changed; empty when publishing went off.
    void statusChanged(const QString& text);

private:
    void restart();
    void brokerStatusChanged(const BrokerStatus& status);

    FeatureHost m_host;
    PublishSettings m_settings;
    BrokerTiming m_timing;
    std::unique_ptr<BrokerClient> m_client;
    quint64 m_generation = 0;
    PublishWindow* m_window = nullptr;
    QAction* m_show = nullptr;
    QLabel* m_status = nullptr;
};

} // namespace thermavo
