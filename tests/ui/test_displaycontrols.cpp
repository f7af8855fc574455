#include "ui/digitalclock.h"
#include "ui/filterslider.h"
#include "ui/indicatorshape.h"
#include "ui/numericreadout.h"
#include "ui/repaintpacer.h"

#include <QApplication>
#include <QProxyStyle>
#include <QSignalSpy>
#include <QStyleOptionSlider>
#include <QTest>
#include <memory>

using namespace thermavo;

namespace {

// A style that asks for the handle to jump to the clicked place, as some platforms do.
class JumpToClickStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_Slider_AbsoluteSetButtons) {
            return Qt::LeftButton;
        }
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QRect handleOf(const FilterSlider& slider) {
    QStyleOptionSlider option;
    option.initFrom(&slider);
    option.orientation = slider.orientation();
    option.minimum = slider.minimum();
    option.maximum = slider.maximum();
    option.sliderPosition = slider.sliderPosition();
    option.sliderValue = slider.value();
    option.upsideDown = !slider.invertedAppearance();
    return slider.style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle,
                                          &slider);
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

// What repaintsStayInTheirBox changes.
enum Change { NewText, SameText, NewColour, SameColour, Blink, SameFill };

} // namespace

class DisplayControlsTest : public QObject {
    Q_OBJECT

private slots:
    void readout_data();
    void readout();
    void readoutShrinksTextRatherThanCutIt();
    void deferredReadoutShowsTheLatestValueWhenPainted();
    void repaintsFollowTheReplyBatches_data();
    void repaintsFollowTheReplyBatches();

    void sliderKeys_data();
    void sliderKeys();
    void sliderClicksStepOnly_data();
    void sliderClicksStepOnly();

    void clockText_data();
    void clockText();
    void clockHoldsTimeUntilTheSecondChanges();

    void indicatorDrawsAFilledCircle();
    void repaintsStayInTheirBox_data();
    void repaintsStayInTheirBox();
};

void DisplayControlsTest::readout_data() {
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("shown");

    QTest::newRow("invalid reading") << -1000.0F << "."
                                     << "000.00";
    QTest::newRow("lowest valid reading") << -45.0F << "."
                                          << "-45.00";
    QTest::newRow("zero") << 0.0F << "."
                          << "0.00";
    QTest::newRow("comma") << 21.5F << ","
                           << "21,50";
}

void DisplayControlsTest::readout() {
    QFETCH(float, value);
    QFETCH(QString, separator);
    QFETCH(QString, shown);

    NumericReadout readout;
    QCOMPARE(readout.text(), QStringLiteral("0") + readout.decimalSeparator() + "00");
    readout.setDecimalSeparator(separator);
    readout.setValue(value);
    QCOMPARE(readout.text(), shown);
    QCOMPARE(readout.value(), value);
    QVERIFY(readout.isReadOnly());
    QVERIFY(readout.alignment() & Qt::AlignRight);
}

void DisplayControlsTest::readoutShrinksTextRatherThanCutIt() {
    QWidget group;
    QFont large = group.font();
    large.setPointSizeF(16.0);
    group.setFont(large);
    auto* readout = new NumericReadout(&group);
    readout->setDecimalSeparator(QStringLiteral("."));
    readout->setGeometry(48, 112, 41, 21);
    readout->setValue(150.0F);
    group.show();
    QVERIFY(QTest::qWaitForWindowExposed(&group));
    QCOMPARE(readout->text(), QStringLiteral("150.00"));
    // Two pixels of frame and two of margin on either side.
    QVERIFY(QFontMetrics(readout->font()).horizontalAdvance(readout->text()) <= 41 - 8);

    readout->resize(200, 21);
    QCOMPARE(readout->font().pointSizeF(), 16.0);
}

void DisplayControlsTest::deferredReadoutShowsTheLatestValueWhenPainted() {
    QWidget window;
    auto* readout = new NumericReadout(&window);
    readout->setDecimalSeparator(QStringLiteral("."));
    readout->setGeometry(8, 8, 60, 21);
    readout->setDeferredText(true);
    // Hidden, nothing is painted: the text follows at once.
    readout->setValue(1.0F);
    QCOMPARE(readout->text(), QStringLiteral("1.00"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (const float value : {2.0F, 3.0F, 4.25F})
        readout->setValue(value);
    QCOMPARE(readout->value(), 4.25F);
    QCOMPARE(readout->text(), QStringLiteral("1.00"));
    readout->showPendingValue();
    QCOMPARE(readout->text(), QStringLiteral("4.25"));
    // Switched back, the readout is immediate again, with nothing left pending.
    readout->setValue(5.0F);
    readout->setDeferredText(false);
    QCOMPARE(readout->text(), QStringLiteral("5.00"));
    readout->setValue(6.0F);
    QCOMPARE(readout->text(), QStringLiteral("6.00"));
}

void DisplayControlsTest::repaintsFollowTheReplyBatches_data() {
    // "r T": a reply shown at T ms; "p T W": a repaint asked for at T, to wait W ms (0: now).
    QTest::addColumn<QStringList>("script");
    QTest::newRow("first repaint at once") << QStringList{"p 0 0"};
    QTest::newRow("a batch every 50 ms, painted with each")
        << QStringList{"r 0", "p 0 0", "r 50", "p 50 0", "r 101", "p 101 0"};
    QTest::newRow("a batch a little early for the period")
        << QStringList{"r 0", "p 0 0", "r 42", "p 42 0"};
    QTest::newRow("a batch too soon waits for the next")
        << QStringList{"r 0", "p 0 0", "r 8", "p 8 60", "r 58", "p 58 0"};
    QTest::newRow("the clock between batches waits for the next")
        << QStringList{"r 0", "p 0 0", "p 20 40", "r 50", "p 50 0"};
    QTest::newRow("the board stopped: shown 60 ms after its last reply")
        << QStringList{"r 0", "p 0 0", "p 30 30", "p 60 0"};
    QTest::newRow("no replies: every 50 ms at most")
        << QStringList{"p 0 0", "p 10 40", "p 50 0", "p 139 0"};
}

void DisplayControlsTest::repaintsFollowTheReplyBatches() {
    QFETCH(QStringList, script);
    RepaintPacer pacer;
    for (const QString& step : script) {
        const QStringList parts = step.split(QLatin1Char(' '));
        const std::int64_t at = parts[1].toLongLong();
        if (parts[0] == QLatin1String("r"))
            pacer.replyShown(at);
        else
            QCOMPARE(pacer.waitBeforePainting(at), parts[2].toLongLong());
    }
}

void DisplayControlsTest::sliderKeys_data() {
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("expected");

    QTest::newRow("End") << 1 << int(Qt::Key_End) << 99;
    QTest::newRow("Home") << 50 << int(Qt::Key_Home) << 1;
    QTest::newRow("Up") << 1 << int(Qt::Key_Up) << 2;
    QTest::newRow("Down") << 2 << int(Qt::Key_Down) << 1;
    QTest::newRow("plus") << 5 << int(Qt::Key_Plus) << 6;
    QTest::newRow("minus") << 5 << int(Qt::Key_Minus) << 4;
    QTest::newRow("minus at the minimum") << 1 << int(Qt::Key_Minus) << 1;
    QTest::newRow("plus at the maximum") << 99 << int(Qt::Key_Plus) << 99;
    QTest::newRow("Home at the minimum") << 1 << int(Qt::Key_Home) << 1;
    QTest::newRow("PageUp steps by one") << 5 << int(Qt::Key_PageUp) << 6;
}

void DisplayControlsTest::sliderKeys() {
    QFETCH(int, start);
    QFETCH(int, key);
    QFETCH(int, expected);

    FilterSlider slider;
    slider.setValue(start);
    QSignalSpy changed(&slider, &QSlider::valueChanged);
    QTest::keyClick(&slider, Qt::Key(key));
    QCOMPARE(slider.value(), expected);
    QCOMPARE(changed.size(), expected == start ? 0 : 1);
}

void DisplayControlsTest::sliderClicksStepOnly_data() {
    QTest::addColumn<int>("start");
    QTest::addColumn<bool>("above");
    QTest::addColumn<bool>("jumpStyle");
    QTest::addColumn<int>("expected");

    QTest::newRow("below the handle at the minimum") << 1 << false << false << 1;
    QTest::newRow("above the handle at the minimum") << 1 << true << false << 2;
    QTest::newRow("above the handle, jumping style") << 1 << true << true << 2;
    QTest::newRow("below the handle in the middle") << 50 << false << false << 49;
    QTest::newRow("below the handle, jumping style") << 50 << false << true << 49;
    QTest::newRow("above the handle at the maximum") << 99 << true << false << 99;
}

void DisplayControlsTest::sliderClicksStepOnly() {
    QFETCH(int, start);
    QFETCH(bool, above);
    QFETCH(bool, jumpStyle);
    QFETCH(int, expected);

    std::unique_ptr<QStyle> style;
    FilterSlider slider;
    if (jumpStyle) {
        style = std::make_unique<JumpToClickStyle>();
        slider.setStyle(style.get());
    }
    slider.resize(20, 177);
    slider.setValue(start);
    QSignalSpy changed(&slider, &QSlider::valueChanged);
    const QRect handle = handleOf(slider);
    const QPoint at(slider.width() / 2, above ? 1 : slider.height() - 1);
    QVERIFY(!handle.contains(at) || (start == 1 && !above) || (start == 99 && above));
    QTest::mouseClick(&slider, Qt::LeftButton, {}, at);
    QCOMPARE(slider.value(), expected);
    QCOMPARE(changed.size(), expected == start ? 0 : 1);
}

void DisplayControlsTest::clockText_data() {
    QTest::addColumn<QTime>("time");
    QTest::addColumn<QString>("shown");

    QTest::newRow("five seconds after midnight") << QTime(0, 0, 5) << "00:00:05";
    QTest::newRow("afternoon in 24 hours") << QTime(13, 4, 0) << "13:04:00";
    QTest::newRow("milliseconds not shown") << QTime(23, 59, 59, 999) << "23:59:59";
}

void DisplayControlsTest::clockText() {
    QFETCH(QTime, time);
    QFETCH(QString, shown);

    DigitalClock clock;
    clock.setTimeSource([time] { return time; });
    QCOMPARE(clock.shownText(), shown);
    QCOMPARE(clock.digitCount(), 8);
}

void DisplayControlsTest::clockHoldsTimeUntilTheSecondChanges() {
    QTime now(0, 0, 5, 100);
    DigitalClock clock;
    clock.setTimeSource([&now] { return now; });
    QCOMPARE(clock.heldTime(), QTime(0, 0, 5, 100));

    now = QTime(0, 0, 5, 600);
    clock.poll();
    QCOMPARE(clock.heldTime(), QTime(0, 0, 5, 100));

    now = QTime();
    clock.poll();
    QCOMPARE(clock.heldTime(), QTime(0, 0, 5, 100));

    now = QTime(0, 0, 6, 50);
    clock.poll();
    QCOMPARE(clock.heldTime(), QTime(0, 0, 6, 50));
    QCOMPARE(clock.shownText(), QStringLiteral("00:00:06"));
    QCOMPARE(clock.heldTimeOfDay(), 6050.0 / 86400000.0);

    now = QTime(23, 59, 59, 999);
    clock.poll();
    QVERIFY(clock.heldTimeOfDay() < 1.0);
    QVERIFY(clock.heldTimeOfDay() > 0.9999);
}

void DisplayControlsTest::indicatorDrawsAFilledCircle() {
    IndicatorShape shape;
    shape.resize(shape.sizeHint());
    QCOMPARE(shape.size(), QSize(25, 21));
    shape.setFillColor(Qt::red);
    const QImage image = shape.grab().toImage();
    QCOMPARE(image.pixelColor(12, 10), QColor(Qt::red));
    QCOMPARE(image.pixelColor(12, 1), QColor(Qt::red));
    // The circle is as wide as the box is high, so the side strips and corners stay empty.
    QVERIFY(image.pixelColor(0, 10) != QColor(Qt::red));
    QVERIFY(image.pixelColor(24, 10) != QColor(Qt::red));
    QVERIFY(image.pixelColor(3, 1) != QColor(Qt::red));
}

// The readouts change with every reply and the indicator blinks with it: a change repaints the
// changed control alone, not the group box or chart beneath, and no change repaints nothing.
void DisplayControlsTest::repaintsStayInTheirBox_data() {
    QTest::addColumn<int>("change");
    QTest::addColumn<int>("readoutPaints");
    QTest::addColumn<int>("indicatorPaints");

    QTest::newRow("readout, new text") << int(NewText) << 1 << 0;
    QTest::newRow("readout, a value with the same text") << int(SameText) << 0 << 0;
    QTest::newRow("readout, new colour") << int(NewColour) << 1 << 0;
    QTest::newRow("readout, same colour") << int(SameColour) << 0 << 0;
    QTest::newRow("indicator blinks") << int(Blink) << 0 << 1;
    QTest::newRow("indicator, same colour") << int(SameFill) << 0 << 0;
}

void DisplayControlsTest::repaintsStayInTheirBox() {
    QFETCH(int, change);
    QFETCH(int, readoutPaints);
    QFETCH(int, indicatorPaints);

    QWidget group;
    group.resize(200, 60);
    auto* readout = new NumericReadout(&group);
    readout->setGeometry(48, 8, 41, 21);
    readout->setValue(21.5F);
    auto* indicator = new IndicatorShape(&group);
    indicator->setGeometry(120, 8, IndicatorShape::kWidth, IndicatorShape::kHeight);
    group.show();
    QVERIFY(QTest::qWaitForWindowExposed(&group));
    QApplication::processEvents();
    const QColor window = readout->backgroundColor();
    const QColor lit = indicator->fillColor();
    const PaintCounter groupPaints(&group);
    const PaintCounter readoutPainted(readout);
    const PaintCounter indicatorPainted(indicator);

    switch (change) {
    case NewText:
        readout->setValue(21.25F);
        break;
    case SameText:
        readout->setValue(21.501F);
        break;
    case NewColour:
        readout->setBackgroundColor(Qt::gray);
        break;
    case SameColour:
        readout->setBackgroundColor(window);
        break;
    case Blink:
        indicator->setFillColor(Qt::gray);
        break;
    case SameFill:
        indicator->setFillColor(lit);
        break;
    }
    QApplication::processEvents();
    QCOMPARE(groupPaints.count, 0);
    QCOMPARE(readoutPainted.count, readoutPaints);
    QCOMPARE(indicatorPainted.count, indicatorPaints);
    if (change == SameText)
        QCOMPARE(readout->value(), 21.501F);
}

QTEST_MAIN(DisplayControlsTest)
#include "test_displaycontrols.moc"
