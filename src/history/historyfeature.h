#pragma once

#include "events/featurehost.h"
#include "events/runevents.h"
#include "history/runstore.h"

#include <QObject>
#include <algorithm>
#include <atomic>
#include <memory>

class QAction;
class QLabel;

namespace thermavo {

class HistoryWindow;
class RunListWindow;

namespace runs {
class RunRecorder;
struct RecorderStatus;
} // namespace runs

// Keeps every tick of the run the window publishes, and opens the history window on it: from
// the strip chart's context menu, Ctrl+H, or a double-click on the chart. With a data folder,
// every tick also goes to the run store on disk, whose earlier runs the run list opens.
class HistoryFeature : public QObject {
    Q_OBJECT

public:
    explicit HistoryFeature(const FeatureHost& host, QObject* parent = nullptr);
    ~HistoryFeature() override;

    // With a data folder, the run is kept on disk and this holds only its newest ticks: all of
    // them until it reaches twice `tailTicks`, then the newest `tailTicks`, and the history
    // window reads the run from the disk from then on.
    const RunStore& run() const { return m_run; }
    void setTailTicks(std::size_t ticks) { m_tailTicks = std::max<std::size_t>(ticks, 1); }
    // Null until first opened.
    HistoryWindow* window() const { return m_window; }
    QAction& showRunAction() const { return *m_showRun; }
    QAction& openLogAction() const { return *m_openLog; }
    QAction& showRunsAction() const { return *m_showRuns; }
    // Null until first opened.
    RunListWindow* runList() const { return m_runList; }
    // The status bar's text about the run store; empty while all is well.
    QString storeStatus() const;
    // The database in use; empty while none.
    QString storePath() const { return m_storePath; }
    // Waits until every tick so far is on disk.
    void flushStore();

    void showRun();
    void openLogFile();
    // Lists the runs on disk.
    void showRuns();
    void openStoredRun(qint64 run);
    void deleteStoredRun(qint64 run);
    // The main window closes: the history window goes with it.
    void closeWindow();

signals:
    // The history window was made, before it is first shown: others may add to it.
    void windowCreated(thermavo::HistoryWindow& window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void record(const SampleTick& tick);
    void linkChanged(const LinkEvent& event);
    HistoryWindow& history();
    void storeChanged(const runs::RecorderStatus& status);
    // Tells the history window where the run being recorded is kept, once it is.
    void updateCurrentRun();
    // While the history window shows the run being recorded from the disk, each tick is
    // committed as it comes and shown when it lands.
    void updateFollowing();
    // On the window's thread after a commit, while followed.
    void commitLanded();

    FeatureHost m_host;
    RunStore m_run;
    HistoryWindow* m_window = nullptr;
    RunListWindow* m_runList = nullptr;
    QAction* m_showRun = nullptr;
    QAction* m_openLog = nullptr;
    QAction* m_showRuns = nullptr;
    QLabel* m_storeLabel = nullptr;
    QString m_storePath;
    std::unique_ptr<runs::RunRecorder> m_recorder;
    bool m_storeStopped = false;
    std::size_t m_tailTicks = 3600;
    bool m_trimmed = false;
    qint64 m_currentRunShown = 0;
    // Read on the recorder's thread.
    std::atomic<bool> m_following{false};
};

} // namespace thermavo
