#include "app/frmMain.h"

#include "app/apptitle.h"
#include "history/historywindow.h"
#include "link/portdialog.h"
#include "link/portprobe.h"
#include "log/sylklog.h"
#include "log/tablog.h"
#include "measure/board.h"
#include "measure/decode.h"
#include "measure/filters.h"
#include "ui/fileedit.h"
#include "ui/inifilestore.h"
#include "ui/numericreadout.h"
#include "ui/regionalqt.h"
#include "ui_frmMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QHelpEvent>
#include <QLineEdit>
#include <QScreen>
#include <QTimer>
#include <QToolTip>
#include <exception>
#ifdef _WIN32
#include <qt_windows.h>
#endif

using namespace thermavo;

namespace {

constexpr std::uint8_t kStartCommand = 0x6D;
constexpr std::uint8_t kStopCommand = 0x20;
constexpr std::uint32_t kStartPauseMs = 1000;
constexpr std::uint32_t kBeforeOpenPauseMs = 100;
constexpr std::uint32_t kStopCommandPauseMs = 50;
constexpr std::uint32_t kAfterClosePauseMs = 100;
constexpr std::uint32_t kClosePauseMs = 100;
constexpr int kMillisecondsPerSecond = 1000;
constexpr int kSylkRow = 0;
constexpr int kTabRow = 1;
const QString kStatusTimeFormat = QStringLiteral("HH:mm:ss");

// The long part of a hint goes to the status bar, the short part is the tooltip.
QString longHint(const QString& hint) {
    const qsizetype bar = hint.indexOf(QLatin1Char('|'));
    return bar < 0 ? hint : hint.mid(bar + 1);
}

QString shortHint(const QString& hint) {
    const qsizetype bar = hint.indexOf(QLatin1Char('|'));
    return bar < 0 ? hint : hint.left(bar);
}

// A log file's name as the log writer takes it: the file system's own bytes on Linux, UTF-8 on
// Windows, where the writer hands the system the name's UTF-16 text.
std::string logFilePath(const QString& name) {
#ifdef _WIN32
    return name.toStdString();
#else
    return QFile::encodeName(name).toStdString();
#endif
}

void showModalMessage(QMessageBox::Icon icon, const QString& caption, const QString& text) {
    QMessageBox box(icon, caption, text, QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

} // namespace

MainFormServices MainFormServices::system() {
    MainFormServices services;
    services.now = [] { return QDateTime::currentDateTime(); };
    services.regionalSettings = systemRegionalSettings;
    services.tickCount = systemTickCount;
    services.linkTickCount = systemTickCount;
    services.showMessage = showModalMessage;
    services.choosePort = [] { return askForPort(); };
    services.settingsFile = settingsFilePath();
    return services;
}

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
    connect(m_ui->UsedBoardComboBox->lineEdit(), &QLineEdit::textEdited, this,
            &TMainForm::keepBoardRowInStepWithTyping);

    for (int channel = 0; channel < kChannelCount; ++channel) {
        const QString name = QStringLiteral("T%1%2Field").arg(channel + 1);
        m_actualFields[channel] = findChild<NumericReadout*>(name.arg(QStringLiteral("Actual")));
        m_sampledFields[channel] = findChild<NumericReadout*>(name.arg(QStringLiteral("Sampled")));
        m_filteredFields[channel] =
            findChild<NumericReadout*>(name.arg(QStringLiteral("Filtered")));
        for (NumericReadout* readout :
             {m_actualFields[channel], m_sampledFields[channel], m_filteredFields[channel]})
            readout->setDeferredText(true);
    }

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

    m_windowClock.start();
    m_paintTimer = new QTimer(this);
    m_paintTimer->setSingleShot(true);
    connect(m_paintTimer, &QTimer::timeout, this, [this] {
        QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    });

    m_reconnect = new BoardReconnect(
        m_services.reconnectIntervalMs,
        [this](const QDate& day) {
            return QString::fromStdString(
                shortDateText(LocalDateTime{day.year(), day.month(), day.day()},
                              m_services.regionalSettings().shortDatePattern));
        },
        portDeviceExists, this);
    connect(m_reconnect, &BoardReconnect::retryDue, this,
            [this] { guarded([this] { ReconnectTimerTimer(); }); });
    // On the right of the status bar, where the hints shown on the left never cover it.
    m_ui->StatusBar->addPermanentWidget(m_ui->LinkStatusLabel);
    m_ui->LinkStatusLabel->hide();
    // A label of its own, left of the board's: a log taken away and a board lost are separate
    // events, and each text stays until its own matter is settled.
    m_ui->StatusBar->insertPermanentWidget(0, m_ui->LogStatusLabel);
    m_ui->LogStatusLabel->hide();

    m_ui->Chart1->setRegionalSettings(m_services.regionalSettings());
    qApp->installEventFilter(this);

    FormState = std::make_unique<thermavo::FormState>(IniFileStore, this);
    OvcComponentState =
        std::make_unique<thermavo::ComponentState>(IniFileStore, m_ui->UsedBoardComboBox);

    FormCreate();

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
    qApp->removeEventFilter(this);
    // It shows the run, which goes with this window's members.
    delete m_history;
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

QString defaultErrorReportText(const QString& message) {
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
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
        std::exception_ptr failure;
        try {
            DataPacket->setEnabled(false);
            ComPort->SendByte(kStopCommand);
            DelayTimer.Delay(kClosePauseMs);
        } catch (...) {
            failure = std::current_exception();
        }
        // The port never stays open, whatever the stop command did.
        ComPort->close();
        FOnLine = false;
        DelayTimer.Delay(kClosePauseMs);
        if (failure)
            std::rethrow_exception(failure);
    }
    UpdateControls();
}

bool TMainForm::event(QEvent* event) {
    // Qt asks for one repaint of everything that changed since the last. About 20 a second keep
    // readouts and the activity indicator lively, where a board replying 50 times a second would
    // otherwise have the window repainted 50 times a second, which costs more than all the rest
    // of the program; a request that comes too soon waits, and everything changed meanwhile is
    // painted together then.
    if (event->type() == QEvent::UpdateRequest) {
        const qint64 wait = m_repaintPacer.waitBeforePainting(m_windowClock.elapsed());
        if (wait > 0) {
            if (!m_paintTimer->isActive())
                m_paintTimer->start(static_cast<int>(wait));
            return true;
        }
        m_paintTimer->stop();
        for (int channel = 0; channel < kChannelCount; ++channel) {
            for (NumericReadout* readout :
                 {m_actualFields[channel], m_sampledFields[channel], m_filteredFields[channel]})
                readout->showPendingValue();
        }
    }
    return QWidget::event(event);
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
        rejectPortDialog();
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
    // The history window closes with this one, or the program would go on without its window.
    if (m_history != nullptr)
        m_history->close();
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
        rejectPortDialog();
    }
    StopReconnecting();
    try {
        if (FLogOpen)
            CloseLog();
    } catch (const std::exception&) {
        // The board is stopped all the same.
    }
    if (FOnLine) {
        DataPacket->setEnabled(false);
        try {
            ComPort->SendByte(kStopCommand);
            DelayTimer.Delay(kClosePauseMs);
        } catch (const std::exception&) {
            // The port is released whatever the stop command did.
        }
        // Also under a reply handler whose box nobody will click away.
        ComPort->closeAtOnce();
        FOnLine = false;
    }
    saveSettings(SettingsSave::All);
}

void TMainForm::UsedBoardComboBoxClick() {
    guarded([this] { UpdateControls(); });
}

void TMainForm::rejectPortDialog() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<PortDialog*>(widget); dialog != nullptr)
            dialog->reject();
    }
}

void TMainForm::FilterTypeClick() {
    guarded([this] { m_ui->FilterPages->setCurrentIndex(m_ui->FilterType->currentIndex()); });
}

void TMainForm::LoggingTypeClick() {
    guarded([this] { m_ui->LoggingPages->setCurrentIndex(m_ui->LoggingType->currentIndex()); });
}

void TMainForm::keepBoardRowInStepWithTyping(const QString& text) {
    // A typed text that names no row leaves no row selected, as the board list's own rule has
    // it; the typed text itself stays in the box.
    QComboBox& list = *m_ui->UsedBoardComboBox;
    const int row = list.findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (row == list.currentIndex())
        return;
    QLineEdit& edit = *list.lineEdit();
    const int cursor = edit.cursorPosition();
    const QSignalBlocker blocker(list);
    list.setCurrentIndex(row);
    edit.setText(text);
    edit.setCursorPosition(cursor);
}

// ---- Hints ----

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Enter:
        trackHint(static_cast<QEnterEvent*>(event)->globalPosition().toPoint());
        break;
    case QEvent::MouseMove:
        trackHint(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
        break;
    case QEvent::MouseButtonDblClick:
        if (auto* widget = qobject_cast<QWidget*>(watched);
            widget != nullptr && (widget == m_ui->Chart1 || m_ui->Chart1->isAncestorOf(widget))) {
            ShowHistoryActionExecute();
            return true;
        }
        break;
    case QEvent::Leave:
        if (watched == this && !m_currentHint.isEmpty()) {
            m_currentHint.clear();
            ApplicationEventsHint();
        }
        break;
    case QEvent::ToolTip: {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr || widget->window() != this)
            break;
        const QString tip = shortHint(hintAt(widget));
        const auto* help = static_cast<QHelpEvent*>(event);
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), tip, widget);
        return true;
    }
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

QString TMainForm::hintAt(const QWidget* widget) const {
    for (; widget != nullptr; widget = widget->parentWidget()) {
        const QString hint = widget->property("hint").toString();
        if (!hint.isEmpty())
            return hint;
        if (widget == this)
            break;
    }
    return {};
}

void TMainForm::trackHint(const QPoint& globalPosition) {
    const QWidget* under = QApplication::widgetAt(globalPosition);
    const QString hint =
        under != nullptr && under->window() == this ? longHint(hintAt(under)) : QString();
    if (hint == m_currentHint)
        return;
    m_currentHint = hint;
    ApplicationEventsHint();
}

void TMainForm::ApplicationEventsHint() {
    guarded([this] { m_ui->StatusBar->showMessage(m_currentHint); });
}

QString TMainForm::currentHint() const {
    return m_currentHint;
}

// ---- Board link ----

void TMainForm::GoOnLine(int row) {
    DataPacket->setEnabled(false);
    ComPort->close();
    DelayTimer.Delay(kBeforeOpenPauseMs);
    ComPort->setBaud(baudRateForRow(row, ComPort->Baud()));
    ComPort->open();
    ComPort->SendByte(kStartCommand);
    FOnLine = true;
    DataPacket->setEnabled(true);
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
                    if (error.reason() == PortOpenError::Reason::NoPermission) {
                        m_ui->LinkStatusLabel->setText(
                            QStringLiteral("You may not open COM%1: join the group dialout, "
                                           "then log in again")
                                .arg(ComPort->ComNumber()));
                        m_ui->LinkStatusLabel->show();
                    }
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
            DataPacket->setEnabled(false);
            ComPort->SendByte(kStopCommand);
            DelayTimer.Delay(kStopCommandPauseMs);
            ComPort->close();
            DelayTimer.Delay(kAfterClosePauseMs);
            FOnLine = false;
            UpdateControls();
            IndicatorUnlit();
        }
    });
}

void TMainForm::DataPacketTimeout() {
    if (FOnLine) {
        ComPort->SendByte(kStartCommand);
        DataPacket->setEnabled(true);
    }
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

    // Nobody may be there to click it: the box neither waits nor outlives the loss it reports.
    delete m_portLostBox;
    m_portLostBox = new QMessageBox(
        QMessageBox::Warning, QStringLiteral("Warning"),
        QStringLiteral("The serial port stopped working (%1). The board is off line until COM%2 "
                       "is back; Thermavo reconnects by itself.")
            .arg(reason)
            .arg(ComPort->ComNumber()),
        QMessageBox::Ok, this);
    m_portLostBox->setObjectName(QStringLiteral("PortLostBox"));
    m_portLostBox->setModal(false);
    m_portLostBox->setAttribute(Qt::WA_DeleteOnClose);
    m_portLostBox->setAttribute(Qt::WA_ShowWithoutActivating);
    m_portLostBox->show();
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
        ComPort->SendByte(kStartCommand);
        FOnLine = true;
        DataPacket->setEnabled(true);
        StartSampling();
    } catch (const std::exception&) {
        FOnLine = false;
        DataPacket->setEnabled(false);
        ComPort->close();
        return;
    }
    m_reconnect->back(m_services.now());
    CloseLostBox();
    ShowLinkStatus();
    UpdateControls();
    IndicatorUnlit();
}

void TMainForm::StopReconnecting() {
    m_reconnect->stop();
    // A try under way is given up; its device is released as soon as its opening returns.
    if (ComPort->opening())
        ComPort->close();
    ShowLinkStatus();
    CloseLostBox();
}

void TMainForm::ShowLinkStatus() {
    m_ui->LinkStatusLabel->setText(m_reconnect->statusText());
    m_ui->LinkStatusLabel->setVisible(!m_reconnect->statusText().isEmpty());
}

void TMainForm::CloseLostBox() {
    if (m_portLostBox != nullptr)
        m_portLostBox->close();
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
    m_repaintPacer.replyShown(m_windowClock.elapsed());
    IndicatorToggle();
    const DecodedReply reply =
        decodeReply(boardKindForRow(BoardRow()), std::string_view(Data.constData(), Data.size()));
    for (int index = 0; index < reply.count; ++index)
        StoreReading(reply.readings[index].channel, reply.readings[index].value);
}

void TMainForm::StoreReading(int channel, float reading) {
    ChannelState& state = FChannels[channel];
    storeReading(state, reading, m_ui->AverageSamplesCheckBox->isChecked());
    m_actualFields[channel]->setValue(reading);
    m_actualFields[channel]->setBackgroundColor(state.Count > 0 ? windowColour()
                                                                : buttonFaceColour());
}

void TMainForm::StartSampling() {
    for (ChannelState& state : FChannels)
        startSampling(state);
    m_ui->Chart1->clearSeries();
    for (int channel = 0; channel < kChannelCount; ++channel) {
        for (NumericReadout* readout :
             {m_actualFields[channel], m_sampledFields[channel], m_filteredFields[channel]}) {
            readout->setValue(0.0f);
            readout->setBackgroundColor(buttonFaceColour());
        }
    }
    // The time off line is a break in the run's history.
    m_run.breakSegment();
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
            const QColor colour = state.Valid ? windowColour() : buttonFaceColour();
            m_sampledFields[channel]->setValue(state.Sample);
            m_sampledFields[channel]->setBackgroundColor(colour);
            m_filteredFields[channel]->setValue(state.Filtered);
            m_filteredFields[channel]->setBackgroundColor(colour);
            AddChartPoint(channel, state.Filtered);
        }
        RescaleChart();
        RecordRunTick();
        if (FLogOpen) {
            ++FSamplesSinceRecord;
            if (FSamplesSinceRecord >= m_ui->IntervalField->value()) {
                WriteLogRecord();
                FSamplesSinceRecord = 0;
            }
        }
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

// ---- History ----

void TMainForm::RecordRunTick() {
    TickValues values;
    for (int channel = 0; channel < kChannelCount; ++channel)
        values[channel] = FChannels[channel].Valid ? FChannels[channel].Filtered : kNoSample;
    m_run.append(m_services.now().toMSecsSinceEpoch(), values);
    if (m_history != nullptr)
        m_history->runGrew();
}

HistoryWindow& TMainForm::history() {
    if (m_history == nullptr) {
        HistoryServices services;
        services.now = m_services.now;
        services.regionalSettings = m_services.regionalSettings;
        services.showMessage = m_services.showMessage;
        services.chooseLogFile = askForLogFile;
        services.chooseSaveFile = askForSaveFile;
        m_history = new HistoryWindow(m_run, std::move(services), this);
    }
    return *m_history;
}

void TMainForm::ShowHistoryActionExecute() {
    guarded([this] { history().showRun(); });
}

void TMainForm::OpenLogActionExecute() {
    guarded([this] { history().openLogFile(); });
}

// ---- Logging ----

void TMainForm::IntervalFieldChange() {
    guarded([this] {
        const std::int32_t seconds =
            m_ui->SampleIntervalField->value() * m_ui->IntervalField->value();
        const std::int32_t hours = seconds / 3600;
        const std::int32_t minutes = (seconds % 3600) / 60;
        const std::int32_t rest = (seconds % 3600) % 60;
        m_ui->LogIntervalHMS->setText(QString::asprintf("%d:%.2d:%.2d", hours, minutes, rest));
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
    m_logLosses = 0;
    if (m_ui->LoggingType->currentIndex() == kSylkRow)
        openSylkLog(FLogFile, logFilePath(m_ui->SylkFileEdit->text()));
    else if (m_ui->LoggingType->currentIndex() == kTabRow)
        openTabLog(FLogFile, logFilePath(m_ui->TABFileEdit->text()));
    FLogOpen = true;
}

void TMainForm::WriteLogRecord() {
    if (!FLogRequested)
        return;
    LogChannels channels;
    for (int channel = 0; channel < kChannelCount; ++channel)
        channels[channel] = {FChannels[channel].Valid, FChannels[channel].Filtered};
    try {
        // Never into a file that lost its name: the record goes where the log goes on.
        const LogFile::Continuation continuation = FLogFile.followName();
        if (continuation.loss != LogLoss::None)
            ShowLogLoss(continuation.loss,
                        QFileInfo(QFile::decodeName(continuation.path.c_str())).fileName());
        if (m_ui->LoggingType->currentIndex() == kSylkRow)
            writeSylkRecord(FLogFile, localNow(), channels);
        else if (m_ui->LoggingType->currentIndex() == kTabRow)
            writeTabRecord(FLogFile, localNow(), channels, m_services.regionalSettings());
    } catch (const LogFileLost& lost) {
        ShowLogLoss(lost.loss(), QString());
    } catch (const std::exception&) {
        // A record that cannot be written is dropped; logging goes on with the next one.
    }
    ++FRecordCount;
    m_ui->LogRecordsWritten->setValue(FRecordCount);
}

// What became of the log file and where the log goes on; an empty name: nowhere yet, the next
// record tries again.
void TMainForm::ShowLogLoss(LogLoss loss, const QString& goesOnIn) {
    const QString what =
        loss == LogLoss::Deleted ? QStringLiteral("deleted") : QStringLiteral("replaced");
    QString outcome;
    if (goesOnIn.isEmpty()) {
        outcome = loss == LogLoss::Deleted ? QStringLiteral("cannot be created again")
                                           : QStringLiteral("cannot go on writing");
    } else {
        ++m_logLosses;
        if (loss == LogLoss::Deleted)
            outcome = QStringLiteral("created again");
        else if (m_ui->LoggingType->currentIndex() == kSylkRow)
            outcome = QStringLiteral("continued in %1").arg(goesOnIn);
        else
            outcome = QStringLiteral("appending to the new file");
    }
    const QString at = m_services.now().time().toString(kStatusTimeFormat);
    m_ui->LogStatusLabel->setText(
        m_logLosses > 1 ? QStringLiteral("Log file lost %1 times, last %2 at %3, %4")
                              .arg(m_logLosses)
                              .arg(what, at, outcome)
                        : QStringLiteral("Log file %1 at %2, %3").arg(what, at, outcome));
    m_ui->LogStatusLabel->show();
}

void TMainForm::CloseLog() {
    FLogOpen = false;
    if (m_ui->LoggingType->currentIndex() == kSylkRow)
        closeSylkLog(FLogFile);
    else if (m_ui->LoggingType->currentIndex() == kTabRow)
        closeTabLog(FLogFile);
}

void TMainForm::SylkFileEditButtonClick() {
    guarded([this] {
        chooseLogFile(*m_ui->SylkFileEdit, QStringLiteral("Select a symbolic link file"),
                      QStringLiteral("symbolic link files *.slk (*.slk);;all files *.* (*)"),
                      QStringLiteral("slk"));
    });
}

void TMainForm::TABFileEditButtonClick() {
    guarded([this] {
        chooseLogFile(*m_ui->TABFileEdit, QStringLiteral("Select a text file"),
                      QStringLiteral("text files *.txt (*.txt);;all files *.* (*)"),
                      QStringLiteral("txt"));
    });
}

void TMainForm::chooseLogFile(FileEdit& edit, const QString& title, const QString& filter,
                              const QString& suffix) {
    QFileDialog dialog(this, title);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(suffix);
    dialog.setSizeGripEnabled(true);
    if (!edit.text().isEmpty())
        dialog.selectFile(edit.text());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    edit.setText(QDir::toNativeSeparators(
        QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath()));
}

// ---- Helpers ----

QColor TMainForm::windowColour() const {
    return palette().color(QPalette::Base);
}

QColor TMainForm::buttonFaceColour() const {
    return palette().color(QPalette::Button);
}

LocalDateTime TMainForm::localNow() const {
    const QDateTime now = m_services.now();
    const QDate date = now.date();
    const QTime time = now.time();
    return LocalDateTime{date.year(),   date.month(),  date.day(), time.hour(),
                         time.minute(), time.second(), time.msec()};
}
