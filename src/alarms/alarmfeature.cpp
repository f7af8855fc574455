#include "alarms/alarmfeature.h"

#include "alarms/alarmprogram.h"
#include "alarms/alarmtext.h"
#include "alarms/alarmwindow.h"
#include "alarms/desktopnotifier.h"
#include "alarms/systemsound.h"
#include "events/runpublisher.h"
#include "ui/profilefile.h"
#include "ui_alarmwindow.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QSaveFile>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>
#include <exception>

namespace thermavo::alarms {

namespace {

// A label that opens the alarm window when clicked. When the status bar is short of room it
// gives way first, its text cut with an ellipsis, so the window's own status texts stay whole.
class AlarmStatusLabel : public QLabel {
public:
    AlarmStatusLabel(std::function<void()> clicked, QWidget* parent)
        : QLabel(parent), m_clicked(std::move(clicked)) {}

    QSize minimumSizeHint() const override {
        return {fontMetrics().horizontalAdvance(QStringLiteral("Alarm: T8…")),
                QLabel::minimumSizeHint().height()};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        QStyleOption option;
        option.initFrom(this);
        style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
        const QRect room = contentsRect();
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(room, Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text(), Qt::ElideRight, room.width()));
    }

    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton)
            m_clicked();
        QLabel::mouseReleaseEvent(event);
    }

private:
    std::function<void()> m_clicked;
};

// A missing or unreadable file reads as empty.
std::string readWhole(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().toStdString();
}

// A name as the log writer takes it: the file system's own bytes on Linux, UTF-8 on Windows,
// where the writer hands the system the name's UTF-16 text.
std::string logFileName(const QString& name) {
#ifdef _WIN32
    return name.toStdString();
#else
    return QFile::encodeName(name).toStdString();
#endif
}

QString eventLine(const AlarmSettings& settings, const AlarmEvent& event, char decimal) {
    return QString::fromStdString(localDateTime(event.time) + "  " +
                                  eventSummary(settings, event, decimal));
}

} // namespace

AlarmFeature::AlarmFeature(const FeatureHost& host, QObject* parent)
    : QObject(parent), m_host(host), m_program(new AlarmProgram(this)),
      m_notifier(new DesktopNotifier(this)) {
    const LoadedSettings loaded = loadSettings(readWhole(m_host.settingsFile));
    for (const std::string& dropped : loaded.dropped)
        m_dropped << QString::fromStdString(dropped);
    m_rules.setSettings(loaded.settings);
    loadStates();

    m_status = new AlarmStatusLabel([this] { showWindow(); }, m_host.statusBar);
    m_status->setObjectName(QStringLiteral("AlarmStatusLabel"));
    // White on red stands out beside the window's own texts, which stay in their colours.
    m_status->setStyleSheet(QStringLiteral(
        "QLabel { background: #c00000; color: white; font-weight: bold; padding: 0 4px; }"));
    m_status->setCursor(Qt::PointingHandCursor);
    m_status->hide();
    m_host.statusBar->addPermanentWidget(m_status);

    m_show = new QAction(QStringLiteral("Alarms…"), m_host.chart);
    m_show->setObjectName(QStringLiteral("ShowAlarmsAction"));
    m_show->setShortcut(QKeySequence(QStringLiteral("Ctrl+L")));
    m_host.chart->addAction(m_show);
    connect(m_show, &QAction::triggered, this, &AlarmFeature::showWindow);

    connect(m_host.events, &RunPublisher::sampleTick, this, &AlarmFeature::tick);
    connect(m_host.events, &RunPublisher::linkChanged, this, &AlarmFeature::linkChanged);
    m_lostClock.setInterval(1000);
    connect(&m_lostClock, &QTimer::timeout, this, &AlarmFeature::checkLostBoard);
    connect(m_program, &AlarmProgram::failed, this, [this](int alarm, const QString& reason) {
        AlarmEvent failure;
        failure.alarm = alarm;
        failure.time = now();
        writeLog(failure, "program failed: " + reason.toStdString());
        report(QStringLiteral("Alarm program for %1: %2")
                   .arg(QString::fromStdString(alarmSubject(m_rules.settings(), alarm)), reason));
    });
    connect(m_notifier, &DesktopNotifier::failed, this, [this](const QString& reason) {
        report(QStringLiteral("Desktop notification failed: %1").arg(reason));
    });
    m_soundClock.setInterval(1000);
    connect(&m_soundClock, &QTimer::timeout, this, [this] { updateSound(false); });
    for (const QString& dropped : std::as_const(m_dropped))
        report(QStringLiteral("Alarm setting dropped: %1").arg(dropped));
    showStatus();
}

AlarmFeature::~AlarmFeature() {
    m_soundThread.quit();
    m_soundThread.wait();
    delete m_window;
}

void AlarmFeature::setSoundPlayer(std::shared_ptr<SoundPlayer> player) {
    m_player = std::move(player);
}

void AlarmFeature::updateSound(bool raised) {
    if (m_repeat.update(soundWanted(m_rules), raised, now().msSinceEpoch))
        playSound();
    if (!m_repeat.sounding())
        m_soundClock.stop();
    else if (!m_soundClock.isActive())
        m_soundClock.start();
}

void AlarmFeature::playSound() {
    // A player that has not come back yet is not queued up behind.
    if (m_soundBusy)
        return;
    if (!m_player)
        m_player = makeSystemSoundPlayer();
    if (m_soundContext == nullptr) {
        m_soundContext = new QObject;
        m_soundContext->moveToThread(&m_soundThread);
        connect(&m_soundThread, &QThread::finished, m_soundContext, &QObject::deleteLater);
        m_soundThread.start();
    }
    m_soundBusy = true;
    QMetaObject::invokeMethod(
        m_soundContext,
        [this, player = m_player] {
            const QString reason = QString::fromStdString(player->play());
            // Posted to the window's thread; the destructor waits for this thread first.
            QMetaObject::invokeMethod(
                this, [this, reason] { soundPlayed(reason); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void AlarmFeature::soundPlayed(const QString& reason) {
    m_soundBusy = false;
    if (reason != m_soundProblem) {
        m_soundProblem = reason;
        // Said once per reason, not at every repeat.
        if (!reason.isEmpty())
            report(QStringLiteral("Alarm sound failed: %1").arg(reason));
        if (m_window != nullptr)
            m_window->showSoundProblem(reason);
    }
    emit soundTried(reason);
}

Moment AlarmFeature::now() const {
    const QDateTime time = m_host.now();
    return {time.toMSecsSinceEpoch(), time.offsetFromUtc()};
}

char AlarmFeature::decimal() const {
    const std::string separator =
        m_host.regionalSettings ? m_host.regionalSettings().decimalSeparator : ".";
    return separator.size() == 1 ? separator[0] : '.';
}

QString AlarmFeature::logFolder() const {
    if (!m_rules.settings().logFolder.empty())
        return QString::fromStdString(m_rules.settings().logFolder);
    if (m_host.dataFolder.isEmpty())
        return {};
    return QDir(m_host.dataFolder).filePath(QStringLiteral("alarms"));
}

QString AlarmFeature::statesFile() const {
    if (m_host.dataFolder.isEmpty())
        return {};
    return QDir(m_host.dataFolder).filePath(QStringLiteral("alarm-states.txt"));
}

void AlarmFeature::tick(const SampleTick& tick) {
    m_interval = tick.intervalSeconds;
    if (m_window != nullptr)
        m_window->setSampleInterval(m_interval);
    const std::vector<AlarmEvent> events = m_rules.onTick(tick);
    const std::vector<std::string> dropped = m_rules.takeDropped();
    for (const std::string& entry : dropped) {
        m_dropped << QString::fromStdString(entry);
        report(QStringLiteral("Alarm setting dropped: %1").arg(m_dropped.last()));
    }
    if (!dropped.empty()) {
        showStatus();
        if (m_window != nullptr)
            m_window->showSettings(m_rules.settings());
    }
    handle(events);
    // The repeat follows the sample clock too, between the sound clock's own seconds.
    if (events.empty() && m_repeat.sounding())
        updateSound(false);
    // The worst values move without any event.
    if (events.empty() && m_window != nullptr && m_window->isVisible())
        m_window->showStates(m_rules);
}

void AlarmFeature::linkChanged(const LinkEvent& event) {
    const bool wasPaused = m_rules.paused();
    handle(m_rules.onLink(event));
    if (m_rules.boardLost())
        m_lostClock.start();
    else
        m_lostClock.stop();
    if (wasPaused != m_rules.paused() && m_window != nullptr)
        m_window->showStates(m_rules);
}

void AlarmFeature::checkLostBoard() {
    handle(m_rules.onClock(now()));
}

void AlarmFeature::acknowledge(int alarm) {
    handle(m_rules.acknowledge(alarm, now()));
}

void AlarmFeature::acknowledgeAll() {
    handle(m_rules.acknowledgeAll(now()));
}

void AlarmFeature::writeLog(const AlarmEvent& event, const std::string& note) {
    const QString folder = logFolder();
    if (folder.isEmpty())
        return;
    try {
        m_log.append(logFileName(folder), alarmLogLine(m_rules.settings(), event, note));
    } catch (const std::exception& error) {
        report(QStringLiteral("The alarm log could not be written: %1")
                   .arg(QString::fromUtf8(error.what())));
    }
}

void AlarmFeature::report(const QString& text) {
    if (m_window != nullptr)
        m_window->addEvent(text);
    m_host.statusBar->showMessage(text, 10000);
    emit problem(text);
}

void AlarmFeature::handle(const std::vector<AlarmEvent>& events) {
    if (events.empty())
        return;
    const AlarmSettings& settings = m_rules.settings();
    const char separator = decimal();
    for (const AlarmEvent& event : events) {
        if (m_runEvents.size() == kKeptRunEvents)
            m_runEvents.erase(m_runEvents.begin());
        m_runEvents.push_back(event);
        writeLog(event, {});
        if (m_window != nullptr)
            m_window->addEvent(eventLine(settings, event, separator));
        if (!settings.program.empty()) {
            const EventFields fields = eventFields(settings, event);
            QProcessEnvironment environment;
            const auto set = [&environment](const char* key, const std::string& value) {
                environment.insert(QLatin1String("THERMAVO_ALARM_") + QLatin1String(key),
                                   QString::fromStdString(value));
            };
            set("CHANNEL", fields.channel);
            set("NAME", fields.name);
            set("KIND", fields.kind);
            set("EVENT", fields.event);
            set("VALUE", fields.value);
            set("LIMIT", fields.limit);
            set("TIME", fields.time);
            m_program->run(event.alarm, QString::fromStdString(settings.program), environment);
        }
        emit alarmEvent(event);
    }
    const bool raised = std::any_of(events.begin(), events.end(), [](const AlarmEvent& e) {
        return e.type == EventType::Raised;
    });
    const std::string body = notificationText(settings, events, separator);
    if (!body.empty()) {
        m_notifier->notify(raised ? QStringLiteral("Thermavo alarm")
                                  : QStringLiteral("Thermavo alarm cleared"),
                           QString::fromStdString(body), raised);
    }
    keepStates();
    showStatus();
    updateSound(raised);
    if (m_window != nullptr)
        m_window->showStates(m_rules);
    emit alarmsChanged();
}

void AlarmFeature::showStatus() {
    const QString text = QString::fromStdString(statusText(m_rules, decimal()));
    m_status->setText(text);
    m_status->setToolTip(text);
    m_status->setVisible(!text.isEmpty());
}

void AlarmFeature::keepStates() {
    const QString path = statesFile();
    if (path.isEmpty())
        return;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    const std::string text = persistedText(m_rules.persisted());
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !file.commit())
        report(QStringLiteral("The alarm states could not be kept in %1: %2")
                   .arg(QDir::toNativeSeparators(path), file.errorString()));
}

void AlarmFeature::loadStates() {
    const QString path = statesFile();
    if (path.isEmpty())
        return;
    m_rules.restore(parsePersisted(readWhole(path)));
}

QString AlarmFeature::applySettings(const AlarmSettings& settings) {
    // Key by key through the settings file's own writer, which keeps every other byte and never
    // changes a file made read-only on purpose; keys already holding their value are not written.
    try {
        // The settings file's writer takes UTF-8 names, as the window's own settings store gives
        // it.
        ProfileFile file(m_host.settingsFile.toStdString());
        const std::string before = readWhole(m_host.settingsFile);
        QDir().mkpath(QFileInfo(m_host.settingsFile).absolutePath());
        forEachEntry(settings,
                     [&](std::string_view section, std::string_view key, const std::string& value) {
                         if (findProfileValue(before, section, key) != value)
                             file.writeString(section, key, value);
                     });
    } catch (const std::exception& error) {
        return QStringLiteral("The settings could not be written: %1")
            .arg(QString::fromUtf8(error.what()));
    }
    m_rules.setSettings(settings);
    keepStates();
    showStatus();
    updateSound(false);
    if (m_window != nullptr) {
        m_window->showStates(m_rules);
        m_window->showSettings(m_rules.settings());
    }
    emit alarmsChanged();
    return {};
}

void AlarmFeature::showWindow() {
    if (m_window == nullptr) {
        AlarmWindow::Actions actions;
        actions.acknowledge = [this](int alarm) { acknowledge(alarm); };
        actions.acknowledgeAll = [this] { acknowledgeAll(); };
        actions.apply = [this](const AlarmSettings& settings) { return applySettings(settings); };
        actions.chooseFolder = [this](const QString& current) {
            return QFileDialog::getExistingDirectory(m_window, QStringLiteral("Alarm log folder"),
                                                     current.isEmpty() ? logFolder() : current);
        };
        m_window = new AlarmWindow(std::move(actions), decimal(), m_host.window);
        m_window->setSampleInterval(m_interval);
        m_window->showSettings(m_rules.settings());
        m_window->showSoundProblem(m_soundProblem);
        for (const QString& dropped : std::as_const(m_dropped))
            m_window->addEvent(QStringLiteral("Alarm setting dropped: %1").arg(dropped));
    }
    m_window->showStates(m_rules);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void AlarmFeature::closeWindow() {
    if (m_window != nullptr)
        m_window->close();
    m_log.close();
}

} // namespace thermavo::alarms
