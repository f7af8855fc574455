#pragma once

#include "alarms/alarmrules.h"

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

namespace Ui {
class AlarmWindow;
}

namespace thermavo::alarms {

// Every configured alarm with its state, the recent events, and the settings of every channel's
// alarms. What it shows comes from the alarm feature; what the user does goes back through the
// callbacks.
class AlarmWindow : public QWidget {
    Q_OBJECT

public:
    struct Actions {
        std::function<void(int alarm)> acknowledge;
        std::function<void()> acknowledgeAll;
        // Returns the error that refused the settings, or an empty text.
        std::function<QString(const AlarmSettings&)> apply;
        std::function<QString(const QString& current)> chooseFolder;
    };

    AlarmWindow(Actions actions, char decimal, QWidget* parent = nullptr);
    ~AlarmWindow() override;

    Ui::AlarmWindow& ui() const { return *m_ui; }
    void showStates(const AlarmRules& rules);
    void addEvent(const QString& line);
    // Why the alarm sound could not be played, shown until it plays again; empty when it plays.
    void showSoundProblem(const QString& reason);
    void showSettings(const AlarmSettings& settings);
    // The shortest sample interval "no data" must not go below; 0 while unknown.
    void setSampleInterval(int seconds) { m_interval = seconds; }
    // The settings as typed, or the message refusing them.
    std::optional<AlarmSettings> typedSettings(QString& error) const;

private:
    void validate();
    void applyTyped();

    std::unique_ptr<Ui::AlarmWindow> m_ui;
    Actions m_actions;
    char m_decimal;
    int m_interval = 0;
    AlarmSettings m_shown;
};

} // namespace thermavo::alarms
