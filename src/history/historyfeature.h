#pragma once

#include "events/featurehost.h"
#include "events/runevents.h"
#include "history/runstore.h"

#include <QObject>

class QAction;

namespace thermavo {

class HistoryWindow;

// Keeps every tick of the run the window publishes, and opens the history window on it: from
// the strip chart's context menu, Ctrl+H, or a double-click on the chart.
class HistoryFeature : public QObject {
    Q_OBJECT

public:
    explicit HistoryFeature(const FeatureHost& host, QObject* parent = nullptr);
    ~HistoryFeature() override;

    const RunStore& run() const { return m_run; }
    // Null until first opened.
    HistoryWindow* window() const { return m_window; }
    QAction& showRunAction() const { return *m_showRun; }
    QAction& openLogAction() const { return *m_openLog; }

    void showRun();
    void openLogFile();
    // The main window closes: the history window goes with it.
    void closeWindow();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void record(const SampleTick& tick);
    void linkChanged(const LinkEvent& event);
    HistoryWindow& history();

    FeatureHost m_host;
    RunStore m_run;
    HistoryWindow* m_window = nullptr;
    QAction* m_showRun = nullptr;
    QAction* m_openLog = nullptr;
};

} // namespace thermavo
