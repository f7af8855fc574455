#include "link/portdialog.h"
#include "link/portmap.h"
#ifndef _WIN32
#include "pseudoterminal.h"
#endif

#include <QApplication>
#include <QComboBox>
#include <QHash>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using thermavo::askForPort;
using thermavo::isPortPresent;
using thermavo::PortDialog;

namespace {

// How far off centre a dialog may land for the frame the platform adds only once it is shown.
constexpr int kUnseenFrame = 4;

std::function<bool(int)> presentAmong(const QList<int>& numbers) {
    const QSet<int> present(numbers.begin(), numbers.end());
    return [present](int number) { return present.contains(number); };
}

// Answers the next modal dialog as a user would: a click on the named button, or keys pressed
// where the focus is ("Tab", "Enter" and "Space", separated by blanks). Records where the
// dialog was placed before it was shown.
void answerNextDialog(const QString& answer, QRect* placed = nullptr) {
    QTimer::singleShot(0, [answer, placed] {
        QWidget* dialog = QApplication::activeModalWidget();
        QVERIFY(dialog != nullptr);
        if (placed != nullptr)
            *placed = dialog->testAttribute(Qt::WA_Moved) ? dialog->geometry() : QRect();
        if (auto* button = dialog->findChild<QPushButton*>(answer)) {
            QTest::mouseClick(button, Qt::LeftButton);
            return;
        }
        static const QHash<QString, Qt::Key> keys = {
            {"Tab", Qt::Key_Tab}, {"Enter", Qt::Key_Return}, {"Space", Qt::Key_Space}};
        for (const QString& key : answer.split(' ')) {
            QVERIFY2(keys.contains(key), qPrintable(key));
            QTest::keyClick(dialog->focusWidget(), keys.value(key));
        }
    });
}

} // namespace

class PortDialogTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void listsPresentPorts_data();
    void listsPresentPorts();
    void probeFindsFreeAndMissesMissing();
    void layout_data();
    void layout();
    void windowAndFocus();
    void enterTakesSelectedRow();
    void escapeIsNotBound();
    void closeBoxGivesNothing();
    void askForPortAnswers_data();
    void askForPortAnswers();

private:
    QTemporaryDir m_config;
};

void PortDialogTest::initTestCase() {
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
}

void PortDialogTest::listsPresentPorts_data() {
    QTest::addColumn<QList<int>>("present");
    QTest::addColumn<QStringList>("rows");

    QTest::newRow("free, busy and free")
        << QList<int>{3, 1, 2} << QStringList{"COM1", "COM2", "COM3"};
    QTest::newRow("two-digit number") << QList<int>{12} << QStringList{"COM12"};
    QTest::newRow("both ends of the range") << QList<int>{256, 1} << QStringList{"COM1", "COM256"};
    QTest::newRow("outside the range is never asked") << QList<int>{0, 257} << QStringList{};
    QTest::newRow("none present") << QList<int>{} << QStringList{};
}

void PortDialogTest::listsPresentPorts() {
    QFETCH(QList<int>, present);
    QFETCH(QStringList, rows);

    PortDialog dialog(presentAmong(present));
    auto* list = dialog.findChild<QComboBox*>("portList");
    QVERIFY(list != nullptr);
    QStringList shown;
    for (int row = 0; row < list->count(); ++row) {
        shown << list->itemText(row);
        const int number = list->itemText(row).mid(3).toInt();
        QCOMPARE(list->itemData(row, Qt::ToolTipRole).toString(),
                 QString::fromStdString(thermavo::devicePathForPort(number)));
    }
    QCOMPARE(shown, rows);
    QCOMPARE(list->currentIndex(), rows.isEmpty() ? -1 : 0);
    QCOMPARE(dialog.selectedPort(),
             rows.isEmpty() ? std::nullopt : std::optional<int>(rows.first().mid(3).toInt()));
}

void PortDialogTest::probeFindsFreeAndMissesMissing() {
#ifdef _WIN32
    QSKIP("The board's side is a pseudo-terminal, which Windows lacks; under Wine test_winlink "
          "probes a COM port that leads to thermavo-sim");
#else
    PseudoTerminal free;
    QVERIFY2(free.create(51), qPrintable(free.error()));
    QVERIFY(linkMissingPort(52));
    QVERIFY(isPortPresent(51));
    QVERIFY(!isPortPresent(52));
    QVERIFY(!isPortPresent(0));
    QVERIFY(!isPortPresent(257));
#endif
}

void PortDialogTest::layout_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("frame") << "bevel" << QRect(8, 8, 201, 42);
    QTest::newRow("port list") << "portList" << QRect(8, 64, 201, 21);
    QTest::newRow("OK") << "okButton" << QRect(8, 95, 85, 27);
    QTest::newRow("Cancel") << "cancelButton" << QRect(124, 95, 85, 27);
}

void PortDialogTest::layout() {
    QFETCH(QString, name);
    QFETCH(QRect, geometry);

    PortDialog dialog(presentAmong({1}));
    QWidget* widget = dialog.findChild<QWidget*>(name);
    QVERIFY(widget != nullptr);
    QCOMPARE(widget->geometry(), geometry);
}

void PortDialogTest::windowAndFocus() {
    PortDialog dialog(presentAmong({1, 2}));
    QCOMPARE(dialog.windowTitle(), QString("Select Port"));
    QCOMPARE(dialog.size(), QSize(220, 131));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    const Qt::WindowFlags flags = dialog.windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));

    auto* list = dialog.findChild<QComboBox*>("portList");
    QVERIFY(!list->isEditable());
    QCOMPARE(dialog.findChild<QWidget*>("invalidLabel")->pos(), QPoint(18, 14));
    QCOMPARE(dialog.findChild<QWidget*>("chooseLabel")->pos(), QPoint(18, 30));

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* ok = dialog.findChild<QPushButton*>("okButton");
    auto* cancel = dialog.findChild<QPushButton*>("cancelButton");
    QCOMPARE(dialog.focusWidget(), ok);
    QVERIFY(ok->isDefault());
    QTest::keyClick(dialog.focusWidget(), Qt::Key_Tab);
    QCOMPARE(dialog.focusWidget(), cancel);
    QTest::keyClick(dialog.focusWidget(), Qt::Key_Tab);
    QCOMPARE(dialog.focusWidget(), list);
    QTest::keyClick(dialog.focusWidget(), Qt::Key_Tab);
    QCOMPARE(dialog.focusWidget(), ok);
    const QRect screen = dialog.screen()->availableGeometry();
    QVERIFY((dialog.frameGeometry().center() - screen.center()).manhattanLength() <= kUnseenFrame);
}

void PortDialogTest::enterTakesSelectedRow() {
    PortDialog dialog(presentAmong({1, 2, 3, 12}));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClick(&dialog, Qt::Key_Return);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.selectedPort(), std::optional<int>(1));

    PortDialog other(presentAmong({1, 2, 3, 12}));
    other.findChild<QComboBox*>("portList")->setCurrentIndex(3);
    QCOMPARE(other.selectedPort(), std::optional<int>(12));
}

void PortDialogTest::escapeIsNotBound() {
    PortDialog dialog(presentAmong({1}));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QTest::keyClick(dialog.focusWidget(), Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
}

void PortDialogTest::closeBoxGivesNothing() {
    PortDialog dialog(presentAmong({1}));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.close();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
}

void PortDialogTest::askForPortAnswers_data() {
    QTest::addColumn<QList<int>>("present");
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("expected");

    QTest::newRow("OK on the first row") << QList<int>{4, 7} << "okButton" << 4;
    QTest::newRow("Cancel") << QList<int>{4, 7} << "cancelButton" << 0;
    QTest::newRow("OK on an empty list") << QList<int>{} << "okButton" << 0;
    QTest::newRow("Enter on OK") << QList<int>{4, 7} << "Enter" << 4;
    // Enter presses the button that has the focus; OK is the default only while no other
    // button has it.
    QTest::newRow("Enter on Cancel") << QList<int>{4, 7} << "Tab Enter" << 0;
    QTest::newRow("Space on Cancel") << QList<int>{4, 7} << "Tab Space" << 0;
    QTest::newRow("Enter on the list") << QList<int>{4, 7} << "Tab Tab Enter" << 4;
}

void PortDialogTest::askForPortAnswers() {
    QFETCH(QList<int>, present);
    QFETCH(QString, button);
    QFETCH(int, expected);

    QRect placed;
    answerNextDialog(button, &placed);
    const std::optional<int> answer = askForPort(presentAmong(present));
    QCOMPARE(answer, expected > 0 ? std::optional<int>(expected) : std::nullopt);
    // Placed by the program in the middle of the screen, not left to the platform's guess. The
    // window frame is not known before the first show; offscreen it adds 2 pixels a side.
    QVERIFY(placed.isValid());
    const QPoint offCentre =
        placed.center() - QApplication::primaryScreen()->availableGeometry().center();
    QVERIFY2(offCentre.manhattanLength() <= kUnseenFrame,
             qPrintable(QString::number(offCentre.x()) + "," + QString::number(offCentre.y())));
}

QTEST_MAIN(PortDialogTest)
#include "test_portdialog.moc"
