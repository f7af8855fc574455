#include "app/features.h"

#include "history/historyfeature.h"

namespace thermavo {

Features::Features(const FeatureHost& host, QObject* parent)
    : QObject(parent), m_history(std::make_unique<HistoryFeature>(host)) {}

Features::~Features() = default;

void Features::windowClosing() {
    m_history->closeWindow();
}

} // namespace thermavo
