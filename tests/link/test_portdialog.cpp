#include "link/comport.h"
#include "link/portdialog.h"
#include "link/portmap.h"
#ifdef _WIN32
#include <windows.h>
#else
#include "deniedaccess.h"
#include "pseudoterminal.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <cerrno>
#include <filesystem>
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
using thermavo::ComPort;
using thermavo::isPortPresent;
using thermavo::PortDialog;
using thermavo::PortSystem;

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

// The system's own calls, with every device opened counted.
struct CountingSystem {
    PortSystem system = PortSystem::real();
    std::shared_ptr<int> opens = std::make_shared<int>(0);
    CountingSystem() {
        system.openAndClose = [opens = opens,
                               open = system.openAndClose](const std::string& device) {
            ++*opens;
            return open(device);
        };
    }
};

#ifndef _WIN32
QStringList rowsOf(const PortDialog& dialog) {
    QStringList rows;
    const auto* list = dialog.findChild<QComboBox*>("portList");
    for (int row = 0; row < list->count(); ++row)
        rows << list->itemText(row);
    return rows;
}

// thermavo-sim of the build, as the board on a port of its own.
class Simulator {
public:
    Simulator(const QString& configHome, int port) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", configHome);
        m_process.setProcessEnvironment(environment);
        const QByteArray buildDir = qgetenv("THERMAVO_BUILD_DIR");
        const QString dir = buildDir.isEmpty() ? QCoreApplication::applicationDirPath() + "/.."
                                               : QString::fromLocal8Bit(buildDir);
        m_process.start(QDir(dir).absoluteFilePath("thermavo-sim"),
                        {"--port", QString::number(port)});
    }
    ~Simulator() {
        m_process.kill();
        m_process.waitForFinished();
    }
    // Waits for the simulator to say which port it serves.
    bool announced(int port) {
        while (!m_process.canReadLine() && m_process.waitForReadyRead(5000)) {
        }
        return QString::fromLocal8Bit(m_process.readLine())
            .contains(QRegularExpression(QStringLiteral(" on COM%1: ").arg(port)));
    }

private:
    QProcess m_process;
};
#endif

} // namespace

class PortDialogTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void listsPresentPorts_data();
    void listsPresentPorts();
    void probeFindsFreeAndMissesMissing();
    void findsPortsWithoutOpening_data();
    void findsPortsWithoutOpening();
    void dialogListsHeldAndSimulatedPortsWithoutOpening();
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

#ifdef _WIN32
// What Windows names, as QueryDosDeviceW and the SERIALCOMM key give it; where neither answers,
// each number is opened to see: COM2 opens, another program holds COM9.
void PortDialogTest::findsPortsWithoutOpening_data() {
    QTest::addColumn<bool>("dosAnswers");
    QTest::addColumn<QStringList>("dosNames");
    QTest::addColumn<bool>("serialCommAnswers");
    QTest::addColumn<QStringList>("serialCommNames");
    QTest::addColumn<QList<int>>("present");
    QTest::addColumn<int>("opens");

    QTest::newRow("MS-DOS devices") << true << QStringList{"C:", "COM3", "com12", "LPT1", "AUX"}
                                    << false << QStringList{} << QList<int>{3, 12} << 0;
    QTest::newRow("SERIALCOMM only")
        << false << QStringList{} << true << QStringList{"COM4"} << QList<int>{4} << 0;
    QTest::newRow("both, each port once")
        << true << QStringList{"COM5", "COM4"} << true << QStringList{"COM5", "COM6"}
        << QList<int>{4, 5, 6} << 0;
    QTest::newRow("names that are no COM1 to COM256")
        << true << QStringList{"COM", "COM0", "COM012", "COM257", "COMX", "COM1X", "XCOM1"} << true
        << QStringList{} << QList<int>{} << 0;
    QTest::newRow("the system names no port")
        << true << QStringList{"C:"} << true << QStringList{} << QList<int>{} << 0;
    QTest::newRow("neither answers")
        << false << QStringList{} << false << QStringList{} << QList<int>{2, 9} << 256;
}

void PortDialogTest::findsPortsWithoutOpening() {
    QFETCH(bool, dosAnswers);
    QFETCH(QStringList, dosNames);
    QFETCH(bool, serialCommAnswers);
    QFETCH(QStringList, serialCommNames);
    QFETCH(QList<int>, present);
    QFETCH(int, opens);

    auto names = [](bool answers, const QStringList& list) {
        return [answers, list]() -> std::optional<std::vector<std::string>> {
            if (!answers)
                return std::nullopt;
            std::vector<std::string> result;
            for (const QString& name : list)
                result.push_back(name.toStdString());
            return result;
        };
    };
    int opened = 0;
    PortSystem system;
    system.dosDeviceNames = names(dosAnswers, dosNames);
    system.serialCommPorts = names(serialCommAnswers, serialCommNames);
    system.openAndClose = [&opened](const std::string& device) {
        ++opened;
        if (device == "\\\\.\\COM2")
            return 0;
        return device == "\\\\.\\COM9" ? int(ERROR_ACCESS_DENIED) : int(ERROR_FILE_NOT_FOUND);
    };
    const std::vector<int> found = thermavo::presentPorts(system);
    QCOMPARE(QList<int>(found.begin(), found.end()), present);
    QCOMPARE(opened, opens);
    for (const int number : {1, 2, 3, 4, 9, 12, 256})
        QCOMPARE(isPortPresent(number, system), present.contains(number));
}

void PortDialogTest::dialogListsHeldAndSimulatedPortsWithoutOpening() {
    QSKIP("Windows has no thermavo-sim of its own; under Wine test_winlink lists the port that "
          "leads to the simulator and one held by another opener");
}
#else
// Devices as the test makes them, found through the system's own calls with every open counted;
// the sysfs type of a ttyS node as the row says (none: sysfs cannot tell).
void PortDialogTest::findsPortsWithoutOpening_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("uartType");
    QTest::addColumn<bool>("present");
    QTest::addColumn<int>("opens");

    QTest::newRow("the board's pseudo-terminal") << "board" << QString() << true << 0;
    QTest::newRow("held by another program") << "held" << QString() << true << 0;
    QTest::newRow("link to nothing") << "missing" << QString() << false << 0;
    // Not in the group that owns the device: listed, and the opening says why it fails.
    QTest::newRow("you may not open it") << "denied" << QString() << true << 0;
    QTest::newRow("ttyS with a UART") << "ttyS7"
                                      << "4\n"
                                      << true << 0;
    QTest::newRow("ttyS without a UART") << "ttyS7"
                                         << "0\n"
                                         << false << 0;
    QTest::newRow("ttyS that sysfs cannot tell") << "ttyS7" << QString() << true << 1;
    QTest::newRow("name like ttyS, no serial port") << "ttyS7x"
                                                    << "0\n"
                                                    << true << 0;
}

void PortDialogTest::findsPortsWithoutOpening() {
    QFETCH(QString, device);
    QFETCH(QString, uartType);
    QFETCH(bool, present);
    QFETCH(int, opens);

    constexpr int kNumber = 56;
    PseudoTerminal board;
    ComPort holder;
    const QString file = m_config.filePath(device);
    if (device == "board" || device == "held") {
        QVERIFY2(board.create(kNumber), qPrintable(board.error()));
        if (device == "held") {
            holder.setComNumber(kNumber);
            holder.open();
        }
    } else if (device == "missing") {
        QVERIFY(linkMissingPort(kNumber));
    } else {
        QVERIFY(device == "denied" ? makeDeniedFile(qPrintable(file))
                                   : QFile(file).open(QIODevice::WriteOnly));
        const QString link = QString::fromStdString(thermavo::portFolder()) + "/COM56";
        QFile::remove(link);
        QVERIFY(QFile::link(file, link));
    }

    CountingSystem counting;
    QStringList sysfsReads;
    counting.system.readText = [&](const std::string& path) -> std::optional<std::string> {
        sysfsReads << QString::fromStdString(path);
        return uartType.isNull() ? std::nullopt : std::optional(uartType.toStdString());
    };
    QCOMPARE(isPortPresent(kNumber, counting.system), present);
    QCOMPARE(*counting.opens, opens);
    QCOMPARE(sysfsReads,
             device == "ttyS7" ? QStringList{"/sys/class/tty/ttyS7/type"} : QStringList{});
    holder.close();
    QFile::remove(QString::fromStdString(thermavo::portFolder()) + "/COM56");
    QFile::remove(file);
}

void PortDialogTest::dialogListsHeldAndSimulatedPortsWithoutOpening() {
    Simulator simulator(m_config.path(), 53);
    QVERIFY(simulator.announced(53));
    PseudoTerminal held;
    QVERIFY2(held.create(52), qPrintable(held.error()));
    ComPort holder;
    holder.setComNumber(52);
    holder.open();

    CountingSystem counting;
    const PortDialog dialog(counting.system);
    const QStringList rows = rowsOf(dialog);
    QVERIFY2(rows.contains("COM52") && rows.contains("COM53"), qPrintable(rows.join(' ')));
    QCOMPARE(rows.indexOf("COM52") + 1, rows.indexOf("COM53"));
    QCOMPARE(*counting.opens, 0);
    // The port the other program holds is still its own.
    QVERIFY(holder.isOpen());
}
#endif

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
