#include "app/features.h"

#include "history/historyfeature.h"
#include "publish/publishfeature.h"

namespace thermavo {

Features::Features(const FeatureHost& host, QObject* parent)
    : QObject(parent), m_history(std::make_unique<HistoryFeature>(host)),
      m_publish(std::make_unique<PublishFeature>(host)) {}

Features::~Features() = default;

void Features::windowClosing() {
    m_history->closeWindow();
    m_publish->closeWindow();
}

} // namespace thermavo
