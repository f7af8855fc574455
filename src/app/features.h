#pragma once

#include "events/featurehost.h"

#include <QObject>
#include <memory>

namespace thermavo {

class HistoryFeature;
class PublishFeature;

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
    PublishFeature& publish() const { return *m_publish; }

private:
    std::unique_ptr<HistoryFeature> m_history;
    std::unique_ptr<PublishFeature> m_publish;
};

} // namespace thermavo
