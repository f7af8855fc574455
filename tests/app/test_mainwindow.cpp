#include "app/frmMain.h"
#include "ui/integerfield.h"
#include "ui/numericreadout.h"
#include "ui/stripchart.h"
#include "ui_frmMain.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <limits>
#include <memory>

using namespace thermavo;

namespace {

// One row per control of the window's design: where it sits in its parent, its caption and
// its hint. A misplaced or mistyped control shows up here.
struct ControlRow {
    QString name;
    QString kind;
    QString parent;
    QRect place;
    QString caption;
    QString hint;
};

QString readoutName(const char* column, int row) {
    return QStringLiteral("T%1%2Field").arg(row).arg(QLatin1String(column));
}

std::vector<ControlRow> designedControls() {
    std::vector<ControlRow> rows = {
        {"Panel1", "QFrame", "MainForm", {0, 0, 641, 33}, "", ""},
        {"OnLineButton",
         "QToolButton",
         "Panel1",
         {8, 3, 89, 22},
         "&On line",
         "On line|Switch the board on line or off line"},
        {"LogOnButton",
         "QToolButton",
         "Panel1",
         {104, 4, 89, 22},
         "&Write logfile",
         "Write|Write to the selected log file"},
        {"UsedBoardComboBox",
         "QComboBox",
         "Panel1",
         {216, 4, 145, 21},
         "Vexor08",
         "Type|The type of board you use"},
        {"SampleGroupBox",
         "QGroupBox",
         "MainForm",
         {0, 32, 201, 313},
         "Sampling",
         "Sample parameters|Data sampling parameters"},
        {"SampleIntervalLabel",
         "QLabel",
         "SampleGroupBox",
         {8, 19, 89, 13},
         "Interval (seconds)",
         ""},
        {"SampleIntervalField",
         "thermavo::IntegerField",
         "SampleGroupBox",
         {8, 32, 89, 21},
         "2",
         "Sample speed|The time (in seconds) between two samples"},
        {"AverageSamplesCheckBox",
         "QCheckBox",
         "SampleGroupBox",
         {8, 56, 89, 17},
         "Average",
         "Average|Average the temperature over the sampling interval"},
        {"WarningLabel",
         "QLabel",
         "SampleGroupBox",
         {104, 16, 89, 57},
         "Selected hardware will not provide a new sample each second",
         ""},
        {"Label1", "QLabel", "SampleGroupBox", {8, 96, 81, 13}, "Actual values", ""},
        {"Bevel1", "QFrame", "SampleGroupBox", {96, 96, 9, 217}, "", ""},
        {"Label2", "QLabel", "SampleGroupBox", {104, 96, 81, 13}, "Sampled values", ""},
        {"FilterBox",
         "QGroupBox",
         "MainForm",
         {208, 32, 225, 313},
         "Filtering",
         "Filter|The filtering to be applied to the measured values"},
        {"FilterTypeLabel", "QLabel", "FilterBox", {8, 19, 209, 13}, "Filtering", ""},
        {"FilterType",
         "QComboBox",
         "FilterBox",
         {8, 32, 209, 22},
         "No filtering",
         "Filtering|The type of filtering to do on the sampled values"},
        {"FilterPages", "PageContainer", "FilterBox", {8, 32, 121, 273}, "", "Filter type"},
        {"NonePage",
         "QWidget",
         "FilterPages",
         {4, 24, 113, 245},
         "",
         "No filtering|Measured values will not be filtered"},
        {"MarPage",
         "QWidget",
         "FilterPages",
         {4, 24, 113, 245},
         "",
         "Moving average filtering|Measured values will not filtered using a moving average"},
        {"LowPassPage",
         "QWidget",
         "FilterPages",
         {4, 24, 113, 245},
         "",
         "Low pass filtering|Measured values will be filtered using a low pass"},
        {"MarFilterSizeLabel", "QLabel", "MarPage", {0, 35, 65, 13}, "MAR size", ""},
        {"MarFilterSizeField",
         "thermavo::IntegerField",
         "MarPage",
         {0, 48, 65, 21},
         "1",
         "Size|The length of the MAR filter buffer"},
        {"FilterSliderEdit",
         "thermavo::IntegerField",
         "LowPassPage",
         {0, 40, 33, 17},
         "1",
         "Filtering|The amount of filtering"},
        {"FilterSlider",
         "thermavo::FilterSlider",
         "LowPassPage",
         {8, 64, 20, 177},
         "",
         "Filtering|The amount of filtering"},
        {"Label3", "QLabel", "FilterBox", {136, 96, 81, 13}, "Filtered values", ""},
        {"LogGroup",
         "QGroupBox",
         "MainForm",
         {440, 32, 201, 313},
         "Logging",
         "Log parameters|Data logging parameters"},
        {"LoggingTypeLabel", "QLabel", "LogGroup", {8, 19, 185, 13}, "Log data to", ""},
        {"LoggingType",
         "QComboBox",
         "LogGroup",
         {8, 32, 185, 22},
         "Spreadsheet compatible file",
         "Log type|Select what kind of log should be made"},
        {"LoggingPages", "PageContainer", "LogGroup", {8, 32, 185, 81}, "", "Log type"},
        {"SylkPage",
         "QWidget",
         "LoggingPages",
         {4, 24, 177, 53},
         "",
         "sylk|Log data to symbolic link file"},
        {"TabPage",
         "QWidget",
         "LoggingPages",
         {4, 24, 177, 53},
         "",
         "Tab delimited|Log data to tab-delimited text file"},
        {"SylkPageFileLabel", "QLabel", "SylkPage", {0, 3, 177, 13}, "File", ""},
        {"SylkFileEdit",
         "thermavo::FileEdit",
         "SylkPage",
         {0, 16, 177, 21},
         "",
         "File|The file to log the data to"},
        {"TabPageFileLabel", "QLabel", "TabPage", {0, 3, 177, 13}, "File", ""},
        {"TABFileEdit",
         "thermavo::FileEdit",
         "TabPage",
         {0, 16, 177, 21},
         "",
         "File|The file to log the data to"},
        {"IntervalField",
         "thermavo::IntegerField",
         "LogGroup",
         {16, 128, 97, 21},
         "1",
         "Interval|The number of samples between two log records"},
        {"OvcSpinner1", "thermavo::SpinButton", "LogGroup", {112, 128, 16, 21}, "", ""},
        {"LogIntervalHMS",
         "thermavo::TextReadout",
         "LogGroup",
         {16, 176, 113, 21},
         "0:00:02",
         "Interval|The resulting log interval"},
        {"LogRecordsWrittenLabel",
         "QLabel",
         "LogGroup",
         {16, 227, 137, 13},
         "Nr. of records written to log",
         ""},
        {"LogRecordsWritten",
         "thermavo::IntegerField",
         "LogGroup",
         {16, 240, 113, 21},
         "0",
         "Recordcount|Shows how many records were written to the logfile"},
        {"Chart1", "thermavo::StripChart", "MainForm", {0, 351, 641, 299}, "", ""},
        {"IndicatorShape", "thermavo::IndicatorShape", "Chart1", {616, 278, 25, 21}, "", ""},
        {"StatusBar", "QStatusBar", "MainForm", {0, 650, 641, 19}, "", ""},
    };
    struct Column {
        const char* column;
        const char* parent;
        int fieldLeft;
        const char* hint;
    };
    const Column columns[] = {
        {"Actual", "SampleGroupBox", 48, "|Actual temperature"},
        {"Sampled", "SampleGroupBox", 144, "|Temperature sample"},
        {"Filtered", "FilterBox", 176, "|Filtered temperature sample"},
    };
    for (const Column& column : columns) {
        for (int row = 1; row <= 8; ++row) {
            const int top = 112 + 24 * (row - 1);
            rows.push_back({readoutName(column.column, row), "thermavo::NumericReadout",
                            column.parent, QRect(column.fieldLeft, top, 41, 21), "0.00",
                            QStringLiteral("T%1%2").arg(row).arg(QLatin1String(column.hint))});
        }
    }
    return rows;
}

// The smallest box holding every pixel in which two renderings of a widget differ.
QRect differingPixels(const QImage& before, const QImage& after) {
    QRect box;
    for (int y = 0; y < before.height(); ++y) {
        for (int x = 0; x < before.width(); ++x) {
            if (before.pixel(x, y) != after.pixel(x, y))
                box |= QRect(x, y, 1, 1);
        }
    }
    return box;
}

bool allPixelsAre(const QImage& image, const QRect& area, QRgb colour) {
    if (!image.rect().contains(area))
        return false;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (image.pixel(x, y) != colour)
                return false;
        }
    }
    return true;
}

// The ink of a text drawn on its own in a font, with nothing to cut it.
QRect inkOfText(const QString& text, const QFont& font) {
    QImage blank(200, 60, QImage::Format_RGB32);
    blank.fill(Qt::white);
    QImage image = blank;
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(QPoint(50, 40), text);
    painter.end();
    return differingPixels(blank, image);
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_folder;
    std::unique_ptr<TMainForm> m_form;

private slots:
    void init() {
        MainFormServices services = MainFormServices::system();
        services.tickCount = [tick = std::uint32_t{0}]() mutable { return tick += 50; };
        services.showMessage = [](QMessageBox::Icon, const QString&, const QString&) {};
        services.settingsFile = m_folder.filePath(QStringLiteral("thermavo.INI"));
        services.dataFolder = m_folder.filePath(QStringLiteral("data"));
        QFile::remove(services.settingsFile);
        m_form = std::make_unique<TMainForm>(services);
    }

    void cleanup() { m_form.reset(); }

    void windowFrame() {
        QCOMPARE(m_form->windowTitle(), QStringLiteral("Thermavo: Kestrin temperature logger"));
        QCOMPARE(m_form->size(), QSize(641, 669));
        QCOMPARE(m_form->minimumSize(), m_form->maximumSize());
        const Qt::WindowFlags flags = m_form->windowFlags();
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    }

    void controlsOfTheDesign_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("place");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("hint");
        for (const ControlRow& row : designedControls()) {
            QTest::newRow(qPrintable(row.name))
                << row.name << row.kind << row.parent << row.place << row.caption << row.hint;
        }
    }

    void controlsOfTheDesign() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, parent);
        QFETCH(QRect, place);
        QFETCH(QString, caption);
        QFETCH(QString, hint);
        auto* control = m_form->findChild<QWidget*>(name);
        QVERIFY2(control != nullptr, qPrintable(name));
        // A page gets its place from its container when it is shown.
        if (auto* pages = qobject_cast<QStackedWidget*>(control->parentWidget()))
            pages->setCurrentWidget(control);
        m_form->show();
        QCOMPARE(QString::fromLatin1(control->metaObject()->className()), kind);
        QCOMPARE(control->parentWidget()->objectName(), parent);
        QCOMPARE(control->geometry(), place);
        QCOMPARE(control->property("hint").toString(), hint);
        QString shown;
        if (auto* label = qobject_cast<QLabel*>(control))
            shown = label->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(control))
            shown = button->text();
        else if (auto* group = qobject_cast<QGroupBox*>(control))
            shown = group->title();
        else if (auto* list = qobject_cast<QComboBox*>(control))
            shown = list->currentText();
        else if (auto* edit = qobject_cast<QLineEdit*>(control))
            shown = edit->text();
        QCOMPARE(shown, caption);
    }

    void readoutLabels() {
        for (const char* column : {"Actual", "Sampled", "Filtered"}) {
            for (int row = 1; row <= 8; ++row) {
                const QString name =
                    QStringLiteral("T%1%2Label").arg(row).arg(QLatin1String(column));
                auto* label = m_form->findChild<QLabel*>(name);
                QVERIFY2(label != nullptr, qPrintable(name));
                QCOMPARE(label->text(), QStringLiteral("T%1 (°C)").arg(row));
                const QWidget* field = m_form->findChild<QWidget*>(readoutName(column, row));
                QCOMPARE(label->geometry(), QRect(field->x() - 40, field->y() + 1, 41, 13));
            }
        }
    }

    void captionsFitTheirPlaces() {
        for (const QLabel* label : m_form->findChildren<QLabel*>()) {
            if (label->wordWrap() || label->text().isEmpty())
                continue;
            const int needed = label->fontMetrics().horizontalAdvance(label->text());
            QVERIFY2(needed <= label->width(), qPrintable(QStringLiteral("%1 needs %2 px, has %3")
                                                              .arg(label->objectName())
                                                              .arg(needed)
                                                              .arg(label->width())));
        }
        const QLabel* warning = m_form->ui().WarningLabel;
        QVERIFY(warning->heightForWidth(warning->width()) <= warning->height());
    }

    void listsAndRanges() {
        Ui::TMainForm& ui = m_form->ui();
        const auto rows = [](const QComboBox* list) {
            QStringList texts;
            for (int row = 0; row < list->count(); ++row)
                texts << list->itemText(row);
            return texts;
        };
        QCOMPARE(rows(ui.UsedBoardComboBox), QStringList({"Vexor08", "Vexor04 ", "Vexor04 USB"}));
        QVERIFY(ui.UsedBoardComboBox->isEditable());
        QCOMPARE(rows(ui.FilterType), QStringList({"No filtering", "Moving Average", "Low Pass"}));
        QCOMPARE(rows(ui.LoggingType),
                 QStringList({"Spreadsheet compatible file", "TAB-delimited text file"}));
        struct Range {
            IntegerField* field;
            int lower;
            int upper;
            QString picture;
        };
        for (const Range& range :
             {Range{ui.SampleIntervalField, 1, 1000, "iiiiiiiiiii"},
              Range{ui.MarFilterSizeField, 1, 1000, "iiiiiiiiiii"},
              Range{ui.IntervalField, 1, 32767, "9999999999"},
              Range{ui.LogRecordsWritten, 0, 2147483647, "9999999999"},
              Range{ui.FilterSliderEdit, -2147483647 - 1, 2147483647, "iiiiiiiiiii"}}) {
            QCOMPARE(range.field->lowerBound(), range.lower);
            QCOMPARE(range.field->upperBound(), range.upper);
            QCOMPARE(range.field->picture(), range.picture);
        }
        QVERIFY(ui.LogRecordsWritten->isReadOnly());
        QVERIFY(ui.FilterSliderEdit->isReadOnly());
        QVERIFY(!ui.FilterSliderEdit->isEnabled());
        QCOMPARE(ui.FilterSlider->minimum(), 1);
        QCOMPARE(ui.FilterSlider->maximum(), 99);
        QCOMPARE(ui.FilterSlider->value(), 1);
        QCOMPARE(ui.OnLineButton->focusPolicy(), Qt::NoFocus);
        QCOMPARE(ui.LogOnButton->focusPolicy(), Qt::NoFocus);
        QCOMPARE(ui.OvcSpinner1->focusPolicy(), Qt::NoFocus);
    }

    void selectorsChooseThePage() {
        Ui::TMainForm& ui = m_form->ui();
        for (int row : {2, 1, 0}) {
            ui.FilterType->setCurrentIndex(row);
            m_form->FilterTypeClick();
            QCOMPARE(ui.FilterPages->currentIndex(), row);
        }
        ui.LoggingType->setCurrentIndex(1);
        m_form->LoggingTypeClick();
        QCOMPARE(ui.LoggingPages->currentWidget(), ui.TabPage);
    }

    void keyboardOrder() {
        m_form->showAtStart();
        QApplication::setActiveWindow(m_form.get());
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        QCOMPARE(QApplication::focusWidget(), m_form->ui().NonePage);
        // The first Tab leaves the page for the next stop of the filter group.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), m_form->ui().T1FilteredField);

        m_form->ui().LoggingType->setFocus();
        QStringList order;
        const auto focusName = [] {
            QWidget* focus = QApplication::focusWidget();
            // A composite control's inner edit stands for the control.
            while (focus != nullptr && focus->objectName().isEmpty())
                focus = focus->parentWidget();
            if (focus != nullptr && focus->objectName() == QLatin1String("qt_spinbox_lineedit"))
                focus = focus->parentWidget();
            return focus != nullptr ? focus->objectName() : QString();
        };
        order << focusName();
        for (int step = 0; step < 40; ++step) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            const QString name = focusName();
            if (name == order.first())
                break;
            order << name;
        }
        // The empty page "None" holds the first focus but is no stop of its own.
        QStringList expected = {"LoggingType", "SylkFileEdit", "IntervalField", "LogIntervalHMS",
                                "LogRecordsWritten"};
        for (int row = 1; row <= 8; ++row)
            expected << readoutName("Filtered", row);
        expected << "FilterType"
                 << "SampleIntervalField"
                 << "AverageSamplesCheckBox";
        for (int row = 1; row <= 8; ++row)
            expected << readoutName("Actual", row);
        for (int row = 1; row <= 8; ++row)
            expected << readoutName("Sampled", row);
        expected << "UsedBoardComboBox"
                 << "Chart1";
        QCOMPARE(order, expected);
    }

    // Every digit of the widest texts stands inside the readout's frame with a clear pixel
    // around it, in the window's own font, and none is cut off: also while the readout has the
    // focus (to copy its text), when the frame is drawn thicker.
    void repliesFasterThanRepaintsArePaintedTogether() {
        // A board replying every 10 ms changes the actual readout with every reply; the window
        // is repainted at most 20 times a second, showing the latest of them.
        m_form->showAtStart();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        QTest::qWait(100);
        NumericReadout& readout = *m_form->ui().T1ActualField;
        struct PaintCounter : QObject {
            int paints = 0;
            bool eventFilter(QObject*, QEvent* event) override {
                paints += event->type() == QEvent::Paint ? 1 : 0;
                return false;
            }
        } counter;
        readout.installEventFilter(&counter);
        QElapsedTimer clock;
        clock.start();
        for (int reply = 0; reply < 30; ++reply) {
            // First field over second: 1000 + reply hex over 3000 hex, a slightly new reading.
            QByteArray text = QByteArray::number(0x1000 + reply, 16);
            for (int channel = 0; channel < 8; ++channel)
                text += (channel == 0 ? " 3000" : " 1000 3000");
            m_form->DataPacketStringPacket(text);
            QTest::qWait(10);
        }
        const qint64 elapsedMs = clock.elapsed();
        QTest::qWait(120);
        QVERIFY2(
            counter.paints >= 1 && counter.paints <= elapsedMs / 50 + 2,
            qPrintable(QStringLiteral("%1 paints in %2 ms").arg(counter.paints).arg(elapsedMs)));
        // What is on screen is the last reading, not one of those painted over.
        const QImage onScreen = m_form->screen()->grabWindow(m_form->winId()).toImage();
        const QRect place(readout.mapTo(m_form.get(), QPoint(0, 0)), readout.size());
        QCOMPARE(onScreen.copy(place), readout.grab().toImage().convertToFormat(onScreen.format()));
    }

    void readoutsShowEveryDigit_data() {
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("shown");
        QTest::newRow("100.00") << 100.0F << "100.00";
        QTest::newRow("123.45") << 123.45F << "123.45";
        QTest::newRow("149.99") << 149.99F << "149.99";
        QTest::newRow("150.00") << 150.0F << "150.00";
        QTest::newRow("invalid reading") << -1000.0F << "000.00";
        QTest::newRow("lowest reading") << -45.0F << "-45.00";
        QTest::newRow("zero") << 0.0F << "0.00";
    }

    void readoutsShowEveryDigit() {
        QFETCH(float, value);
        QFETCH(QString, shown);
        m_form->showAtStart();
        QApplication::setActiveWindow(m_form.get());
        QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
        const QList<NumericReadout*> readouts = m_form->findChildren<NumericReadout*>();
        QCOMPARE(readouts.size(), 24);
        for (NumericReadout* readout : readouts) {
            readout->setDecimalSeparator(QStringLiteral("."));
            for (const bool focused : {false, true}) {
                if (focused)
                    readout->setFocus();
                else
                    m_form->ui().NonePage->setFocus();
                QCOMPARE(readout->hasFocus(), focused);
                // A value that is no number shows no text: the frame and the background alone.
                readout->setValue(std::numeric_limits<float>::quiet_NaN());
                const QImage blank = readout->grab().toImage();
                readout->setValue(value);
                // The window lays the text out when it paints; any paint shows the latest value.
                const QRect ink = differingPixels(blank, readout->grab().toImage());
                QCOMPARE(readout->text(), shown);
                const QString where = QStringLiteral("%1%2: ink at %3,%4 %5x%6")
                                          .arg(readout->objectName(), focused ? " focused" : "")
                                          .arg(ink.x())
                                          .arg(ink.y())
                                          .arg(ink.width())
                                          .arg(ink.height());
                QVERIFY2(!ink.isEmpty(), qPrintable(where));
                QVERIFY2(allPixelsAre(blank, ink.adjusted(-1, -1, 1, 1),
                                      readout->backgroundColor().rgb()),
                         qPrintable(where));
                QCOMPARE(ink.size(), inkOfText(shown, readout->font()).size());
            }
        }
    }

    void chartStartsEmptyFrom15To30() {
        const StripChart& chart = *m_form->ui().Chart1;
        for (int series = 0; series < StripChart::kSeriesCount; ++series)
            QVERIFY(chart.series(series).empty());
        QCOMPARE(chart.temperatureRange().minimum, 15.0);
        QCOMPARE(chart.temperatureRange().maximum, 30.0);
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_mainwindow.moc"
