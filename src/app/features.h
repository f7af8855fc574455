#pragma once

#include "events/featurehost.h"

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <memory>

namespace thermavo {

class HistoryFeature;
class PublishFeature;
namespace alarms {
class AlarmFeature;
struct AlarmEvent;
} // namespace alarms

// What Thermavo does around the logger itself (the history, and what watches or keeps the run):
// each feature subscribes to what the main window publishes and opens its own windows; the
// window knows only this.
class Features : public QObject {
    Q_OBJECT

public:
    explicit Features(const FeatureHost& host, QObject* parent = nullptr);
    ~Features() override;

    // The main window accepted a close: the features close their windows and finish their work.
    void windowClosing();

    HistoryFeature& history() const { return *m_history; }
    alarms::AlarmFeature& alarms() const { return *m_alarms; }
    PublishFeature& publish() const { return *m_publish; }

private:
    void publishAlarm(const alarms::AlarmEvent& event);

    std::unique_ptr<HistoryFeature> m_history;
    std::unique_ptr<alarms::AlarmFeature> m_alarms;
    std::unique_ptr<PublishFeature> m_publish;
    QPointer<QWidget> m_window;
};

} // namespace thermavo
