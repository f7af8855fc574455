#include "ui/integerfield.h"
#include "ui/spinbutton.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <climits>
#include <memory>

using thermavo::IntegerField;
using thermavo::repeatDelayMs;
using thermavo::SpinButton;

namespace {

// Records the delays a held arrow asks for; the test decides when each one is due.
class FakeScheduler : public SpinButton::Scheduler {
public:
    explicit FakeScheduler(QList<int>& delays) : m_delays(delays) {}
    void start(int delayMs, std::function<void()> due) override {
        m_delays.append(delayMs);
        m_due = std::move(due);
    }
    void stop() override { m_due = nullptr; }

    static bool fire(std::function<void()>& due) {
        if (!due) {
            return false;
        }
        auto call = std::exchange(due, nullptr);
        call();
        return true;
    }

    QList<int>& m_delays;
    std::function<void()> m_due;
};

// The logging and sampling fields of the window, with a plain edit to move the focus to.
struct Form {
    QWidget window;
    IntegerField* sampleInterval = new IntegerField(&window);
    IntegerField* interval = new IntegerField(&window);
    QLineEdit* other = new QLineEdit(&window);
    SpinButton* spinner = new SpinButton(&window);
    QStringList reported;

    Form() {
        auto* layout = new QVBoxLayout(&window);
        for (QWidget* w : {static_cast<QWidget*>(sampleInterval), static_cast<QWidget*>(interval),
                           static_cast<QWidget*>(other), static_cast<QWidget*>(spinner)}) {
            layout->addWidget(w);
        }
        sampleInterval->setObjectName(QStringLiteral("SampleIntervalField"));
        sampleInterval->setLowerBound(1);
        sampleInterval->setUpperBound(1000);
        interval->setObjectName(QStringLiteral("IntervalField"));
        interval->setPicture(QStringLiteral("9999999999"));
        interval->setLowerBound(1);
        interval->setUpperBound(32767);
        spinner->setField(QStringLiteral("IntervalField"));
        for (IntegerField* field : {sampleInterval, interval}) {
            field->setErrorReporter(
                [this](IntegerField&, const QString& message) { reported.append(message); });
        }
        window.show();
    }

    bool activate() { return QTest::qWaitForWindowActive(&window); }
};

void retype(QWidget* field, const QString& text) {
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, text);
}

QPoint upperArrow() {
    return {SpinButton::kWidth / 2, 3};
}

QPoint lowerArrow() {
    return {SpinButton::kWidth / 2, SpinButton::kHeight - 3};
}

} // namespace

class EntryControlsTest : public QObject {
    Q_OBJECT

private slots:
    void startValue_data();
    void startValue();
    void picture_data();
    void picture();
    void leavingChecksTheRange_data();
    void leavingChecksTheRange();
    void onlyRealMovesAwayAreChecked_data();
    void onlyRealMovesAwayAreChecked();
    void errorBoxShownOnceAndFocusReturns();
    void userChangedOnlyForUserEdits();

    void repeatDelays_data();
    void repeatDelays();
    void heldArrowStaysWithinBounds_data();
    void heldArrowStaysWithinBounds();
    void arrowFirstMovesTheFocus_data();
    void arrowFirstMovesTheFocus();
    void defaultSchedulerRepeats();
};

void EntryControlsTest::startValue_data() {
    QTest::addColumn<int>("lower");
    QTest::addColumn<int>("upper");
    QTest::addColumn<int>("expected");

    QTest::newRow("sample interval") << 1 << 1000 << 1;
    QTest::newRow("log interval") << 1 << 32767 << 1;
    QTest::newRow("records written") << 0 << INT_MAX << 0;
    QTest::newRow("whole 32-bit span") << INT_MIN << INT_MAX << 0;
    QTest::newRow("entirely negative") << -20 << -5 << -20;
}

void EntryControlsTest::startValue() {
    QFETCH(int, lower);
    QFETCH(int, upper);
    QFETCH(int, expected);

    // A form design may set the bounds in either order.
    IntegerField lowerFirst;
    lowerFirst.setLowerBound(lower);
    lowerFirst.setUpperBound(upper);
    IntegerField upperFirst;
    upperFirst.setUpperBound(upper);
    upperFirst.setLowerBound(lower);

    for (const IntegerField* field : {&lowerFirst, &upperFirst}) {
        QCOMPARE(field->value(), expected);
        QCOMPARE(field->text(), QString::number(expected));
    }
}

void EntryControlsTest::picture_data() {
    QTest::addColumn<QString>("picture");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");

    QTest::newRow("digits only refuse the minus") << "9999999999"
                                                  << "-12"
                                                  << "12";
    QTest::newRow("digit or minus takes the minus") << "iiiiiiiiiii"
                                                    << "-12"
                                                    << "-12";
    QTest::newRow("minus anywhere, checked later") << "iiiiiiiiiii"
                                                   << "1-2"
                                                   << "1-2";
    QTest::newRow("letters and blanks refused") << "iiiiiiiiiii"
                                                << "a 1.5"
                                                << "15";
    QTest::newRow("no more than the places") << "9999999999"
                                             << "123456789012"
                                             << "1234567890";
}

void EntryControlsTest::picture() {
    QFETCH(QString, picture);
    QFETCH(QString, typed);
    QFETCH(QString, shown);

    IntegerField field;
    field.setPicture(picture);
    field.clear();
    QTest::keyClicks(&field, typed);
    QCOMPARE(field.text(), shown);
}

void EntryControlsTest::leavingChecksTheRange_data() {
    QTest::addColumn<bool>("logInterval");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("valueWhileShown");

    const QString range = IntegerField::kRangeError;
    const QString invalid = IntegerField::kInvalidError;
    QTest::newRow("emptied") << false << "" << range << 0;
    QTest::newRow("above the upper bound") << false << "1001" << range << 0;
    QTest::newRow("zero below the lower bound") << true << "0" << range << 0;
    QTest::newRow("beyond 32 bits") << false << "99999999999" << range << 0;
    QTest::newRow("lone minus") << false << "-" << invalid << 0;
    QTest::newRow("minus inside") << false << "1-2" << invalid << 0;
    QTest::newRow("double minus") << false << "--1" << invalid << 0;
    QTest::newRow("upper bound") << false << "1000"
                                 << "" << 1000;
    QTest::newRow("lower bound") << true << "1"
                                 << "" << 1;
    QTest::newRow("leading zeros") << true << "0032767"
                                   << "" << 32767;
}

void EntryControlsTest::leavingChecksTheRange() {
    QFETCH(bool, logInterval);
    QFETCH(QString, typed);
    QFETCH(QString, message);
    QFETCH(int, valueWhileShown);

    Form form;
    QVERIFY(form.activate());
    IntegerField* field = logInterval ? form.interval : form.sampleInterval;
    field->setFocus(Qt::TabFocusReason);
    QVERIFY(field->hasFocus());
    int valueRead = -1;
    field->setErrorReporter([&](IntegerField& reporting, const QString& text) {
        valueRead = reporting.value();
        form.reported.append(text);
    });
    retype(field, typed);
    QCOMPARE(field->value(), valueWhileShown);

    QTest::keyClick(field, Qt::Key_Tab);
    if (message.isEmpty()) {
        QVERIFY(form.reported.isEmpty());
        QVERIFY(!field->hasFocus());
    } else {
        QCOMPARE(form.reported, QStringList{message});
        QCOMPARE(valueRead, 0);
        QVERIFY(field->hasFocus());
        QCOMPARE(field->text(), typed);
    }
}

void EntryControlsTest::onlyRealMovesAwayAreChecked_data() {
    QTest::addColumn<int>("move");
    QTest::addColumn<bool>("checked");

    QTest::newRow("Tab") << 0 << true;
    QTest::newRow("Shift+Tab") << 1 << true;
    QTest::newRow("click on another control") << 2 << true;
    QTest::newRow("field hidden") << 3 << false;
    QTest::newRow("field disabled") << 4 << false;
    QTest::newRow("another window activated") << 5 << false;
    QTest::newRow("Tab from a read-only field") << 6 << false;
}

void EntryControlsTest::onlyRealMovesAwayAreChecked() {
    QFETCH(int, move);
    QFETCH(bool, checked);

    Form form;
    QVERIFY(form.activate());
    QWidget otherWindow;
    form.interval->setFocus(Qt::TabFocusReason);
    retype(form.interval, QStringLiteral("0"));
    form.interval->setReadOnly(move == 6);
    switch (move) {
    case 0:
    case 6:
        QTest::keyClick(form.interval, Qt::Key_Tab);
        break;
    case 1:
        QTest::keyClick(form.interval, Qt::Key_Backtab, Qt::ShiftModifier);
        break;
    case 2:
        QTest::mouseClick(form.other, Qt::LeftButton);
        break;
    case 3:
        form.interval->hide();
        break;
    case 4:
        form.interval->setEnabled(false);
        break;
    default:
        otherWindow.show();
        QApplication::setActiveWindow(&otherWindow);
        QVERIFY(QTest::qWaitForWindowActive(&otherWindow));
        break;
    }
    QCOMPARE(form.reported.size(), checked ? 1 : 0);
}

void EntryControlsTest::errorBoxShownOnceAndFocusReturns() {
    Form form;
    QVERIFY(form.activate());
    form.sampleInterval->setErrorReporter(nullptr);
    form.interval->setErrorReporter(nullptr);
    form.interval->setText(QStringLiteral("0"));
    form.sampleInterval->setFocus(Qt::TabFocusReason);
    retype(form.sampleInterval, QString());

    constexpr int kEnough = 4;
    QStringList boxes;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        QCOMPARE(box->windowTitle(), QStringLiteral("Error"));
        QCOMPARE(box->icon(), QMessageBox::Critical);
        QCOMPARE(box->buttons().size(), 1);
        boxes.append(box->text());
        box->button(QMessageBox::Ok)->click();
        // As a desktop does, hand the activation back before the box's loop has returned;
        // past a few boxes the loop is proven and is let run out.
        if (boxes.size() < kEnough) {
            QApplication::setActiveWindow(&form.window);
        }
    });
    answer.start(10);
    QTest::keyClick(form.sampleInterval, Qt::Key_Tab);
    // Anything a second focus change might still bring up.
    QTest::qWait(100);
    answer.stop();

    QCOMPARE(boxes, QStringList{IntegerField::kRangeError});
    QCOMPARE(form.window.focusWidget(), form.sampleInterval);
    // The window's activation comes back through the event loop, late on a busy machine.
    QTRY_VERIFY(form.sampleInterval->hasFocus());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
}

void EntryControlsTest::userChangedOnlyForUserEdits() {
    Form form;
    QVERIFY(form.activate());
    QSignalSpy changed(form.sampleInterval, &IntegerField::userChanged);
    form.sampleInterval->setValue(2);
    form.sampleInterval->setValue(50);
    QCOMPARE(changed.size(), 0);

    form.sampleInterval->setFocus(Qt::TabFocusReason);
    QTest::keyClick(form.sampleInterval, Qt::Key_End);
    QTest::keyClick(form.sampleInterval, Qt::Key_Backspace);
    QTest::keyClicks(form.sampleInterval, QStringLiteral("12"));
    QCOMPARE(changed.size(), 3);
    QCOMPARE(form.sampleInterval->value(), 512);
    // A refused key changes nothing and is no edit.
    QTest::keyClick(form.sampleInterval, Qt::Key_X);
    QCOMPARE(changed.size(), 3);
}

void EntryControlsTest::repeatDelays_data() {
    QTest::addColumn<int>("stepIndex");
    QTest::addColumn<int>("delay");

    QTest::newRow("first step at once") << 0 << 0;
    QTest::newRow("second step") << 1 << 200;
    QTest::newRow("third step") << 2 << 190;
    QTest::newRow("fourth step") << 3 << 180;
    QTest::newRow("last pause") << 20 << 10;
    QTest::newRow("no pause") << 21 << 0;
    QTest::newRow("long hold") << 1000 << 0;
}

void EntryControlsTest::repeatDelays() {
    QFETCH(int, stepIndex);
    QFETCH(int, delay);
    QCOMPARE(repeatDelayMs(stepIndex), delay);
}

void EntryControlsTest::heldArrowStaysWithinBounds_data() {
    QTest::addColumn<int>("start");
    QTest::addColumn<bool>("up");
    QTest::addColumn<int>("repeats");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("changes");

    QTest::newRow("up stops at the upper bound") << 32765 << true << 4 << 32767 << 2;
    QTest::newRow("down stays at the lower bound") << 1 << false << 3 << 1 << 0;
    QTest::newRow("down from the upper bound") << 32767 << false << 2 << 32764 << 3;
    QTest::newRow("up from the lower bound") << 1 << true << 0 << 2 << 1;
    QTest::newRow("long hold without pauses") << 100 << true << 25 << 126 << 26;
}

void EntryControlsTest::heldArrowStaysWithinBounds() {
    QFETCH(int, start);
    QFETCH(bool, up);
    QFETCH(int, repeats);
    QFETCH(int, expected);
    QFETCH(int, changes);

    Form form;
    QVERIFY(form.activate());
    QList<int> delays;
    auto scheduler = std::make_unique<FakeScheduler>(delays);
    FakeScheduler* fake = scheduler.get();
    form.spinner->setScheduler(std::move(scheduler));
    form.interval->setValue(start);
    QSignalSpy changed(form.interval, &IntegerField::userChanged);

    const QPoint arrow = up ? upperArrow() : lowerArrow();
    QTest::mousePress(form.spinner, Qt::LeftButton, {}, arrow);
    for (int i = 0; i < repeats; ++i) {
        QVERIFY(FakeScheduler::fire(fake->m_due));
    }
    QTest::mouseRelease(form.spinner, Qt::LeftButton, {}, arrow);
    QVERIFY(!FakeScheduler::fire(fake->m_due));
    QCOMPARE(form.interval->value(), expected);
    QCOMPARE(changed.size(), changes);
    QCOMPARE(delays.size(), repeats + 1);
    QCOMPARE(delays.mid(0, 3), (QList<int>{200, 190, 180}.mid(0, repeats + 1)));
}

void EntryControlsTest::arrowFirstMovesTheFocus_data() {
    QTest::addColumn<QString>("leftText");
    QTest::addColumn<bool>("stepped");

    QTest::newRow("left control valid") << "2" << true;
    QTest::newRow("left control keeps the focus") << "1001" << false;
}

void EntryControlsTest::arrowFirstMovesTheFocus() {
    QFETCH(QString, leftText);
    QFETCH(bool, stepped);

    Form form;
    QVERIFY(form.activate());
    QSignalSpy changed(form.interval, &IntegerField::userChanged);
    form.sampleInterval->setFocus(Qt::TabFocusReason);
    retype(form.sampleInterval, leftText);
    QTest::mouseClick(form.spinner, Qt::LeftButton, {}, upperArrow());
    QCOMPARE(form.interval->hasFocus(), stepped);
    QCOMPARE(form.interval->value(), stepped ? 2 : 1);
    QCOMPARE(changed.size(), stepped ? 1 : 0);
    QCOMPARE(form.reported.size(), stepped ? 0 : 1);
}

void EntryControlsTest::defaultSchedulerRepeats() {
    Form form;
    QVERIFY(form.activate());
    form.interval->setValue(1);
    QTest::mousePress(form.spinner, Qt::LeftButton, {}, upperArrow());
    // At once, after 200 ms and after another 190 ms.
    QTRY_COMPARE_WITH_TIMEOUT(form.interval->value(), 4, 2000);
    QTest::mouseRelease(form.spinner, Qt::LeftButton, {}, upperArrow());
    const int released = form.interval->value();
    QTest::qWait(250);
    QCOMPARE(form.interval->value(), released);
}

QTEST_MAIN(EntryControlsTest)
#include "test_entrycontrols.moc"
