#pragma once

#include "history/historyview.h"
#include "history/localtimes.h"
#include "history/runstore.h"
#include "ui/regional.h"

#include <QDateTime>
#include <QMessageBox>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

class QSaveFile;
class QTimer;
class QCPGraph;
class QCPItemStraightLine;
class QCPItemText;

namespace Ui {
class HistoryWindow;
}

namespace thermavo {

class HistoryPlot;
class LogLoader;
struct RangeAnswer;

// What the history window reads from the outside world, so tests can stand in for it.
struct HistoryServices {
    std::function<QDateTime()> now;
    std::function<RegionalSettings()> regionalSettings;
    std::function<void(QMessageBox::Icon icon, const QString& caption, const QString& text)>
        showMessage;
    // The file dialogs; an empty name when the user cancels.
    std::function<QString(QWidget* parent)> chooseLogFile;
    std::function<QString(QWidget* parent, const QString& title, const QString& filter,
                          const QString& suffix)>
        chooseSaveFile;
};

// The file dialogs the window uses unless told otherwise.
QString askForLogFile(QWidget* parent);
QString askForSaveFile(QWidget* parent, const QString& title, const QString& filter,
                       const QString& suffix);

// The whole run at a glance, or a log read back: every sample against local date and time, with
// zoom, pan, a cursor that reads the values under it, the minimum, maximum and mean of the span
// in view, and the view saved as PNG or CSV. The run belongs to the main window, which tells this
// window when it grows.
class HistoryWindow : public QWidget {
    Q_OBJECT

public:
    HistoryWindow(const RunStore& run, HistoryServices services, QWidget* parent = nullptr);
    ~HistoryWindow() override;

    // Reads the log file into the view; the run comes back with showRun().
    void readLog(const QString& path);
    // New ticks were appended to the run.
    void runGrew();
    // Shows a run of the run store in `path`, read a span at a time off the window's thread;
    // `current` marks the run being recorded, which grows. Not while a CSV file is written.
    void showStoredRun(const QString& path, qint64 run, const QString& name, bool current);

    // Where the run being recorded is kept, which showRun() then shows; an empty path: nowhere,
    // the run in memory is shown.
    void setCurrentStoredRun(const QString& path, qint64 run);

    bool showingRun() const;
    // A run of the run store is shown, not a store in memory.
    bool showingStoredRun() const { return m_stored != nullptr; }
    // The store in memory shown; empty while a stored run is shown.
    const RunStore& shownStore() const { return *m_shown; }
    std::size_t shownTicks() const;
    // The stored run's span in view as last read; null while none has come.
    const RangeAnswer* shownRange() const;
    const ViewState& view() const { return m_view; }
    // A log is being read or a CSV file written.
    bool busy() const;
    ChannelMask shownChannels() const;

    bool savePng(const QString& path);
    // Writes the span in view in pieces, with the progress bar; false if the file cannot be
    // written at all. The outcome of the writing is reported when it ends.
    bool saveCsv(const QString& path);

    HistoryPlot& plot();
    Ui::HistoryWindow& ui() { return *m_ui; }
    // What names each channel wherever the window does ("T3 Freezer A"); T1 ... T8 when empty.
    void setChannelNames(const QStringList& names);
    // Lines the cursor's readout adds for the time under it, in seconds since 1970 UTC.
    void setCursorNote(std::function<QString(double seconds)> note) {
        m_cursorNote = std::move(note);
    }

public slots:
    // Shows the window with this run, fitted.
    void showRun();
    // Shows the window and asks for a log file to read into it.
    void openLogFile();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private slots:
    void fitAll();
    void PngButtonClick();
    void CsvButtonClick();
    void cancelWork();
    void channelToggled();

private:
    void display(const RunStore& store, const QString& source);
    void moveView(Span time, Span temperature);
    void applyView();
    void axisRangeChanged();
    void refillPlot();
    void updateStatistics();
    void updateSourceLabel();
    void showCursor(double x);
    void hideCursor();
    void logRead();
    void updateLoadProgress();
    void writeCsvRows();
    void finishCsv(bool cancelled);
    void saveView(bool csv);
    QString valueText(float value) const;
    QString localText(std::int64_t msSinceEpoch);
    double nowSeconds() const;
    RunExtent shownExtent() const;
    void rangeArrived(const RangeAnswer& answer, quint64 source);
    void showRange(const RangeAnswer& answer);
    void writeStoredCsvRows();

    struct Stored;
    struct CsvFeed;

    const RunStore& m_run;
    HistoryServices m_services;
    std::unique_ptr<Ui::HistoryWindow> m_ui;
    RegionalSettings m_regional;

    RunStore m_log;
    QString m_logName;
    const RunStore* m_shown = &m_run;
    ViewState m_view;
    bool m_applying = false;
    Span m_filledTime{};
    int m_filledWidth = 0;
    ChannelMask m_filledChannels{};
    std::vector<PlotPoint> m_points;

    std::vector<QCPGraph*> m_graphs;
    QCPItemStraightLine* m_cursorLine = nullptr;
    QCPItemText* m_cursorText = nullptr;
    QTimer* m_statisticsTimer = nullptr;

    LogLoader* m_loader = nullptr;
    QTimer* m_progressTimer = nullptr;
    QString m_loadingName;

    // The CSV file being written, a piece at a time.
    std::unique_ptr<QSaveFile> m_csv;
    const RunStore* m_csvStore = nullptr;
    QTimer* m_csvTimer = nullptr;
    std::size_t m_csvNext = 0;
    std::size_t m_csvEnd = 0;
    std::size_t m_csvFirst = 0;
    ChannelMask m_csvColumns{};
    LocalTimes m_csvTimes;
    std::unique_ptr<CsvFeed> m_csvFeed;
    // The stored run shown; null while a store in memory is.
    std::unique_ptr<Stored> m_stored;
    quint64 m_storedShown = 0;
    QString m_currentPath;
    qint64 m_currentRun = 0;
    // The window is being destroyed: nothing is shown any more.
    bool m_closing = false;
    LocalTimes m_labelTimes;
    QStringList m_channelNames;
    std::function<QString(double)> m_cursorNote;
};

} // namespace thermavo
