#include "app/frmMain.h"
#include "deniedaccess.h"
#include "history/historywindow.h"
#include "link/portdialog.h"
#include "pseudoterminal.h"
#include "ui/digitalclock.h"
#include "ui/fileedit.h"
#include "ui/indicatorshape.h"
#include "ui/integerfield.h"
#include "ui/numericreadout.h"
#include "ui/stripchart.h"
#include "ui/textreadout.h"
#include "ui_frmMain.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <memory>

using namespace thermavo;

namespace {

struct Message {
    QMessageBox::Icon icon;
    QString caption;
    QString text;
};

// A 79-character reply of the 8-channel board: channel k's pair is "2000 4000" (38.38 °C) for
// k = 0 and "1000 3000" (2.78 °C) for the others.
QByteArray eightChannelReply() {
    QByteArray text;
    for (int channel = 0; channel < 8; ++channel) {
        text += channel == 0 ? "2000 4000" : "1000 3000";
        if (channel < 7)
            text += ' ';
    }
    return text;
}

} // namespace

class MainFormTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_folder;
    std::vector<Message> m_messages;
    QDateTime m_now{QDate(2024, 12, 8), QTime(15, 12, 0)};
    std::optional<int> m_chosenPort;
    int m_portQuestions = 0;
    bool m_askWithTheDialog = false;
    std::unique_ptr<TMainForm> m_form;

    MainFormServices services() {
        MainFormServices services;
        services.now = [this] { return m_now; };
        services.regionalSettings = [] { return RegionalSettings{}; };
        // Every look at the clock moves it on by 10 ms, so the pauses pass at once.
        services.tickCount = [tick = std::uint32_t{0}]() mutable { return tick += 10; };
        services.showMessage = [this](QMessageBox::Icon icon, const QString& caption,
                                      const QString& text) {
            m_messages.push_back({icon, caption, text});
        };
        services.choosePort = [this] {
            ++m_portQuestions;
            return m_askWithTheDialog ? askForPort() : m_chosenPort;
        };
        services.settingsFile = m_folder.filePath(QStringLiteral("thermavo.INI"));
        return services;
    }

    Ui::TMainForm& ui() { return m_form->ui(); }
    QString portFolder() const { return m_folder.filePath(QStringLiteral("thermavo/ports")); }

    void goOnLine(PseudoTerminalBoard& board, int number) {
        QVERIFY(board.isValid());
        m_chosenPort = number;
        ui().OnLineButton->click();
        QVERIFY(m_form->onLine());
    }

private slots:
    void init() {
        qputenv("XDG_CONFIG_HOME", m_folder.path().toLocal8Bit());
        m_messages.clear();
        m_portQuestions = 0;
        m_chosenPort.reset();
        m_askWithTheDialog = false;
        m_now = QDateTime(QDate(2024, 12, 8), QTime(15, 12, 0));
        // Each case starts like a first run: no stored placement or board row.
        QFile::remove(m_folder.filePath(QStringLiteral("thermavo.INI")));
        m_form = std::make_unique<TMainForm>(services());
    }

    void cleanup() {
        if (m_form)
            m_form->close();
        m_form.reset();
    }

    void startState() {
        QVERIFY(!m_form->onLine());
        QVERIFY(!m_form->logRequested());
        QVERIFY(!m_form->logOpen());
        QCOMPARE(ui().SampleIntervalField->value(), 2);
        QCOMPARE(ui().MarFilterSizeField->value(), 1);
        QCOMPARE(ui().IntervalField->value(), 1);
        QCOMPARE(ui().FilterType->currentIndex(), 0);
        QCOMPARE(ui().FilterPages->currentIndex(), 0);
        QCOMPARE(ui().LoggingType->currentIndex(), 0);
        QCOMPARE(ui().LoggingPages->currentIndex(), 0);
        QCOMPARE(ui().FilterSliderEdit->value(), 1);
        QCOMPARE(ui().LogIntervalHMS->text(), QStringLiteral("0:00:02"));
        QCOMPARE(ui().UsedBoardComboBox->currentText(), QStringLiteral("Vexor08"));
        QVERIFY(!ui().LogOnAction->isEnabled());
        QVERIFY(!ui().LogOnAction->isChecked());
        QVERIFY(!ui().OnLineAction->isChecked());
        QVERIFY(ui().UsedBoardComboBox->isEnabled());
        QVERIFY(ui().LogGroup->isEnabled());
        QVERIFY(ui().WarningLabel->isHidden());
        QCOMPARE(ui().IndicatorShape->fillColor(), m_form->palette().color(QPalette::Button));
        QCOMPARE(ui().T1ActualField->text(), QStringLiteral("0.00"));
        QVERIFY(!m_form->sampleClock().isActive());
    }

    void slowBoardWarning_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("interval");
        QTest::addColumn<bool>("shown");
        QTest::newRow("8-channel, 1 s") << 0 << "1" << false;
        QTest::newRow("Vexor04, 1 s") << 1 << "1" << true;
        QTest::newRow("Vexor04, 2 s") << 1 << "2" << false;
        QTest::newRow("Vexor04 USB, 1 s") << 2 << "1" << true;
        QTest::newRow("Vexor04 USB, 1000 s") << 2 << "1000" << false;
        QTest::newRow("no row, 1 s") << -1 << "1" << true;
        QTest::newRow("no row, 5 s") << -1 << "5" << false;
        QTest::newRow("Vexor04, unreadable interval") << 1 << "" << true;
        QTest::newRow("8-channel, unreadable interval") << 0 << "" << false;
    }

    void slowBoardWarning() {
        QFETCH(int, row);
        QFETCH(QString, interval);
        QFETCH(bool, shown);
        QComboBox& list = *ui().UsedBoardComboBox;
        if (row >= 0) {
            list.setCurrentIndex(row);
        } else {
            list.lineEdit()->selectAll();
            QTest::keyClicks(list.lineEdit(), QStringLiteral("Vexor99"));
        }
        QCOMPARE(m_form->BoardRow(), row);
        // Typing runs the field's change handler, which applies the rules.
        ui().SampleIntervalField->selectAll();
        QTest::keyClick(ui().SampleIntervalField, Qt::Key_Backspace);
        QTest::keyClicks(ui().SampleIntervalField, interval);
        QCOMPARE(ui().WarningLabel->isVisibleTo(m_form.get()), shown);
    }

    void replyReachesReadoutsAndSamples() {
        m_form->DataPacketStringPacket(eightChannelReply());
        QCOMPARE(ui().T1ActualField->text(), QStringLiteral("38.38"));
        QCOMPARE(ui().T2ActualField->text(), QStringLiteral("2.78"));
        QCOMPARE(ui().T1ActualField->backgroundColor(), m_form->palette().color(QPalette::Base));
        QCOMPARE(ui().IndicatorShape->fillColor(), QColor(0x00, 0x80, 0x00));

        m_form->DataPacketStringPacket(eightChannelReply());
        QCOMPARE(ui().IndicatorShape->fillColor(), m_form->palette().color(QPalette::Button));
        m_form->DataPacketStringPacket(QByteArray());
        QCOMPARE(ui().IndicatorShape->fillColor(), m_form->palette().color(QPalette::Button));

        m_form->SampleIntervalTimerTimer();
        QVERIFY(m_form->channels()[0].Valid);
        QCOMPARE(m_form->channels()[0].Sample, 38.380001f);
        QCOMPARE(ui().T1SampledField->text(), QStringLiteral("38.38"));
        QCOMPARE(ui().T1FilteredField->text(), QStringLiteral("38.38"));
        QCOMPARE(ui().Chart1->series(0).size(), std::size_t{1});

        // The next interval has no reading: no sample, last filtered value kept, no-data colour.
        m_form->SampleIntervalTimerTimer();
        QVERIFY(!m_form->channels()[0].Valid);
        QCOMPARE(ui().T1SampledField->text(), QStringLiteral("0.00"));
        QCOMPARE(ui().T1FilteredField->text(), QStringLiteral("38.38"));
        QCOMPARE(ui().T1FilteredField->backgroundColor(),
                 m_form->palette().color(QPalette::Button));
    }

    void fourChannelBoardLeavesUpperChannelsAlone() {
        ui().UsedBoardComboBox->setCurrentIndex(1);
        m_form->DataPacketStringPacket("21.5 22.25 -3 150");
        m_form->SampleIntervalTimerTimer();
        QCOMPARE(ui().T2SampledField->text(), QStringLiteral("22.25"));
        QCOMPARE(ui().T3SampledField->text(), QStringLiteral("-3.00"));
        for (int channel = 4; channel < 8; ++channel)
            QVERIFY(!m_form->channels()[channel].Valid);
        QCOMPARE(ui().T5ActualField->text(), QStringLiteral("0.00"));
    }

    void defaultErrorReportEndsWithFullStop_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << "Unable to write to /x/thermavo.INI"
                                << "Unable to write to /x/thermavo.INI.";
        QTest::newRow("full stop") << "Disk full."
                                   << "Disk full.";
        QTest::newRow("bracket sorts before the full stop") << "Failed (5)"
                                                            << "Failed (5)";
        QTest::newRow("digit") << "Error 5"
                               << "Error 5.";
    }

    void defaultErrorReportEndsWithFullStop() {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(defaultErrorReportText(message), shown);
    }

    void hintsGoToTheStatusBar_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("status");
        QTest::newRow("button") << "OnLineButton"
                                << "Switch the board on line or off line";
        QTest::newRow("caption inside a group") << "LoggingTypeLabel"
                                                << "Data logging parameters";
        QTest::newRow("hint without a bar") << "FilterPages"
                                            << "Filter type";
        QTest::newRow("readout") << "T3FilteredField"
                                 << "Filtered temperature sample";
        QTest::newRow("chart without a hint") << "Chart1"
                                              << "";
    }

    void hintsGoToTheStatusBar() {
        QFETCH(QString, control);
        QFETCH(QString, status);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        // Start from a control with a hint so that an empty hint is a change too.
        QTest::mouseMove(ui().AverageSamplesCheckBox);
        auto* widget = m_form->findChild<QWidget*>(control);
        QVERIFY(widget != nullptr);
        QTest::mouseMove(widget, QPoint(2, widget->height() - 3));
        QTRY_COMPARE(ui().StatusBar->currentMessage(), status);
    }

    void onLineAndOffLineSendTheBoardCommands() {
        PseudoTerminalBoard board(portFolder(), 7);
        goOnLine(board, 7);
        QCOMPARE(m_portQuestions, 1);
        QCOMPARE(board.receive(150), QByteArray("\x6d"));
        QVERIFY(ui().OnLineAction->isChecked());
        QVERIFY(ui().LogOnAction->isEnabled());
        QVERIFY(!ui().UsedBoardComboBox->isEnabled());
        QVERIFY(m_form->sampleClock().isActive());

        board.send("\n" + eightChannelReply() + "\r\n" + eightChannelReply() + "\r");
        QTRY_COMPARE(ui().T1ActualField->text(), QStringLiteral("38.38"));

        ui().OnLineButton->click();
        QVERIFY(!m_form->onLine());
        QCOMPARE(board.receive(150), QByteArray(" "));
        QVERIFY(!ui().OnLineAction->isChecked());
        QVERIFY(!m_form->sampleClock().isActive());

        // The port number is kept for the run: no second question.
        ui().OnLineButton->click();
        QVERIFY(m_form->onLine());
        QCOMPARE(m_portQuestions, 1);
        QCOMPARE(board.receive(150), QByteArray("\x6d"));
    }

    // Ctrl+H pressed on the main window opens the history window on the run.
    void ctrlHShowsTheWholeRun() {
        m_form->show();
        QApplication::setActiveWindow(m_form.get());
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        QVERIFY(m_form->findChild<thermavo::HistoryWindow*>() == nullptr ||
                !m_form->findChild<thermavo::HistoryWindow*>()->isVisible());
        QTest::keyClick(m_form.get(), Qt::Key_H, Qt::ControlModifier);
        QTRY_VERIFY(m_form->findChild<thermavo::HistoryWindow*>() != nullptr &&
                    m_form->findChild<thermavo::HistoryWindow*>()->isVisible());
        QVERIFY(m_form->findChild<thermavo::HistoryWindow*>()->showingRun());
    }

    void acceleratorLeavesTheButtonAsAClickDoes() {
        PseudoTerminalBoard board(portFolder(), 8);
        QVERIFY(board.isValid());
        m_chosenPort = 8;
        m_form->show();
        QApplication::setActiveWindow(m_form.get());
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        QTest::keyClick(m_form.get(), Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(m_form->onLine());
        QTRY_VERIFY(ui().OnLineAction->isChecked());
        QTest::keyClick(m_form.get(), Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(!m_form->onLine());
        QVERIFY(!ui().OnLineAction->isChecked());
    }

    void unopenablePortIsReportedAndKept() {
        m_chosenPort = 42; // no such device in the port folder or under /dev
        ui().OnLineButton->click();
        QVERIFY(!m_form->onLine());
        QCOMPARE(m_messages.size(), std::size_t{1});
        QCOMPARE(m_messages[0].text, QStringLiteral("Unable to open the serial port."));
        QVERIFY(!ui().OnLineAction->isChecked());
        QVERIFY(ui().UsedBoardComboBox->isEnabled());
        ui().OnLineButton->click();
        QCOMPARE(m_portQuestions, 1);
        QCOMPARE(m_messages.size(), std::size_t{2});
    }

    void portYouMayNotOpenSaysWhy() {
        // The device of a group the user is not in: the box says what it always says, the status
        // bar what to do about it.
        QDir().mkpath(portFolder());
        const QString denied = m_folder.filePath(QStringLiteral("denied"));
        QVERIFY(makeDeniedFile(qPrintable(denied)));
        QFile::remove(portFolder() + QStringLiteral("/COM17"));
        QVERIFY(QFile::link(denied, portFolder() + QStringLiteral("/COM17")));
        m_chosenPort = 17;
        {
            const AccessAsUser asUser;
            ui().OnLineButton->click();
        }
        QVERIFY(!m_form->onLine());
        QCOMPARE(m_messages.size(), std::size_t{1});
        QCOMPARE(m_messages[0].caption, QStringLiteral("Error"));
        QCOMPARE(m_messages[0].text, QStringLiteral("Unable to open the serial port."));
        QVERIFY(!ui().LinkStatusLabel->isHidden());
        QCOMPARE(ui().LinkStatusLabel->text(),
                 QStringLiteral("You may not open COM17: join the group dialout, then log in "
                                "again"));
        // A port that is merely missing says nothing more, and the hint from before is gone.
        QFile::remove(portFolder() + QStringLiteral("/COM17"));
        QVERIFY(QFile::link(m_folder.filePath(QStringLiteral("nothing")),
                            portFolder() + QStringLiteral("/COM17")));
        ui().OnLineButton->click();
        QCOMPARE(m_messages.size(), std::size_t{2});
        QVERIFY(ui().LinkStatusLabel->isHidden());
    }

    void otherOpenFailureGoesToTheDefaultReport() {
        // A port number linked to a plain file: the device opens but is no serial line.
        QDir().mkpath(portFolder());
        QFile plain(m_folder.filePath(QStringLiteral("not-a-port")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QFile::remove(portFolder() + QStringLiteral("/COM16"));
        QVERIFY(QFile::link(plain.fileName(), portFolder() + QStringLiteral("/COM16")));
        m_chosenPort = 16;
        ui().OnLineButton->click();
        QVERIFY(!m_form->onLine());
        QCOMPARE(m_messages.size(), std::size_t{1});
        QCOMPARE(m_messages[0].caption, QStringLiteral("Thermavo"));
        QVERIFY(m_messages[0].text != QStringLiteral("Unable to open the serial port."));
        QVERIFY(!ui().OnLineAction->isChecked());
        QVERIFY(ui().UsedBoardComboBox->isEnabled());
    }

    void enterOnCancelOpensNothing() {
        // The real dialog lists the board's port first; the user tabs to Cancel and presses
        // Enter.
        PseudoTerminalBoard board(portFolder(), 1);
        QVERIFY(board.isValid());
        m_askWithTheDialog = true;
        QTimer::singleShot(0, [] {
            auto* dialog = qobject_cast<PortDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog != nullptr);
            QCOMPARE(dialog->selectedPort(), std::optional<int>(1));
            QTest::keyClick(dialog->focusWidget(), Qt::Key_Tab);
            QCOMPARE(dialog->focusWidget()->objectName(), QStringLiteral("cancelButton"));
            QTest::keyClick(dialog->focusWidget(), Qt::Key_Return);
        });
        ui().OnLineButton->click();
        QCOMPARE(m_portQuestions, 1);
        QVERIFY(!m_form->onLine());
        QVERIFY(!m_form->port().isOpen());
        QCOMPARE(m_form->port().ComNumber(), 0);
        QCOMPARE(board.receive(150), QByteArray());
        QCOMPARE(m_messages.size(), std::size_t{1});
        QCOMPARE(m_messages[0].text, QStringLiteral("Unable to open the serial port."));
    }

    void statusLineTellsWhenTheBoardWasLostAndBack_data() {
        QTest::addColumn<QList<QDateTime>>("lostAndBack");
        QTest::addColumn<QStringList>("status");
        const QDate day(2024, 12, 8);
        QTest::newRow("once") << QList<QDateTime>{{day, QTime(15, 12, 0)}, {day, QTime(15, 12, 5)}}
                              << QStringList{"Board lost at 15:12:00; reconnecting to COM12",
                                             "Board lost at 15:12:00, back at 15:12:05"};
        QTest::newRow("over midnight")
            << QList<QDateTime>{{day, QTime(23, 59, 58)}, {day.addDays(1), QTime(0, 0, 3)}}
            << QStringList{"Board lost at 23:59:58; reconnecting to COM12",
                           "Board lost at 08/12/2024 23:59:58, back at 00:00:03"};
        QTest::newRow("twice") << QList<QDateTime>{{day, QTime(2, 0, 0)},
                                                   {day, QTime(2, 0, 4)},
                                                   {day, QTime(3, 10, 0)},
                                                   {day, QTime(3, 10, 2)}}
                               << QStringList{
                                      "Board lost at 02:00:00; reconnecting to COM12",
                                      "Board lost at 02:00:00, back at 02:00:04",
                                      "Board lost at 03:10:00; reconnecting to COM12",
                                      "Board lost 2 times, last at 03:10:00, back at 03:10:02"};
    }

    void statusLineTellsWhenTheBoardWasLostAndBack() {
        QFETCH(QList<QDateTime>, lostAndBack);
        QFETCH(QStringList, status);
        m_form.reset();
        MainFormServices quickRetries = services();
        quickRetries.reconnectIntervalMs = 20;
        m_form = std::make_unique<TMainForm>(quickRetries);
        auto board = std::make_unique<PseudoTerminalBoard>(portFolder(), 12);
        goOnLine(*board, 12);
        QVERIFY(ui().LinkStatusLabel->isHidden());
        for (qsizetype event = 0; event < lostAndBack.size(); event += 2) {
            m_now = lostAndBack[event];
            board.reset();
            QTRY_VERIFY(m_form->reconnecting());
            QCOMPARE(ui().LinkStatusLabel->text(), status[event]);
            QVERIFY(ui().OnLineAction->isChecked());
            QVERIFY(!ui().UsedBoardComboBox->isEnabled());
            QVERIFY(!ui().LinkStatusLabel->isHidden());
            m_now = lostAndBack[event + 1];
            board = std::make_unique<PseudoTerminalBoard>(portFolder(), 12);
            QTRY_VERIFY(m_form->onLine());
            QCOMPARE(ui().LinkStatusLabel->text(), status[event + 1]);
            QVERIFY(!ui().LinkStatusLabel->isHidden());
            QCOMPARE(board->receive(100), QByteArray("\x6d"));
        }
        // Going off line by hand clears the line: the user is there.
        ui().OnLineButton->click();
        QVERIFY(ui().LinkStatusLabel->isHidden());
        QVERIFY(m_messages.empty());
    }

    void tickCountsTheRepliesAlreadyReceived() {
        PseudoTerminalBoard board(portFolder(), 15);
        goOnLine(board, 15);
        board.send("\n" + eightChannelReply() + "\r");
        // The window thread is busy while the reply arrives, and the tick comes first.
        QThread::msleep(200);
        QVERIFY(!m_form->channels()[0].Valid);
        m_form->SampleIntervalTimerTimer();
        QVERIFY(m_form->channels()[0].Valid);
        QCOMPARE(m_form->channels()[0].Sample, 38.380001f);
        QCOMPARE(ui().T1ActualField->value(), 38.380001f);
    }

    void noPortChosenAsksAgainNextTime() {
        ui().OnLineButton->click();
        ui().OnLineButton->click();
        QCOMPARE(m_portQuestions, 2);
        QCOMPARE(m_messages.size(), std::size_t{2});
        QVERIFY(!m_form->onLine());
    }

    void timeoutResendsTheStartCommand() {
        PseudoTerminalBoard board(portFolder(), 9);
        goOnLine(board, 9);
        board.receive(100);
        m_form->DataPacketTimeout();
        QCOMPARE(board.receive(150), QByteArray("\x6d"));
        QCOMPARE(ui().IndicatorShape->fillColor(), m_form->palette().color(QPalette::Button));
    }

    void sylkLogThroughTheWindow() {
        PseudoTerminalBoard board(portFolder(), 10);
        goOnLine(board, 10);
        const QString file = m_folder.filePath(QStringLiteral("log.slk"));
        ui().SylkFileEdit->setText(file);
        ui().LogOnButton->click();
        QVERIFY(m_form->logRequested());
        QVERIFY(m_form->logOpen());
        QVERIFY(ui().LogOnAction->isChecked());
        QVERIFY(!ui().LogGroup->isEnabled());

        m_form->DataPacketStringPacket(eightChannelReply());
        m_form->SampleIntervalTimerTimer();
        m_form->SampleIntervalTimerTimer();
        QCOMPARE(m_form->recordCount(), 2);
        QCOMPARE(ui().LogRecordsWritten->value(), 2);

        ui().LogOnButton->click();
        QVERIFY(!m_form->logRequested());
        QVERIFY(!m_form->logOpen());
        QFile log(file);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray expected =
            "ID;PThermavo\r\nP;PGeneral\r\nP;Pd/mmm/yyyy\\ hh:mm:ss\r\nF;P0;DG0G8\r\n"
            "F;P1;FG0G;C1\r\nF;W1 1 20\r\nF;W2 9 8\r\n"
            "C;Y1;X1;K45634.6333333333\r\nC;X2;K38.38\r\nC;X3;K2.78\r\nC;X4;K2.78\r\n"
            "C;X5;K2.78\r\nC;X6;K2.78\r\nC;X7;K2.78\r\nC;X8;K2.78\r\nC;X9;K2.78\r\n"
            "C;Y2;X1;K45634.6333333333\r\nE\r\n";
        QCOMPARE(log.readAll(), expected);
    }

    void logFileThatCannotBeCreated() {
        PseudoTerminalBoard board(portFolder(), 11);
        goOnLine(board, 11);
        ui().SylkFileEdit->setText(QString());
        ui().LogOnButton->click();
        QVERIFY(!m_form->logRequested());
        QVERIFY(!m_form->logOpen());
        QVERIFY(!ui().LogOnAction->isChecked());
        QVERIFY(ui().LogGroup->isEnabled());
        QCOMPARE(m_messages.back().text, QStringLiteral("The logfile could not be created."));
        QCOMPARE(m_messages.back().caption, QStringLiteral("Error"));
    }

    void closingWhileOnLineAndLoggingClosesLogThenLink() {
        PseudoTerminalBoard board(portFolder(), 12);
        goOnLine(board, 12);
        board.receive(100);
        const QString file = m_folder.filePath(QStringLiteral("close.txt"));
        ui().LoggingType->setCurrentIndex(1);
        m_form->LoggingTypeClick();
        ui().TABFileEdit->setText(file);
        ui().LogOnButton->click();
        QVERIFY(m_form->logOpen());
        m_form->close();
        QVERIFY(!m_form->logOpen());
        QVERIFY(!m_form->onLine());
        QVERIFY(!m_form->port().isOpen());
        QCOMPARE(board.receive(100), QByteArray(" "));
        QVERIFY(QFile::exists(m_folder.filePath(QStringLiteral("thermavo.INI"))));
    }

    void logIntervalAndSampleClock_data() {
        QTest::addColumn<int>("sampleSeconds");
        QTest::addColumn<int>("samplesPerRecord");
        QTest::addColumn<QString>("shown");
        QTest::newRow("start values") << 2 << 1 << "0:00:02";
        QTest::newRow("an hour") << 2 << 1800 << "1:00:00";
        QTest::newRow("minutes and seconds") << 7 << 1000 << "1:56:40";
        QTest::newRow("largest") << 1000 << 32767 << "9101:56:40";
    }

    void logIntervalAndSampleClock() {
        QFETCH(int, sampleSeconds);
        QFETCH(int, samplesPerRecord);
        QFETCH(QString, shown);
        ui().SampleIntervalField->setValue(sampleSeconds);
        ui().IntervalField->setValue(samplesPerRecord);
        m_form->IntervalFieldChange();
        QCOMPARE(ui().LogIntervalHMS->text(), shown);
        QCOMPARE(m_form->sampleClock().interval(), sampleSeconds * 1000);
    }

    void unreadableSampleIntervalKeepsTheClockPeriod() {
        ui().SampleIntervalField->selectAll();
        QTest::keyClick(ui().SampleIntervalField, Qt::Key_Backspace);
        QCOMPARE(ui().SampleIntervalField->value(), 0);
        QCOMPARE(ui().LogIntervalHMS->text(), QStringLiteral("0:00:00"));
        QCOMPARE(m_form->sampleClock().interval(), 2000);
    }

    void recordsComeEveryIntervalFieldTicks() {
        PseudoTerminalBoard board(portFolder(), 14);
        goOnLine(board, 14);
        ui().IntervalField->setValue(3);
        ui().SylkFileEdit->setText(m_folder.filePath(QStringLiteral("every3.slk")));
        ui().LogOnButton->click();
        QList<int> counts;
        for (int tick = 1; tick <= 6; ++tick) {
            m_form->SampleIntervalTimerTimer();
            counts << m_form->recordCount();
        }
        QCOMPARE(counts, QList<int>({0, 0, 1, 1, 1, 2}));
    }

    void restartRestoresTheBoardRow() {
        ui().UsedBoardComboBox->setCurrentIndex(2);
        m_form->close();
        m_form = std::make_unique<TMainForm>(services());
        QCOMPARE(ui().UsedBoardComboBox->currentIndex(), 2);
        QCOMPARE(ui().UsedBoardComboBox->currentText(), QStringLiteral("Vexor04 USB"));
        QFile settings(m_folder.filePath(QStringLiteral("thermavo.INI")));
        QVERIFY(settings.open(QIODevice::ReadOnly));
        QVERIFY(settings.readAll().endsWith("UsedBoardComboBox.ItemIndex=2\r\n"));
    }

    void offLineLoggingContinuesTheSameLog() {
        PseudoTerminalBoard board(portFolder(), 13);
        goOnLine(board, 13);
        ui().IntervalField->setValue(3);
        ui().SylkFileEdit->setText(m_folder.filePath(QStringLiteral("resume.slk")));
        ui().LogOnButton->click();
        m_form->DataPacketStringPacket(eightChannelReply());
        m_form->SampleIntervalTimerTimer();
        m_form->SampleIntervalTimerTimer();
        ui().OnLineButton->click();
        QVERIFY(m_form->logOpen());
        QVERIFY(ui().LogOnAction->isChecked());
        QVERIFY(!ui().LogOnAction->isEnabled());
        ui().OnLineButton->click();
        QCOMPARE(m_form->samplesSinceRecord(), 2);
        m_form->SampleIntervalTimerTimer();
        QCOMPARE(m_form->recordCount(), 1);
    }
};
QTEST_MAIN(MainFormTest)
#include "test_mainform.moc"
