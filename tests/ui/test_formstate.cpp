#include "app/frmMain.h"
#include "ui/componentstate.h"
#include "ui/formstate.h"
#include "ui/inifilestore.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#ifndef _WIN32
#include <unistd.h>
#endif

using namespace thermavo;

namespace {

constexpr QSize kWindowSize(300, 200);

// The screens the tests run on: the primary one, and a larger second one to its right whose top
// lies higher, so that its work area differs from the primary's in both directions.
constexpr QRect kPrimaryScreen(0, 0, 1024, 768);
constexpr QRect kSecondScreen(1024, -256, 1280, 1024);

QRect primaryWorkArea() {
    return QGuiApplication::primaryScreen()->availableGeometry();
}

QComboBox* makeBoardList(QWidget* window) {
    auto* list = new QComboBox(window);
    list->setObjectName(QStringLiteral("UsedBoardComboBox"));
    list->setEditable(true);
    list->addItems(
        {QStringLiteral("Vexor08"), QStringLiteral("Vexor04 "), QStringLiteral("Vexor04 USB")});
    return list;
}

// One run of the program: the window, its board list and the three settings components.
struct Run {
    explicit Run(const QString& path) : store(path) {
        window.setFixedSize(kWindowSize);
        form.setPixelsPerInchSource([this] { return pixelsPerInch; });
    }
    // Places are relative to the primary screen's work area, as the file stores them.
    QPoint placedAt() const { return window.pos() - primaryWorkArea().topLeft(); }
    void moveTo(QPoint relative) { window.move(primaryWorkArea().topLeft() + relative); }
    void restore() {
        restored = form.restore();
        component.restore();
    }
    void showAndSave() {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        form.save();
        component.save();
    }

    IniFileStore store;
    QWidget window;
    QComboBox* boardList = makeBoardList(&window);
    FormState form{store, &window};
    ComponentState component{store, boardList};
    int pixelsPerInch = 96;
    bool restored = false;
};

// The main window with stand-ins for its clocks and message boxes, keeping its settings in path.
MainFormServices mainFormServices(const QString& path, QStringList& messages) {
    MainFormServices services;
    services.now = [] { return QDateTime(QDate(2024, 12, 8), QTime(15, 12)); };
    services.regionalSettings = [] { return RegionalSettings{}; };
    services.tickCount = [tick = std::uint32_t{0}]() mutable { return tick += 50; };
    services.showMessage = [&messages](QMessageBox::Icon, const QString&, const QString& text) {
        messages << text;
    };
    services.choosePort = [] { return std::optional<int>(); };
    services.settingsFile = path;
    return services;
}

QByteArray fileText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
}

void putFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

void restoreRow(const char* name, const char* keys, bool restored, QPoint place,
                Qt::WindowState state = Qt::WindowNoState) {
    QTest::newRow(name) << QByteArray(keys) << restored << place << int(state);
}

} // namespace

class TestFormState : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_fileCount = 0;
    // A fresh settings path for every test row.
    QString newPath() { return m_dir.filePath(QStringLiteral("run%1.INI").arg(++m_fileCount)); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // "@" in the expected text stands for the window's frame rectangle at 40,30.
    void closeWritesFile_data() {
        QTest::addColumn<QString>("folder"); // the file's folder below the test's own
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        const QByteArray firstClose("[TMainForm]\r\nFlags=0\r\nShowCmd=1\r\n"
                                    "NormalPos=@\r\nPixelsPerInch=96\r\n"
                                    "Color=-16777201\r\nUsedBoardComboBox.ItemIndex=2\r\n");
        QTest::newRow("first close") << QString() << QByteArray() << firstClose;
        // As the user's settings folder is before the first save.
        QTest::newRow("first close, folder missing")
            << QStringLiteral("config/thermavo") << QByteArray() << firstClose;
        // Outside the ANSI code page of a Western Windows, and a letter that is in it.
        QTest::newRow("first close, folder named in Cyrillic")
            << QStringLiteral("\u0416\u0416\u0416 \u00e9") << QByteArray() << firstClose;
        const QByteArray foreign = "; Thermavo\n[Other]\nFlags=9\n\n[TMainForm]\nflags=0\n"
                                   "Extra = kept \nnormalpos=1,2,3,4\n; end\n\n[Last]\nx=1";
        QTest::newRow("foreign LF file")
            << QString() << foreign
            << QByteArray(foreign).replace("1,2,3,4\n", "@\nShowCmd=1\nPixelsPerInch=96\n"
                                                        "Color=-16777201\n"
                                                        "UsedBoardComboBox.ItemIndex=2\n");
    }
    void closeWritesFile() {
        QFETCH(QString, folder);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        const QString path =
            folder.isEmpty() ? newPath() : m_dir.filePath(folder + QStringLiteral("/thermavo.INI"));
        if (!before.isNull()) {
            putFile(path, before);
        }
        Run run(path);
        run.restore();
        run.moveTo(QPoint(40, 30));
        run.boardList->setCurrentIndex(2);
        run.showAndSave();
        QVERIFY(run.form.saved() && run.component.saved());
        // The offscreen window has a frame; the stored rectangle includes it.
        const QSize frame = run.window.frameGeometry().size();
        const QByteArray pos = QStringLiteral("40,30,%1,%2")
                                   .arg(40 + frame.width())
                                   .arg(30 + frame.height())
                                   .toLatin1();
        QCOMPARE(fileText(path), after.replace('@', pos));
    }

    void restartRestoresPlaceAndRow_data() {
        QTest::addColumn<QPoint>("place");
        QTest::addColumn<int>("row");
        QTest::newRow("Vexor08") << QPoint(120, 80) << 0;
        QTest::newRow("Vexor04") << QPoint(0, 0) << 1;
        QTest::newRow("Vexor04 USB") << QPoint(37, 11) << 2;
        QTest::newRow("no row") << QPoint(200, 300) << -1;
        const QPoint second = kSecondScreen.topLeft() - kPrimaryScreen.topLeft();
        QTest::newRow("second screen") << second + QPoint(60, 45) << 1;
        QTest::newRow("second screen, above the primary") << second + QPoint(300, 10) << 2;
    }
    void restartRestoresPlaceAndRow() {
        QFETCH(QPoint, place);
        QFETCH(int, row);
        const QString path = newPath();
        {
            Run first(path);
            first.restore();
            first.moveTo(place);
            first.boardList->setCurrentIndex(row);
            first.showAndSave();
        }
        Run second(path);
        QSignalSpy activated(second.boardList, &QComboBox::activated);
        second.restore();
        QVERIFY(second.restored);
        QCOMPARE(second.placedAt(), place);
        QCOMPARE(second.window.size(), kWindowSize);
        QCOMPARE(second.boardList->currentIndex(), row);
        QCOMPARE(activated.count(), 0);
    }

    void restoreFromFile_data() {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<bool>("restored");
        QTest::addColumn<QPoint>("place");
        QTest::addColumn<int>("state");
        const QPoint designed(30, 40);
        restoreRow("left and top only", "NormalPos=100,50", true, {100, 50});
        restoreRow("blanks and commas", "NormalPos= 100 ,50, 400,250", true, {100, 50});
        restoreRow("empty: no maximised state", "NormalPos=\nShowCmd=3", false, designed);
        restoreRow("left no integer", "NormalPos=abc,7", true, {30, 7});
        restoreRow("top missing", "NormalPos=7", true, {7, 40});
        restoreRow("partly off screen", "NormalPos=-100,20", true, {-100, 20});
        restoreRow("minimised", "NormalPos=5,6\nShowCmd=2", true, {5, 6}, Qt::WindowMinimized);
        restoreRow("minimised inactive", "NormalPos=5,6\nShowCmd=6", true, {5, 6},
                   Qt::WindowMinimized);
        restoreRow("maximised", "NormalPos=5,6\nShowCmd=3", true, {5, 6}, Qt::WindowMaximized);
        restoreRow("other pixels per inch", "PixelsPerInch=120\nNormalPos=5,6", false, designed);
        restoreRow("pixels per inch no integer", "PixelsPerInch=lots\nNormalPos=5,6", true, {5, 6});
    }
    void restoreFromFile() {
        QFETCH(QByteArray, keys);
        QFETCH(bool, restored);
        QFETCH(QPoint, place);
        QFETCH(int, state);
        const QString path = newPath();
        putFile(path, "[TMainForm]\n" + keys + "\nUsedBoardComboBox.ItemIndex=2\n");
        Run run(path);
        run.moveTo(QPoint(30, 40));
        run.restore();
        QCOMPARE(run.restored, restored);
        QCOMPARE(run.placedAt(), place);
        QCOMPARE(int(run.window.windowState()), state);
        QCOMPARE(run.boardList->currentIndex(), 2);
    }

    void offScreenPlaceComesBack_data() {
        QTest::addColumn<QByteArray>("normalPos");
        QTest::newRow("beyond top left") << QByteArray("-5000,-5000");
        QTest::newRow("largest integers") << QByteArray("2147483647,2147483647");
    }
    void offScreenPlaceComesBack() {
        QFETCH(QByteArray, normalPos);
        const QString path = newPath();
        putFile(path, "[TMainForm]\r\nNormalPos=" + normalPos + "\r\n");
        Run run(path);
        run.restore();
        QVERIFY(run.restored);
        QVERIFY(primaryWorkArea().contains(run.window.frameGeometry()));
    }

    // The real window, moved onto a screen, closed and started again, comes back to the same
    // place; the file holds it relative to the primary screen's work area.
    void mainWindowComesBackToItsScreen_data() {
        QTest::addColumn<int>("screen");
        QTest::addColumn<QPoint>("offset");
        QTest::newRow("primary screen") << 0 << QPoint(70, 20);
        QTest::newRow("second screen") << 1 << QPoint(60, 45);
    }
    void mainWindowComesBackToItsScreen() {
        QFETCH(int, screen);
        QFETCH(QPoint, offset);
        QScreen* target = QGuiApplication::screens().value(screen);
        QVERIFY(target != nullptr);
        const QString path = newPath();
        QStringList messages;
        QPoint place;
        {
            TMainForm first(mainFormServices(path, messages));
            first.showAtStart();
            QVERIFY(QTest::qWaitForWindowExposed(&first));
            first.move(target->availableGeometry().topLeft() + offset);
            QTRY_COMPARE(first.screen(), target);
            place = first.frameGeometry().topLeft();
            QVERIFY(first.close());
        }
        TMainForm again(mainFormServices(path, messages));
        again.showAtStart();
        QVERIFY(QTest::qWaitForWindowExposed(&again));
        QCOMPARE(again.frameGeometry().topLeft(), place);
        QCOMPARE(again.screen(), target);
        const QStringList stored =
            IniFileStore(path)
                .readString(QStringLiteral("TMainForm"), QStringLiteral("NormalPos"), {})
                .split(QLatin1Char(','));
        QCOMPARE(stored.mid(0, 2),
                 (QStringList{QString::number(place.x() - primaryWorkArea().x()),
                              QString::number(place.y() - primaryWorkArea().y())}));
        QCOMPARE(messages, QStringList());
    }

    void boardRow_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("row");
        QTest::newRow("row 2") << QByteArray("UsedBoardComboBox.ItemIndex=2") << 2;
        QTest::newRow("past the list") << QByteArray("UsedBoardComboBox.ItemIndex=7") << -1;
        QTest::newRow("no row") << QByteArray("UsedBoardComboBox.ItemIndex=-1") << -1;
        QTest::newRow("no integer") << QByteArray("UsedBoardComboBox.ItemIndex=abc") << 0;
        QTest::newRow("blanks around") << QByteArray("UsedBoardComboBox.ItemIndex= 1 ") << 1;
        QTest::newRow("missing keeps the current row") << QByteArray("Flags=0") << 1;
    }
    void boardRow() {
        QFETCH(QByteArray, line);
        QFETCH(int, row);
        const QString path = newPath();
        putFile(path, "[TMainForm]\r\n" + line + "\r\n");
        Run run(path);
        run.boardList->setCurrentIndex(1);
        QSignalSpy activated(run.boardList, &QComboBox::activated);
        run.component.restore();
        QCOMPARE(run.boardList->currentIndex(), row);
        QCOMPARE(activated.count(), 0);
        run.component.save();
        QCOMPARE(run.store.readString(QStringLiteral("TMainForm"), run.component.key(), QString()),
                 QString::number(row));
    }

    void savedShowCommand_data() {
        QTest::addColumn<bool>("maximise");
        QTest::addColumn<bool>("applicationMinimised");
        QTest::addColumn<int>("showCommand");
        QTest::newRow("normal") << false << false << 1;
        QTest::newRow("maximised") << true << false << 3;
        QTest::newRow("application minimised") << false << true << 2;
    }
    void savedShowCommand() {
        QFETCH(bool, maximise);
        QFETCH(bool, applicationMinimised);
        QFETCH(int, showCommand);
        const QString path = newPath();
        Run run(path);
        run.restore();
        run.moveTo(QPoint(50, 60));
        run.form.setMinimizedQuery([=] { return applicationMinimised; });
        run.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&run.window));
        const QSize frame = run.window.frameGeometry().size();
        if (maximise) {
            run.window.showMaximized();
            QTRY_VERIFY(run.window.isMaximized());
        }
        run.form.save();
        QCOMPARE(run.store.readInteger(QStringLiteral("TMainForm"), QStringLiteral("ShowCmd"), 0),
                 showCommand);
        // The normal rectangle survives maximising.
        QCOMPARE(run.store.readString(QStringLiteral("TMainForm"), QStringLiteral("NormalPos"), {}),
                 QStringLiteral("50,60,%1,%2").arg(50 + frame.width()).arg(60 + frame.height()));
    }

    void unwritableFileFailsEachTry() {
        // Root ignores permission bits, so the folder is made impossible: it is a plain file.
        putFile(m_dir.filePath(QStringLiteral("plain")), "not a folder");
        const QString path = m_dir.filePath(QStringLiteral("plain/thermavo.INI"));
        Run run(path);
        run.restore();
        for (int attempt = 0; attempt < 2; ++attempt) {
            QVERIFY_THROWS_EXCEPTION(ProfileWriteError, run.form.save());
            try {
                run.component.save();
                QFAIL("the board row was saved");
            } catch (const ProfileWriteError& error) {
                QCOMPARE(QString::fromStdString(error.what()), "Unable to write to " + path);
            }
            QVERIFY(!run.form.saved() && !run.component.saved());
            QVERIFY(!run.store.isOpen());
        }
    }

    // The main window's report names the file as it is, whatever the letters of its folder.
    void unwritableFileReportedByTheWindow() {
        const QString folder = m_dir.filePath(QStringLiteral("\u0416\u0416\u0416 \u00e9"));
        QVERIFY(QDir().mkpath(folder));
        putFile(folder + QStringLiteral("/plain"), "not a folder");
        const QString path = folder + QStringLiteral("/plain/thermavo.INI");
        QStringList messages;
        {
            TMainForm form(mainFormServices(path, messages));
            form.showAtStart();
            QVERIFY(form.close());
        }
        QVERIFY(!messages.isEmpty());
        for (const QString& message : messages)
            QCOMPARE(message, QStringLiteral("Unable to write to %1.").arg(path));
    }

    void settingsFileName_data() {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("settings");
        QTest::newRow("no extension")
            << QStringLiteral("/opt/build/thermavo") << QStringLiteral("/opt/build/thermavo.INI");
        QTest::newRow("exe") << QStringLiteral("/opt/build/thermavo.exe")
                             << QStringLiteral("/opt/build/thermavo.INI");
        QTest::newRow("dot in the folder only")
            << QStringLiteral("/opt/v1.2/thermavo") << QStringLiteral("/opt/v1.2/thermavo.INI");
        QTest::newRow("last dot wins")
            << QStringLiteral("/opt/thermavo.v2.exe") << QStringLiteral("/opt/thermavo.v2.INI");
    }
    void settingsFileName() {
        QFETCH(QString, executable);
        QFETCH(QString, settings);
        QCOMPARE(settingsFilePathFor(executable), QDir::toNativeSeparators(settings));
    }

    // The file beside the executable wins while its folder is writable or it exists there; a
    // read-only one is then reported rather than bypassed.
    void settingsFilePlace_data() {
        QTest::addColumn<QString>("beside"); // what the executable's folder holds
        QTest::addColumn<bool>("writable");
        QTest::addColumn<bool>("userFolder");
        const QString nothing, file = QStringLiteral("file"),
                               readOnly = QStringLiteral("read-only file"),
                               link = QStringLiteral("link to a file");
        QTest::newRow("writable folder") << nothing << true << false;
        QTest::newRow("writable folder with the file") << file << true << false;
        QTest::newRow("read-only folder") << nothing << false << true;
        QTest::newRow("read-only folder with the file") << file << false << false;
        QTest::newRow("read-only folder with a read-only file") << readOnly << false << false;
        QTest::newRow("read-only folder with a link") << link << false << false;
    }
    void settingsFilePlace() {
        QFETCH(QString, beside);
        QFETCH(bool, writable);
        QFETCH(bool, userFolder);
        const QDir program(m_dir.filePath(QStringLiteral("program%1").arg(++m_fileCount)));
        QVERIFY(program.mkpath(QStringLiteral(".")));
        const QString besidePath = program.filePath(QStringLiteral("thermavo.INI"));
        if (beside == QLatin1String("link to a file")) {
            putFile(m_dir.filePath(QStringLiteral("elsewhere.INI")), "[TMainForm]\r\n");
            QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("elsewhere.INI")), besidePath));
        } else if (!beside.isEmpty()) {
            putFile(besidePath, "[TMainForm]\r\n");
        }
        if (beside == QLatin1String("read-only file")) {
            QVERIFY(QFile::setPermissions(besidePath, QFile::ReadOwner | QFile::ReadOther));
        }
        const QString user = m_dir.filePath(QStringLiteral("config/thermavo"));
        const QString chosen =
            settingsFilePathFor(program.filePath(QStringLiteral("thermavo")), writable, user);
        QCOMPARE(chosen, QDir::toNativeSeparators(
                             userFolder ? user + QStringLiteral("/thermavo.INI") : besidePath));
        if (beside == QLatin1String("read-only file")) {
            IniFileStore store(chosen);
            try {
                store.writeInteger(QStringLiteral("TMainForm"), QStringLiteral("Flags"), 0);
                QFAIL("the read-only file was written");
            } catch (const ProfileWriteError& error) {
                QCOMPARE(QString::fromStdString(error.what()), "Unable to write to " + chosen);
            }
        }
    }

    void folderWritable_data() {
        QTest::addColumn<QString>("folder"); // below the test's own
        QTest::addColumn<bool>("writable");
        QTest::newRow("folder") << QStringLiteral("open") << true;
        QTest::newRow("missing folder") << QStringLiteral("missing") << false;
        QTest::newRow("plain file") << QStringLiteral("plain") << false;
#ifndef _WIN32
        // Root writes there all the same.
        QTest::newRow("folder without write bits")
            << QStringLiteral("closed") << (::geteuid() == 0);
#endif
    }
    void folderWritable() {
        QFETCH(QString, folder);
        QFETCH(bool, writable);
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("open")));
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("closed")));
        QVERIFY(QFile::setPermissions(m_dir.filePath(QStringLiteral("closed")),
                                      QFile::ReadOwner | QFile::ExeOwner));
        putFile(m_dir.filePath(QStringLiteral("plain")), "not a folder");
        QCOMPARE(thermavo::folderWritable(m_dir.filePath(folder)), writable);
    }
};

int main(int argc, char* argv[]) {
    // The offscreen platform with two screens, described in a file it reads at start.
    QTemporaryDir folder;
    const QString config = folder.filePath(QStringLiteral("screens.json"));
    QFile file(config);
    const auto screen = [](const char* name, QRect area) {
        return QStringLiteral(R"({"name": "%1", "x": %2, "y": %3, "width": %4, "height": %5,
                                  "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1})")
            .arg(QLatin1String(name))
            .arg(area.x())
            .arg(area.y())
            .arg(area.width())
            .arg(area.height());
    };
    if (!folder.isValid() || !file.open(QIODevice::WriteOnly) ||
        file.write(QStringLiteral(R"({"screens": [%1, %2]})")
                       .arg(screen("Primary", kPrimaryScreen), screen("Second", kSecondScreen))
                       .toUtf8()) < 0) {
        qFatal("cannot describe the test screens in %s", qPrintable(config));
    }
    file.close();
    // The platform's arguments are separated by colons, so the file is named from its own folder:
    // a Windows path's drive letter would end the argument.
    const QString startFolder = QDir::currentPath();
    QDir::setCurrent(folder.path());
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=screens.json");
    QApplication application(argc, argv);
    QDir::setCurrent(startFolder);
    TestFormState test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_formstate.moc"
