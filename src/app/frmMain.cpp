#include "app/frmMain.h"

#include "app/apptitle.h"
#include "app/features.h"
#include "events/runpublisher.h"
#include "link/portdialog.h"
#include "link/portprobe.h"
#include "measure/board.h"
#include "measure/decode.h"
#include "measure/filters.h"
#include "ui/boardlist.h"
#include "ui/fileedit.h"
#include "ui/hintrelay.h"
#include "ui/linknotice.h"
#include "ui/pacedrepaint.h"
#include "ui/readoutformat.h"
#include "ui/readoutpanel.h"
#include "ui_frmMain.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QLineEdit>
#include <QScreen>
#include <QTimer>
#include <exception>
#include <utility>
#ifdef _WIN32
#include <qt_windows.h>
#endif

using namespace thermavo;

namespace {

constexpr std::uint32_t kStartPauseMs = 1000;
constexpr int kMillisecondsPerSecond = 1000;
constexpr int kSylkRow = 0;
constexpr int kTabRow = 1;
const QString kStatusTimeFormat = QStringLiteral("HH:mm:ss");

} // namespace

TMainForm::TMainForm(MainFormServices services, QWidget* parent)
    : QWidget(parent), m_services(std::move(services)), m_ui(std::make_unique<Ui::TMainForm>()),
      FLogFile(m_services.logDiskSync), DelayTimer(m_services.tickCount),
      IniFileStore(m_services.settingsFile) {
    setFont(windowFont());
    m_ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    m_ui->OnLineButton->setDefaultAction(m_ui->OnLineAction);
    m_ui->LogOnButton->setDefaultAction(m_ui->LogOnAction);
    m_ui->WarningLabel->setForegroundRole(QPalette::Link);
    // The warning's four lines fit its 57-pixel height only a pixel size smaller.
    QFont warningFont = font();
    warningFont.setPixelSize(font().pixelSize() - 1);
    m_ui->WarningLabel->setFont(warningFont);
    m_ui->Bevel1->setStyleSheet(
        QStringLiteral("border: none; border-left: 1px solid palette(mid);"));
    connect(
        m_ui->UsedBoardComboBox->lineEdit(), &QLineEdit::textEdited, this,
        [this](const QString& text) { keepRowInStepWithTyping(*m_ui->UsedBoardComboBox, text); });

    m_readouts = std::make_unique<ReadoutPanel>(*this);

    ComPort = new thermavo::ComPort(this);
    // A port chosen while the window was asked to close is not opened.
    ComPort->setPortChooser([this]() -> std::optional<int> {
        const std::optional<int> chosen = m_services.choosePort();
        return m_closeAfterOnLineSwitch ? std::nullopt : chosen;
    });
    if (m_services.linkTickCount)
        ComPort->setTickSource(m_services.linkTickCount);
    if (m_services.serialDevice)
        ComPort->setDeviceFactory(m_services.serialDevice);
    connect(ComPort, &thermavo::ComPort::opened, this,
            [this] { guarded([this] { ReconnectOpened(); }); });
    DataPacket = new thermavo::DataPacket(ComPort, this);
    m_board = std::make_unique<BoardCommands>(*ComPort, *DataPacket, DelayTimer);
    connect(DataPacket, &thermavo::DataPacket::StringPacket, this,
            [this](const QByteArray& data) { guarded([&] { DataPacketStringPacket(data); }); });
    connect(DataPacket, &thermavo::DataPacket::Timeout, this,
            [this] { guarded([&] { DataPacketTimeout(); }); });
    connect(ComPort, &thermavo::ComPort::portLost, this,
            [this](const QString& reason) { guarded([&] { PortLost(reason); }); });
    connect(ComPort, &thermavo::ComPort::handOverFinished, this, [this] {
        if (m_closeAfterHandOver) {
            m_closeAfterHandOver = false;
            QTimer::singleShot(0, this, &QWidget::close);
        }
    });

    SampleIntervalTimer = new QTimer(this);
    SampleIntervalTimer->setTimerType(Qt::PreciseTimer);
    connect(SampleIntervalTimer, &QTimer::timeout, this, &TMainForm::SampleIntervalTimerTimer);

    // Qt asks for one repaint of everything that changed since the last. About 20 a second keep
    // readouts and the activity indicator lively, where a board replying 50 times a second would
    // otherwise have the window repainted 50 times a second, which costs more than all the rest
    // of the program.
    m_repaint = new PacedRepaint(this, [this] { m_readouts->showPendingValues(); });

    m_reconnect = new BoardReconnect(
        m_services.reconnectIntervalMs,
        [this](const QDate& day) { return m_services.shortDateText(day); }, portDeviceExists, this);
    connect(m_reconnect, &BoardReconnect::retryDue, this,
            [this] { guarded([this] { ReconnectTimerTimer(); }); });
    m_linkNotice = std::make_unique<LinkNotice>(this, m_ui->StatusBar, m_ui->LinkStatusLabel);
    // A label of its own, left of the board's: a log taken away and a board lost are separate
    // events, and each text stays until its own matter is settled.
    m_ui->StatusBar->insertPermanentWidget(0, m_ui->LogStatusLabel);
    m_ui->LogStatusLabel->hide();

    m_ui->Chart1->setRegionalSettings(m_services.regionalSettings());
    m_hints = new HintRelay(this, [this] { ApplicationEventsHint(); });

    FormState = std::make_unique<thermavo::FormState>(IniFileStore, this);
    OvcComponentState =
        std::make_unique<thermavo::ComponentState>(IniFileStore, m_ui->UsedBoardComboBox);

    FormCreate();

    m_events = new RunPublisher(this);
    FeatureHost host = m_services.featureHost();
    host.events = m_events;
    host.window = this;
    host.statusBar = m_ui->StatusBar;
    host.chart = m_ui->Chart1;
    host.reportError = [this](const QString& message) { showDefaultErrorReport(message); };
    m_features = std::make_unique<Features>(host);

    // The stored placement and board row come back after creation, before the first show.
    guarded([this] {
        IniFileStore.open();
        try {
            m_positionRestored = FormState->restore();
        } catch (const std::exception& error) {
            showDefaultErrorReport(QString::fromUtf8(error.what()));
        }
        try {
            OvcComponentState->restore();
        } catch (const std::exception&) {
            // A broken stored board row just leaves the designed row.
        }
        IniFileStore.close();
    });
}

TMainForm::~TMainForm() {
    // They show and subscribe to this window's members.
    m_features.reset();
    m_reconnect->stop();
    // A window destroyed without a completed close request (the application told to quit from
    // elsewhere) still completes its log and stops the board while its members exist, as the
    // close request would.
    if (FLogOpen)
        guarded([this] { CloseLog(); });
    if (FOnLine) {
        bool CanClose = true;
        guarded([this, &CanClose] { FormCloseQuery(CanClose); });
    }
    // A save that failed at the close request gets a second try now.
    saveSettings(SettingsSave::RetryFailed);
}

void TMainForm::saveSettings(SettingsSave which) {
    // Each component reports its own failure; one failing does not keep the other from saving.
    const auto save = [this, which](auto& component) {
        if (which == SettingsSave::RetryFailed && component.saved())
            return;
        try {
            component.save();
        } catch (const std::exception& error) {
            showDefaultErrorReport(QString::fromUtf8(error.what()));
        }
    };
    guarded([&] {
        IniFileStore.open();
        save(*FormState);
        save(*OvcComponentState);
        IniFileStore.close();
    });
}

QFont TMainForm::windowFont() {
    // The design's 8-point sans serif at 96 pixels per inch is 11 pixels high.
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

void TMainForm::showAtStart() {
    if (!m_positionRestored) {
        const QRect area = screen()->availableGeometry();
        move(area.center() - rect().center());
    }
    // The restored show state (minimised, maximised) is already set on the window.
    show();
    m_ui->NonePage->setFocus();
}

int TMainForm::BoardRow() const {
    return m_ui->UsedBoardComboBox->currentIndex();
}

template <typename Handler> void TMainForm::guarded(Handler&& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        showDefaultErrorReport(QString::fromUtf8(error.what()));
    }
}

void TMainForm::showDefaultErrorReport(const QString& message) {
    m_services.showMessage(QMessageBox::Critical, kApplicationTitle,
                           defaultErrorReportText(message));
}

// ---- Application control ----

void TMainForm::FormCreate() {
    FOnLine = false;
    FLogRequested = false;
    FLogOpen = false;
    m_ui->SampleIntervalField->setValue(2);
    m_ui->MarFilterSizeField->setValue(1);
    m_ui->FilterType->setCurrentIndex(0);
    m_ui->LoggingType->setCurrentIndex(0);
    FilterSliderChange();
    IntervalFieldChange();
    UpdateControls();
    m_ui->IndicatorShape->setFillColor(buttonFaceColour());
    DelayTimer.Delay(kStartPauseMs);
}

void TMainForm::UpdateControls() {
    m_ui->LogOnAction->setEnabled(FOnLine);
    // The list follows the switch: the board that is on line, or being waited for, keeps its row.
    m_ui->UsedBoardComboBox->setEnabled(!FOnLine && !m_reconnect->active());
    m_ui->LogOnAction->setChecked(FLogRequested);
    m_ui->LogGroup->setEnabled(!FLogRequested);
    m_ui->WarningLabel->setVisible(BoardRow() != 0 && m_ui->SampleIntervalField->value() < 2);
    // While a lost board is tried again the switch stays on: the user still wants it on line.
    m_ui->OnLineAction->setChecked(FOnLine || m_reconnect->active());
}

void TMainForm::FormCloseQuery(bool& CanClose) {
    CanClose = true;
    if (FLogOpen)
        CloseLog();
    if (FOnLine) {
        const std::exception_ptr failure = m_board->release(BoardCommands::Release::Orderly);
        FOnLine = false;
        PublishLink(LinkChange::OffLine);
        if (failure)
            std::rethrow_exception(failure);
    }
    UpdateControls();
}

void TMainForm::closeEvent(QCloseEvent* event) {
    // A close asked for from inside a reply handler (a termination signal while a box is open
    // there) cannot shut the link down under that handler; it runs once the handler returns.
    if (ComPort->handingOver()) {
        m_closeAfterHandOver = true;
        event->ignore();
        return;
    }
    // A close that comes while the on-line switch waits in the port dialog ends the dialog
    // without a choice; the close runs once the switch has returned, with nothing opened.
    if (m_switchingOnLine) {
        m_closeAfterOnLineSwitch = true;
        rejectOpenPortDialogs();
        event->ignore();
        return;
    }
    bool CanClose = true;
    try {
        FormCloseQuery(CanClose);
    } catch (const std::exception& error) {
        // The window stays as it was, a lost board still waited for.
        showDefaultErrorReport(QString::fromUtf8(error.what()));
        event->ignore();
        return;
    }
    if (!CanClose) {
        event->ignore();
        return;
    }
    StopReconnecting();
    saveSettings(SettingsSave::All);
    // The features' windows close with this one, or the program would go on without its window.
    m_features->windowClosing();
    event->accept();
}

#ifdef _WIN32
bool TMainForm::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    // Once every program has answered WM_ENDSESSION (a logoff, a shutdown, an update's restart),
    // Windows may end the process at any moment, and Qt's own answer never lets the message loop
    // return: the close runs here, before the answer.
    const MSG& windowsMessage = *static_cast<const MSG*>(message);
    if (windowsMessage.message == WM_ENDSESSION && windowsMessage.wParam != FALSE)
        SessionEnd();
    return QWidget::nativeEvent(eventType, message, result);
}

#endif

void TMainForm::SessionEnd() {
    // Nobody is left to click a box away, and Windows allows only a few seconds.
    m_services.showMessage = [](QMessageBox::Icon, const QString&, const QString&) {};
    if (m_switchingOnLine) {
        m_closeAfterOnLineSwitch = true;
        rejectOpenPortDialogs();
    }
    StopReconnecting();
    try {
        if (FLogOpen)
            CloseLog();
    } catch (const std::exception&) {
        // The board is stopped all the same.
    }
    if (FOnLine) {
        m_board->release(BoardCommands::Release::SessionEnd);
        FOnLine = false;
        PublishLink(LinkChange::OffLine);
    }
    saveSettings(SettingsSave::All);
    m_features->windowClosing();
}

void TMainForm::UsedBoardComboBoxClick() {
    guarded([this] { UpdateControls(); });
}

void TMainForm::FilterTypeClick() {
    guarded([this] { m_ui->FilterPages->setCurrentIndex(m_ui->FilterType->currentIndex()); });
}

void TMainForm::LoggingTypeClick() {
    guarded([this] { m_ui->LoggingPages->setCurrentIndex(m_ui->LoggingType->currentIndex()); });
}

// ---- Hints ----

void TMainForm::ApplicationEventsHint() {
    guarded([this] { m_ui->StatusBar->showMessage(m_hints->current()); });
}

QString TMainForm::currentHint() const {
    return m_hints->current();
}

// ---- Board link ----

void TMainForm::GoOnLine(int row) {
    m_board->start(baudRateForRow(row, ComPort->Baud()));
    FOnLine = true;
    StartSampling();
}

void TMainForm::OnLineActionExecute() {
    guarded([this] {
        if (m_reconnect->active()) {
            // Switched off while the lost board was being waited for.
            StopReconnecting();
            UpdateControls();
            IndicatorUnlit();
        } else if (!FOnLine) {
            m_reconnect->forget();
            ShowLinkStatus();
            m_switchingOnLine = true;
            try {
                GoOnLine(BoardRow());
            } catch (const PortOpenError& error) {
                if (!m_closeAfterOnLineSwitch) {
                    // The box says what it always says; the status bar says what to do.
                    if (error.reason() == PortOpenError::Reason::NoPermission)
                        m_linkNotice->showNoPermission(ComPort->ComNumber());
                    m_services.showMessage(QMessageBox::Critical, QStringLiteral("Error"),
                                           QStringLiteral("Unable to open the serial port."));
                }
            } catch (...) {
                // Any other failure goes to the default error report, but the switch must not
                // stay pressed for a board that is off line.
                m_switchingOnLine = false;
                UpdateControls();
                IndicatorUnlit();
                throw;
            }
            if (FOnLine)
                PublishLink(LinkChange::OnLine);
            m_switchingOnLine = false;
            UpdateControls();
            IndicatorUnlit();
            if (m_closeAfterOnLineSwitch) {
                m_closeAfterOnLineSwitch = false;
                QTimer::singleShot(0, this, &QWidget::close);
            }
        } else {
            m_reconnect->stop();
            ShowLinkStatus();
            StopSampling();
            m_board->stop();
            FOnLine = false;
            UpdateControls();
            IndicatorUnlit();
            PublishLink(LinkChange::OffLine);
        }
    });
}

void TMainForm::DataPacketTimeout() {
    if (FOnLine)
        m_board->restart();
    IndicatorUnlit();
}

void TMainForm::PortLost(const QString& reason) {
    // The device is gone (an adapter pulled, a hub reset, the board's link closed): go off line
    // as the switch would, without the stop command nobody can receive, and try the same port
    // again until it is back. An open log stays open and continues then; the gap simply has no
    // records.
    if (!FOnLine)
        return;
    StopSampling();
    DataPacket->setEnabled(false);
    ComPort->close();
    FOnLine = false;
    m_reconnect->lost(ComPort->ComNumber(), BoardRow(), m_services.now());
    UpdateControls();
    IndicatorUnlit();
    ShowLinkStatus();
    PublishLink(LinkChange::Lost);
    m_linkNotice->showPortLost(reason, ComPort->ComNumber());
}

void TMainForm::ReconnectTimerTimer() {
    // A device may take seconds to open or to fail (a paired Bluetooth port out of range), so
    // the port opens on its own thread and the window goes on meanwhile; a try still under way
    // when the next is due simply goes on. The lost port was closed seconds ago, so the pause
    // before opening that a fresh close needs is over.
    if (ComPort->opening())
        return;
    DataPacket->setEnabled(false);
    ComPort->close();
    ComPort->setBaud(baudRateForRow(m_reconnect->boardRow(), ComPort->Baud()));
    try {
        ComPort->openInBackground();
    } catch (const std::exception&) {
        // Still absent, or not yet usable (an adapter being set up): the next try will tell.
    }
}

void TMainForm::ReconnectOpened() {
    // Only a try opens in the background; one the user gave up on never gets here.
    try {
        m_board->restart();
        FOnLine = true;
        StartSampling();
    } catch (const std::exception&) {
        FOnLine = false;
        DataPacket->setEnabled(false);
        ComPort->close();
        return;
    }
    m_reconnect->back(m_services.now());
    m_linkNotice->closePortLost();
    ShowLinkStatus();
    UpdateControls();
    IndicatorUnlit();
    PublishLink(LinkChange::Back);
}

void TMainForm::StopReconnecting() {
    const bool wasReconnecting = m_reconnect->active();
    m_reconnect->stop();
    // A try under way is given up; its device is released as soon as its opening returns.
    if (ComPort->opening())
        ComPort->close();
    ShowLinkStatus();
    m_linkNotice->closePortLost();
    if (wasReconnecting)
        PublishLink(LinkChange::OffLine);
}

void TMainForm::PublishLink(LinkChange change) {
    m_events->publishLink(change, m_services.now(), BoardRow(), ComPort->ComNumber());
}

void TMainForm::ShowLinkStatus() {
    m_linkNotice->showStatus(m_reconnect->statusText());
}

void TMainForm::IndicatorToggle() {
    IndicatorShape& indicator = *m_ui->IndicatorShape;
    indicator.setFillColor(indicator.fillColor() == buttonFaceColour() ? QColor(0x00, 0x80, 0x00)
                                                                       : buttonFaceColour());
}

void TMainForm::IndicatorUnlit() {
    m_ui->IndicatorShape->setFillColor(buttonFaceColour());
}

// ---- Measurement ----

void TMainForm::DataPacketStringPacket(const QByteArray& Data) {
    // The framer stays disarmed after a reply until this handler arms it again, whatever
    // happens while the reply is decoded.
    struct Rearm {
        thermavo::DataPacket* framer;
        ~Rearm() { framer->setEnabled(true); }
    } rearm{DataPacket};

    if (Data.isEmpty())
        return;
    m_repaint->replyShown();
    ++m_replies;
    IndicatorToggle();
    const DecodedReply reply =
        decodeReply(boardKindForRow(BoardRow()), std::string_view(Data.constData(), Data.size()));
    for (int index = 0; index < reply.count; ++index)
        StoreReading(reply.readings[index].channel, reply.readings[index].value);
}

void TMainForm::StoreReading(int channel, float reading) {
    ChannelState& state = FChannels[channel];
    storeReading(state, reading, m_ui->AverageSamplesCheckBox->isChecked());
    m_readouts->showReading(channel, reading, state.Count > 0);
}

void TMainForm::StartSampling() {
    for (ChannelState& state : FChannels)
        startSampling(state);
    m_ui->Chart1->clearSeries();
    m_readouts->clear();
    m_replies = 0;
    SetSampleClockPeriod();
    SampleIntervalTimer->start();
}

void TMainForm::StopSampling() {
    SampleIntervalTimer->stop();
}

void TMainForm::SampleIntervalTimerTimer() {
    guarded([this] {
        // A reply that arrived before the tick belongs to this tick's sample.
        DataPacket->handleReceived();
        const FilterSettings filter{m_ui->FilterType->currentIndex(),
                                    m_ui->MarFilterSizeField->value(),
                                    static_cast<double>(m_ui->FilterSlider->value())};
        sampleChannels(FChannels, filter);
        for (int channel = 0; channel < kChannelCount; ++channel) {
            const ChannelState& state = FChannels[channel];
            m_readouts->showSample(channel, state.Sample, state.Filtered, state.Valid);
            AddChartPoint(channel, state.Filtered);
        }
        RescaleChart();
        if (FLogOpen) {
            ++FSamplesSinceRecord;
            if (FSamplesSinceRecord >= m_ui->IntervalField->value()) {
                WriteLogRecord();
                FSamplesSinceRecord = 0;
            }
        }
        std::array<ChannelTick, kTickChannels> published;
        for (int channel = 0; channel < kChannelCount; ++channel)
            published[channel] = {FChannels[channel].Valid, FChannels[channel].Sample,
                                  FChannels[channel].Filtered};
        m_events->publishTick(m_services.now(), BoardRow(),
                              SampleIntervalTimer->interval() / kMillisecondsPerSecond,
                              std::exchange(m_replies, 0), published);
    });
}

void TMainForm::SetSampleClockPeriod() {
    // A field that cannot be read (the user is still typing) keeps the running period: a zero
    // period would make the clock tick as fast as the machine can.
    const int period = m_ui->SampleIntervalField->value() * kMillisecondsPerSecond;
    if (period > 0 && period != SampleIntervalTimer->interval())
        SampleIntervalTimer->setInterval(period);
}

void TMainForm::FilterSliderChange() {
    guarded([this] { m_ui->FilterSliderEdit->setValue(m_ui->FilterSlider->value()); });
}

// ---- Chart ----

void TMainForm::AddChartPoint(int series, float value) {
    m_ui->Chart1->addPoint(series, m_ui->OvcClock1->heldTimeOfDay(), value);
}

void TMainForm::RescaleChart() {
    std::array<bool, kChannelCount> valid{};
    for (int channel = 0; channel < kChannelCount; ++channel)
        valid[channel] = FChannels[channel].Valid;
    m_ui->Chart1->rescale(valid);
}

// ---- Logging ----

void TMainForm::IntervalFieldChange() {
    guarded([this] {
        const std::int32_t seconds =
            m_ui->SampleIntervalField->value() * m_ui->IntervalField->value();
        m_ui->LogIntervalHMS->setText(QString::fromStdString(durationText(seconds)));
        SetSampleClockPeriod();
        UpdateControls();
    });
}

void TMainForm::LogOnActionExecute() {
    guarded([this] {
        if (FLogRequested) {
            FLogRequested = false;
            try {
                CloseLog();
            } catch (const std::exception&) {
                m_services.showMessage(
                    QMessageBox::Warning, QStringLiteral("Warning"),
                    QStringLiteral("There were errors while the log was closed."));
            }
        } else {
            FSamplesSinceRecord = 0;
            try {
                OpenLog();
                FLogRequested = true;
            } catch (const std::exception&) {
                m_services.showMessage(QMessageBox::Critical, QStringLiteral("Error"),
                                       QStringLiteral("The logfile could not be created."));
            }
        }
        UpdateControls();
    });
}

void TMainForm::OpenLog() {
    FRecordCount = 0;
    m_ui->LogRecordsWritten->setValue(FRecordCount);
    m_ui->LogStatusLabel->hide();
    if (m_ui->LoggingType->currentIndex() == kSylkRow)
        FLogFile.open(LogFormat::Sylk, m_ui->SylkFileEdit->writerPath());
    else if (m_ui->LoggingType->currentIndex() == kTabRow)
        FLogFile.open(LogFormat::Tab, m_ui->TABFileEdit->writerPath());
    FLogOpen = true;
}

void TMainForm::WriteLogRecord() {
    if (!FLogRequested)
        return;
    LogChannels channels;
    for (int channel = 0; channel < kChannelCount; ++channel)
        channels[channel] = {FChannels[channel].Valid, FChannels[channel].Filtered};
    if (const auto lost =
            FLogFile.write(m_services.localNow(), channels, m_services.regionalSettings()))
        ShowLogLoss(*lost);
    ++FRecordCount;
    m_ui->LogRecordsWritten->setValue(FRecordCount);
}

void TMainForm::ShowLogLoss(const LogLossReport& report) {
    const QString at = m_services.now().time().toString(kStatusTimeFormat);
    m_ui->LogStatusLabel->setText(
        QString::fromStdString(FLogFile.lossText(report, at.toStdString())));
    m_ui->LogStatusLabel->show();
}

void TMainForm::CloseLog() {
    FLogOpen = false;
    FLogFile.close();
}

void TMainForm::SylkFileEditButtonClick() {
    guarded([this] {
        m_ui->SylkFileEdit->browse(
            QStringLiteral("Select a symbolic link file"),
            QStringLiteral("symbolic link files *.slk (*.slk);;all files *.* (*)"),
            QStringLiteral("slk"));
    });
}

void TMainForm::TABFileEditButtonClick() {
    guarded([this] {
        m_ui->TABFileEdit->browse(QStringLiteral("Select a text file"),
                                  QStringLiteral("text files *.txt (*.txt);;all files *.* (*)"),
                                  QStringLiteral("txt"));
    });
}

// ---- Helpers ----

QColor TMainForm::buttonFaceColour() const {
    return palette().color(QPalette::Button);
}
