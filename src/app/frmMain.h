#pragma once

#include "app/apptitle.h"
#include "events/featurehost.h"
#include "events/runevents.h"
#include "link/boardcommands.h"
#include "link/boardreconnect.h"
#include "link/comport.h"
#include "link/datapacket.h"
#include "link/delaytimer.h"
#include "log/datetime.h"
#include "log/logfile.h"
#include "log/logsession.h"
#include "measure/channelstate.h"
#include "ui/componentstate.h"
#include "ui/formstate.h"
#include "ui/inifilestore.h"
#include "ui/regional.h"

#include <QDateTime>
#include <QMessageBox>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace Ui {
class TMainForm;
}

namespace thermavo {
class Features;
class HintRelay;
class LinkNotice;
class PacedRepaint;
class ReadoutPanel;
class RunPublisher;
class SerialDevice;
} // namespace thermavo

// Everything the main window reads from the outside world, so tests can stand in for it.
struct MainFormServices {
    std::function<QDateTime()> now;
    std::function<thermavo::RegionalSettings()> regionalSettings;
    // The millisecond tick count of the pauses around the board commands.
    std::function<std::uint32_t()> tickCount;
    // The millisecond tick count of the reply time-out, read on the link's own thread.
    std::function<std::uint32_t()> linkTickCount;
    // Shows a modal message box; tests record instead of waiting for a click.
    std::function<void(QMessageBox::Icon icon, const QString& caption, const QString& text)>
        showMessage;
    // Asks for a port number when none has been chosen yet in this run.
    std::function<std::optional<int>()> choosePort;
    QString settingsFile;
    // Where the features keep their data.
    QString dataFolder;
    // How often a lost board's port is tried again.
    int reconnectIntervalMs = 2000;
    // Makes the serial device the link drives; the platform's own when empty.
    std::function<std::unique_ptr<thermavo::SerialDevice>()> serialDevice;
    // How the log reaches the disk itself, off the window thread.
    thermavo::DiskSyncSettings logDiskSync;

    static MainFormServices system();
    // The local time now, as the logs write it.
    thermavo::LocalDateTime localNow() const;
    // The day in the regional short date pattern.
    QString shortDateText(const QDate& day) const;
    // What the features get of these; the window adds what it lends them of itself.
    thermavo::FeatureHost featureHost() const;
};

// The program's one window: it owns all state and binds every event to a handler. The rules
// that need no window live in the measure, log, link and ui rooms; the handlers call them.
class TMainForm : public QWidget {
    Q_OBJECT

public:
    explicit TMainForm(MainFormServices services = MainFormServices::system(),
                       QWidget* parent = nullptr);
    ~TMainForm() override;

    // Shows the window the first time: centred unless a stored position was restored, and in
    // the stored show state.
    void showAtStart();

    // The selected row of the board list; -1 when its text was edited to match no row.
    int BoardRow() const;

    // The long part of the hint of the control under the mouse, as the status bar shows it.
    QString currentHint() const;

    static QFont windowFont();

    bool onLine() const { return FOnLine; }
    // The board's port was lost while on line and is being tried again.
    bool reconnecting() const { return m_reconnect->active(); }
    bool logRequested() const { return FLogRequested; }
    bool logOpen() const { return FLogOpen; }
    const thermavo::Channels& channels() const { return FChannels; }
    std::int32_t recordCount() const { return FRecordCount; }
    std::int32_t samplesSinceRecord() const { return FSamplesSinceRecord; }
    thermavo::ComPort& port() { return *ComPort; }
    QTimer& sampleClock() { return *SampleIntervalTimer; }
    Ui::TMainForm& ui() { return *m_ui; }
    // What the window publishes, and the features that subscribe to it.
    thermavo::RunPublisher& events() const { return *m_events; }
    thermavo::Features& features() const { return *m_features; }

    // The reply and time-out handlers of the framer; public so tests can hand replies in.
    void DataPacketStringPacket(const QByteArray& Data);
    void DataPacketTimeout();

    void FormCloseQuery(bool& CanClose);
    // The session ends (a logout, a shutdown, a termination signal): the log is completed, the
    // board stopped and the settings saved at once, without a box, also while one waits for a
    // click inside a reply handler. The window is left to be closed or destroyed.
    void SessionEnd();

public slots:
    void OnLineActionExecute();
    void LogOnActionExecute();
    void UsedBoardComboBoxClick();
    void FilterTypeClick();
    void LoggingTypeClick();
    void IntervalFieldChange();
    void FilterSliderChange();
    void SylkFileEditButtonClick();
    void TABFileEditButtonClick();
    void SampleIntervalTimerTimer();
    void ApplicationEventsHint();

protected:
    void closeEvent(QCloseEvent* event) override;
#ifdef _WIN32
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

private:
    void FormCreate();
    void UpdateControls();
    void StoreReading(int channel, float reading);
    void StartSampling();
    void StopSampling();
    void AddChartPoint(int series, float value);
    void RescaleChart();
    void PublishLink(thermavo::LinkChange change);
    void OpenLog();
    void WriteLogRecord();
    void CloseLog();
    void ShowLogLoss(const thermavo::LogLossReport& report);
    void IndicatorToggle();
    void IndicatorUnlit();
    void SetSampleClockPeriod();
    void GoOnLine(int row);
    void PortLost(const QString& reason);
    void ReconnectTimerTimer();
    void ReconnectOpened();
    void StopReconnecting();
    void ShowLinkStatus();

    enum class SettingsSave { All, RetryFailed };
    void saveSettings(SettingsSave which);

    template <typename Handler> void guarded(Handler&& handler);
    void showDefaultErrorReport(const QString& message);
    QColor buttonFaceColour() const;

    MainFormServices m_services;
    std::unique_ptr<Ui::TMainForm> m_ui;

    bool FOnLine = false;
    bool FLogRequested = false;
    bool FLogOpen = false;
    thermavo::LogSession FLogFile;
    std::int32_t FRecordCount = 0;
    std::int32_t FSamplesSinceRecord = 0;
    thermavo::Channels FChannels{};

    thermavo::ComPort* ComPort = nullptr;
    thermavo::DataPacket* DataPacket = nullptr;
    thermavo::TDelayTimer DelayTimer;
    std::unique_ptr<thermavo::BoardCommands> m_board;
    QTimer* SampleIntervalTimer = nullptr;
    thermavo::BoardReconnect* m_reconnect = nullptr;
    thermavo::PacedRepaint* m_repaint = nullptr;

    thermavo::IniFileStore IniFileStore;
    std::unique_ptr<thermavo::FormState> FormState;
    std::unique_ptr<thermavo::ComponentState> OvcComponentState;
    bool m_positionRestored = false;
    bool m_closeAfterHandOver = false;
    bool m_switchingOnLine = false;
    bool m_closeAfterOnLineSwitch = false;

    std::unique_ptr<thermavo::LinkNotice> m_linkNotice;
    std::unique_ptr<thermavo::ReadoutPanel> m_readouts;
    thermavo::HintRelay* m_hints = nullptr;

    // Replies since the last sample tick.
    std::int32_t m_replies = 0;
    thermavo::RunPublisher* m_events = nullptr;
    std::unique_ptr<thermavo::Features> m_features;
};
