#pragma once

#include "runs/rundatabase.h"

#include <QWidget>
#include <memory>
#include <vector>

namespace Ui {
class RunListWindow;
}

namespace thermavo {

// The runs kept on disk, newest first: start, end, board, samples and how each ended, to open
// or delete any of them.
class RunListWindow : public QWidget {
    Q_OBJECT

public:
    explicit RunListWindow(QWidget* parent = nullptr);
    ~RunListWindow() override;

    // `current`: this program's run, which cannot be deleted. `where`: the database's path.
    void setRuns(std::vector<runs::RunInfo> runs, std::int64_t current, const QString& where);
    const std::vector<runs::RunInfo>& runs() const { return m_runs; }
    // The run in a row of the table.
    std::int64_t runAt(int row) const;
    Ui::RunListWindow& ui() { return *m_ui; }

    // "12 Dec 2026 14:03:10" in the local time the offset gives.
    static QString localText(std::int64_t ms, std::int32_t utcOffsetSeconds);
    // "closed", "crashed", "recording".
    static QString endText(const runs::RunInfo& run, std::int64_t current);

signals:
    void openRun(qint64 run);
    void deleteRun(qint64 run);

private:
    void selectionChanged();
    std::int64_t selectedRun() const;
    bool deletable(std::int64_t run) const;

    std::unique_ptr<Ui::RunListWindow> m_ui;
    std::vector<runs::RunInfo> m_runs;
    std::int64_t m_current = 0;
};

} // namespace thermavo
