#include "history/historyfeature.h"

#include "events/runpublisher.h"
#include "history/historywindow.h"

#include <QAction>
#include <QApplication>
#include <QMouseEvent>
#include <exception>

namespace thermavo {

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
}

HistoryFeature::~HistoryFeature() {
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
    if (m_window != nullptr)
        m_window->runGrew();
}

void HistoryFeature::linkChanged(const LinkEvent& event) {
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
    }
    return *m_window;
}

void HistoryFeature::showRun() {
    try {
        history().showRun();
    } catch (const std::exception& error) {
        m_host.reportError(QString::fromUtf8(error.what()));
    }
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
