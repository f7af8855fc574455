#include "history/historyfeature.h"

#include "events/runpublisher.h"
#include "history/historywindow.h"
#include "history/runlistwindow.h"
#include "runs/runrecorder.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMouseEvent>
#include <QSettings>
#include <QStatusBar>
#include <algorithm>
#include <exception>

namespace thermavo {

namespace {

constexpr std::int64_t kBytesPerMegabyte = 1'000'000;
constexpr std::int64_t kMsPerDay = 86'400'000;
// The size limit unless the settings say otherwise: over a year of one-second ticks.
constexpr std::int64_t kDefaultKeepMegabytes = 2000;

} // namespace

HistoryFeature::HistoryFeature(const FeatureHost& host, QObject* parent)
    : QObject(parent), m_host(host) {
    m_showRun = new QAction(QStringLiteral("Show the whole run"), m_host.chart);
    m_showRun->setObjectName(QStringLiteral("ShowHistoryAction"));
    m_showRun->setShortcut(QKeySequence(QStringLiteral("Ctrl+H")));
    m_openLog = new QAction(QStringLiteral("Open a log file…"), m_host.chart);
    m_openLog->setObjectName(QStringLiteral("OpenLogAction"));
    m_host.chart->addAction(m_showRun);
    m_host.chart->addAction(m_openLog);
    connect(m_showRun, &QAction::triggered, this, &HistoryFeature::showRun);
    connect(m_openLog, &QAction::triggered, this, &HistoryFeature::openLogFile);
    connect(m_host.events, &RunPublisher::sampleTick, this, &HistoryFeature::record);
    connect(m_host.events, &RunPublisher::linkChanged, this, &HistoryFeature::linkChanged);
    qApp->installEventFilter(this);
    if (m_host.dataFolder.isEmpty())
        return;
    m_showRuns = new QAction(QStringLiteral("Runs on disk…"), m_host.chart);
    m_showRuns->setObjectName(QStringLiteral("ShowRunsAction"));
    m_showRuns->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+H")));
    m_host.chart->addAction(m_showRuns);
    connect(m_showRuns, &QAction::triggered, this, &HistoryFeature::showRuns);
    m_storeLabel = new QLabel(m_host.statusBar);
    m_storeLabel->setObjectName(QStringLiteral("RunStoreLabel"));
    m_storeLabel->hide();
    m_host.statusBar->insertPermanentWidget(0, m_storeLabel);

    runs::RecorderSettings settings;
    settings.folder = QDir::toNativeSeparators(m_host.dataFolder).toStdString();
    qint64 keepMegabytes = kDefaultKeepMegabytes;
    qint64 keepDays = 0;
    if (!m_host.settingsFile.isEmpty()) {
        QSettings file(m_host.settingsFile, QSettings::IniFormat);
        keepMegabytes =
            file.value(QStringLiteral("History/KeepMegabytes"), keepMegabytes).toLongLong();
        keepDays = file.value(QStringLiteral("History/KeepDays"), keepDays).toLongLong();
    }
    settings.maxBytes = std::max<qint64>(keepMegabytes, 0) * kBytesPerMegabyte;
    settings.maxAgeMs = std::max<qint64>(keepDays, 0) * kMsPerDay;
    const auto now = m_host.now;
    settings.nowMs = [now] { return now().toMSecsSinceEpoch(); };
    settings.utcOffsetSeconds = [now] { return now().offsetFromUtc(); };
    // A window on the run on disk shows each commit as it lands; nobody else is woken for it.
    settings.onCommit = [this](std::int64_t, std::int64_t) {
        if (m_following)
            QMetaObject::invokeMethod(this, &HistoryFeature::commitLanded, Qt::QueuedConnection);
    };
    m_recorder = std::make_unique<runs::RunRecorder>(
        std::move(settings), [this](const runs::RecorderStatus& status) {
            QMetaObject::invokeMethod(
                this, [this, status] { storeChanged(status); }, Qt::QueuedConnection);
        });
}

HistoryFeature::~HistoryFeature() {
    // Closes the run on disk.
    m_recorder.reset();
    delete m_runList;
    qApp->removeEventFilter(this);
    // It shows the run, which goes with this feature.
    delete m_window;
}

void HistoryFeature::record(const SampleTick& tick) {
    TickValues values;
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        const ChannelTick& sample = tick.channels[static_cast<std::size_t>(channel)];
        values[static_cast<std::size_t>(channel)] = sample.valid ? sample.filtered : kNoSample;
    }
    m_run.append(tick.msSinceEpoch, values);
    if (m_recorder != nullptr) {
        m_recorder->add(tick);
        // The disk holds the run; memory keeps its newest ticks, for a store that stopped. Not
        // while the window writes a CSV file from them.
        if (m_run.size() >= 2 * m_tailTicks && (m_window == nullptr || !m_window->busy())) {
            RunStore tail;
            for (std::size_t at = m_run.size() - m_tailTicks; at < m_run.size(); ++at) {
                if (m_run.startsSegment(at))
                    tail.breakSegment();
                TickValues kept;
                for (int channel = 0; channel < kHistoryChannels; ++channel)
                    kept[static_cast<std::size_t>(channel)] = m_run.value(at, channel);
                tail.append(m_run.time(at), kept);
            }
            m_run = std::move(tail);
            m_trimmed = true;
        }
        updateCurrentRun();
        updateFollowing();
    }
    if (m_window != nullptr && m_currentRunShown == 0)
        m_window->runGrew();
}

void HistoryFeature::updateFollowing() {
    const bool following = m_recorder != nullptr && m_window != nullptr && m_currentRunShown != 0 &&
                           m_window->isVisible() && m_window->showingRun();
    if (following == m_following)
        return;
    m_following = following;
    m_recorder->setFollowed(following);
}

void HistoryFeature::commitLanded() {
    if (m_window != nullptr && m_currentRunShown != 0)
        m_window->runGrew();
}

void HistoryFeature::updateCurrentRun() {
    if (m_window == nullptr || m_recorder == nullptr)
        return;
    const qint64 run =
        !m_trimmed || m_storeStopped || m_storePath.isEmpty() ? 0 : m_recorder->currentRun();
    if (run == m_currentRunShown)
        return;
    m_currentRunShown = run;
    m_window->setCurrentStoredRun(run != 0 ? m_storePath : QString(), run);
    // A window on the run in memory goes on with the run on disk, and back.
    if (m_window->isVisible() && m_window->showingRun())
        m_window->showRun();
}

void HistoryFeature::linkChanged(const LinkEvent& event) {
    if (m_recorder != nullptr)
        m_recorder->add(event);
    // The time off line, or without the lost board, is a break in the run's history.
    if (event.change == LinkChange::OnLine || event.change == LinkChange::Back)
        m_run.breakSegment();
}

HistoryWindow& HistoryFeature::history() {
    if (m_window == nullptr) {
        HistoryServices services;
        services.now = m_host.now;
        services.regionalSettings = m_host.regionalSettings;
        services.showMessage = m_host.showMessage;
        services.chooseLogFile = askForLogFile;
        services.chooseSaveFile = askForSaveFile;
        m_window = new HistoryWindow(m_run, std::move(services), m_host.window);
        m_currentRunShown = 0;
        updateCurrentRun();
        emit windowCreated(*m_window);
    }
    return *m_window;
}

void HistoryFeature::showRun() {
    try {
        history().showRun();
    } catch (const std::exception& error) {
        m_host.reportError(QString::fromUtf8(error.what()));
    }
    updateFollowing();
}

void HistoryFeature::openLogFile() {
    try {
        history().openLogFile();
    } catch (const std::exception& error) {
        m_host.reportError(QString::fromUtf8(error.what()));
    }
}

void HistoryFeature::closeWindow() {
    if (m_window != nullptr)
        m_window->close();
    if (m_runList != nullptr)
        m_runList->close();
}

QString HistoryFeature::storeStatus() const {
    return m_storeLabel != nullptr && !m_storeLabel->isHidden() ? m_storeLabel->text() : QString();
}

void HistoryFeature::storeChanged(const runs::RecorderStatus& status) {
    m_storePath = QString::fromStdString(status.path);
    m_storeStopped = status.stopped;
    updateCurrentRun();
    const QString text = QString::fromStdString(status.text);
    if (status.stopped) {
        m_storeLabel->setText(QStringLiteral("History not saved: %1").arg(text));
        m_storeLabel->setToolTip(QStringLiteral("The run store stopped; the logs go on."));
        m_storeLabel->show();
    } else if (!text.isEmpty()) {
        m_storeLabel->setText(
            QStringLiteral("History in %1").arg(QFileInfo(m_storePath).fileName()));
        m_storeLabel->setToolTip(text);
        m_storeLabel->show();
        m_host.showMessage(QMessageBox::Warning, QStringLiteral("Warning"),
                           text + QLatin1Char('.'));
    } else {
        m_storeLabel->hide();
    }
}

void HistoryFeature::flushStore() {
    if (m_recorder != nullptr)
        m_recorder->flush();
}

void HistoryFeature::showRuns() {
    if (m_runList == nullptr) {
        m_runList = new RunListWindow(m_host.window);
        connect(m_runList, &RunListWindow::openRun, this, &HistoryFeature::openStoredRun);
        connect(m_runList, &RunListWindow::deleteRun, this, &HistoryFeature::deleteStoredRun);
    }
    m_runList->show();
    m_runList->raise();
    if (m_storePath.isEmpty()) {
        m_runList->setRuns({}, 0,
                           m_recorder == nullptr || storeStatus().isEmpty()
                               ? QStringLiteral("The run store is being opened.")
                               : storeStatus());
        return;
    }
    try {
        runs::RunDatabase database(m_storePath.toStdString(), runs::RunDatabase::Check::Header);
        m_runList->setRuns(database.runs(), m_recorder != nullptr ? m_recorder->currentRun() : 0,
                           QDir::toNativeSeparators(m_storePath));
    } catch (const std::exception& error) {
        m_runList->setRuns({}, 0, QString::fromUtf8(error.what()));
    }
}

void HistoryFeature::openStoredRun(qint64 run) {
    if (m_recorder != nullptr && run == m_recorder->currentRun()) {
        showRun();
        return;
    }
    if (m_storePath.isEmpty())
        return;
    QString name = QStringLiteral("Run %1").arg(run);
    if (m_runList != nullptr) {
        for (const runs::RunInfo& info : m_runList->runs()) {
            if (info.id == run)
                name = QStringLiteral("Run of %1")
                           .arg(RunListWindow::localText(info.startMs, info.startOffset));
        }
    }
    try {
        history().showStoredRun(m_storePath, run, name, false);
    } catch (const std::exception& error) {
        m_host.reportError(QString::fromUtf8(error.what()));
    }
}

void HistoryFeature::deleteStoredRun(qint64 run) {
    if (m_recorder == nullptr || m_runList == nullptr)
        return;
    // A long run takes a while to remove: the recorder's thread does it, the list goes on.
    m_recorder->deleteRun(run);
    std::vector<runs::RunInfo> left;
    for (const runs::RunInfo& info : m_runList->runs()) {
        if (info.id != run)
            left.push_back(info);
    }
    std::reverse(left.begin(), left.end());
    m_runList->setRuns(std::move(left), m_recorder->currentRun(),
                       QDir::toNativeSeparators(m_storePath));
}

bool HistoryFeature::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget != nullptr && (widget == m_host.chart || m_host.chart->isAncestorOf(widget))) {
            showRun();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace thermavo
