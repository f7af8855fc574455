#pragma once

#include "alarms/alarmlog.h"
#include "alarms/alarmrules.h"
#include "alarms/alarmsound.h"
#include "events/featurehost.h"

#include <QObject>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <memory>

class QAction;
class QLabel;

namespace thermavo::alarms {

class AlarmProgram;
class AlarmWindow;
class DesktopNotifier;

// Watches the run the window publishes with the alarm rules, and tells the user: the status bar,
// the alarm window (Ctrl+L, the strip chart's menu, a click on the status bar text), a desktop
// notification per tick that changed something, the alarm log, the user's program and the sound.
class AlarmFeature : public QObject {
    Q_OBJECT

public:
    explicit AlarmFeature(const FeatureHost& host, QObject* parent = nullptr);
    ~AlarmFeature() override;

    // Every alarm's state and settings.
    const AlarmRules& rules() const { return m_rules; }
    // The events of this run, oldest first; the oldest go beyond kKeptRunEvents.
    const std::vector<AlarmEvent>& runEvents() const { return m_runEvents; }
    static constexpr std::size_t kKeptRunEvents = 10'000;
    char decimal() const;
    // The entries the settings file held that were dropped, one line each.
    const QStringList& droppedEntries() const { return m_dropped; }
    QLabel& statusLabel() const { return *m_status; }
    QAction& showAction() const { return *m_show; }
    // Null until first shown.
    AlarmWindow* window() const { return m_window; }
    AlarmProgram& program() const { return *m_program; }
    // Where the alarm log is written; empty when there is no folder for it.
    QString logFolder() const;
    // Where the states are kept for the next run; empty when nowhere.
    QString statesFile() const;

    void showWindow();
    void acknowledge(int alarm);
    void acknowledgeAll();
    // Keeps the settings in the settings file and applies them; gives the error that refused them.
    QString applySettings(const AlarmSettings& settings);
    // The lost board's clock: called every second while the board is lost.
    void checkLostBoard();
    void closeWindow();
    // The player the alarm sound goes through; the platform's own unless set.
    void setSoundPlayer(std::shared_ptr<SoundPlayer> player);
    // Why the sound last failed; empty while it plays.
    const QString& soundProblem() const { return m_soundProblem; }
    bool sounding() const { return m_repeat.sounding(); }

signals:
    // Each raise, clear and acknowledgement, in order.
    void alarmEvent(const thermavo::alarms::AlarmEvent& event);
    // After each change of any alarm's state.
    void alarmsChanged();
    // A line for the recent events: what the program or the notification service failed at.
    void problem(const QString& text);
    // Each time the sound player came back: the reason it failed, or an empty text.
    void soundTried(const QString& reason);

private:
    void tick(const SampleTick& tick);
    void linkChanged(const LinkEvent& event);
    void handle(const std::vector<AlarmEvent>& events);
    void writeLog(const AlarmEvent& event, const std::string& note);
    void report(const QString& text);
    void showStatus();
    void keepStates();
    void loadStates();
    void updateSound(bool raised);
    void playSound();
    void soundPlayed(const QString& reason);
    Moment now() const;

    FeatureHost m_host;
    AlarmRules m_rules;
    QStringList m_dropped;
    AlarmLog m_log;
    QLabel* m_status = nullptr;
    QAction* m_show = nullptr;
    AlarmWindow* m_window = nullptr;
    AlarmProgram* m_program = nullptr;
    DesktopNotifier* m_notifier = nullptr;
    QTimer m_lostClock;
    int m_interval = 0;
    SoundRepeat m_repeat;
    QTimer m_soundClock;
    std::shared_ptr<SoundPlayer> m_player;
    // The player runs on a thread of its own, so a sound service that is slow to answer never
    // holds up the window.
    QThread m_soundThread;
    QObject* m_soundContext = nullptr;
    bool m_soundBusy = false;
    QString m_soundProblem;
    std::vector<AlarmEvent> m_runEvents;
};

} // namespace thermavo::alarms

Q_DECLARE_METATYPE(thermavo::alarms::AlarmEvent)
