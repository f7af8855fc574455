#include "app/features.h"

#include "alarms/alarmfeature.h"
#include "history/historyfeature.h"

namespace thermavo {

Features::Features(const FeatureHost& host, QObject* parent)
    : QObject(parent), m_history(std::make_unique<HistoryFeature>(host)),
      m_alarms(std::make_unique<alarms::AlarmFeature>(host)) {}

Features::~Features() = default;

void Features::windowClosing() {
    m_history->closeWindow();
    m_alarms->closeWindow();
}

} // namespace thermavo
