#include "ui/profilefile.h"

#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace thermavo;

namespace {

namespace fs = std::filesystem;

#ifndef _WIN32
// Who writes in the tests of folder and file rights: this user, or "nobody" when the tests run as
// root, whom permission bits do not stop.
struct Writer {
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    bool dropsRoot = false;
};

Writer writer() {
    if (::geteuid() != 0) {
        return {};
    }
    const passwd* nobody = ::getpwnam("nobody");
    return {nobody != nullptr ? nobody->pw_uid : 65534, nobody != nullptr ? nobody->pw_gid : 65534,
            true};
}

enum WriteResult { Written, Refused, OtherFailure, NoWriter };

// Sets Flags=7 in the file as the writer, in a child process when root must be left behind.
WriteResult writeAs(const Writer& who, const std::string& path) {
    const auto attempt = [&] {
        try {
            ProfileFile(path).writeString("TMainForm", "Flags", "7");
            return Written;
        } catch (const ProfileWriteError&) {
            return Refused;
        } catch (...) {
            return OtherFailure;
        }
    };
    if (!who.dropsRoot) {
        return attempt();
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(who.gid) != 0 || ::setuid(who.uid) != 0) {
            ::_exit(NoWriter);
        }
        ::_exit(attempt());
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return NoWriter;
    }
    return static_cast<WriteResult>(WEXITSTATUS(status));
}
#endif

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void row(const char* name, std::initializer_list<QByteArray> cells) {
    QTestData& data = QTest::newRow(name);
    for (const QByteArray& cell : cells) {
        data << cell;
    }
}

void addColumns(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        QTest::addColumn<QByteArray>(name);
    }
}

// "section|key" of a table row.
std::pair<std::string, std::string> sectionAndKey(const QByteArray& name) {
    const auto bar = name.indexOf('|');
    return {name.left(bar).toStdString(), name.mid(bar + 1).toStdString()};
}

} // namespace

class TestProfileFile : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    fs::path folder() const { return fs::path(m_dir.path().toStdString()); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void find_data() {
        addColumns({"text", "name", "value"});
        const QByteArray file = "[TMainForm]\r\nFlags=0\r\nNormalPos=1,2,3,4\r\n";
        row("names in other case", {file, "tmainform|NORMALPOS", "1,2,3,4"});
        row("missing key", {file, "TMainForm|ShowCmd", "<missing>"});
        row("blanks around", {"  [ S ]  \n \t Flags \t=  7 \t\n", "S|Flags", "7"});
        row("empty value", {"[S]\r\nNormalPos=\r\n", "S|NormalPos", ""});
        row("value holds '='", {"[S]\nk=a=b\n", "S|k", "a=b"});
        row("key of another section", {"[A]\nx=1\n[B]\ny=2\n", "A|y", "<missing>"});
        row("first section and key win", {"[A]\nx=1\nX=3\n[a]\nx=2\n", "A|x", "1"});
        row("comment is no key", {"[A]\n;x=1\n", "A|x", "<missing>"});
        row("lone CR ends the text", {"[A]\r\nx=5\r", "A|x", "5"});
        row("byte order mark", {"\xEF\xBB\xBF[A]\r\nx=5\r\n", "A|x", "5"});
    }
    void find() {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, value);
        const auto [section, key] = sectionAndKey(name);
        QCOMPARE(findProfileValue(text.toStdString(), section, key).value_or("<missing>"),
                 value.toStdString());
    }

    void write_data() {
        addColumns({"text", "name", "value", "expected"});
        row("value changes in place",
            {"[A]\r\nx=1\r\ny=2\r\n", "A|x", "10", "[A]\r\nx=10\r\ny=2\r\n"});
        row("key in other case",
            {"[a]\r\nNORMALPOS=1,2\r\n", "A|NormalPos", "3", "[a]\r\nNORMALPOS=3\r\n"});
        row("unchanged value", {"[A]\nx =  1  \n", "A|x", "1", "[A]\nx =  1  \n"});
        row("blanks before the value", {"[A]\nx =  1  \n", "A|x", "2", "[A]\nx =  2\n"});
        row("new key after the last key", {"[A]\r\nx=1\r\n; B\r\n\r\n[B]\r\nz=3", "A|y", "2",
                                           "[A]\r\nx=1\r\ny=2\r\n; B\r\n\r\n[B]\r\nz=3"});
        row("section without keys",
            {"[A]\r\n;x=0\r\n[B]\r\n", "A|x", "1", "[A]\r\nx=1\r\n;x=0\r\n[B]\r\n"});
        row("new section, LF file",
            {"; top\n[A]\nx=1\n\n", "B|y", "2", "; top\n[A]\nx=1\n\n[B]\ny=2\n"});
        row("after a last line without end",
            {"[A]\r\nx=1", "B|y", "2", "[A]\r\nx=1\r\n[B]\r\ny=2\r\n"});
        row("after a last line ending in CR",
            {"[A]\r\nx=1\r", "A|y", "2", "[A]\r\nx=1\r\ny=2\r\n"});
        row("first of two equal sections",
            {"[A]\nx=1\n[A]\nx=1\n", "a|x", "2", "[A]\nx=2\n[A]\nx=1\n"});
    }
    void write() {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, expected);
        const auto [section, key] = sectionAndKey(name);
        const std::string result =
            withProfileValue(text.toStdString(), section, key, value.toStdString());
        QCOMPARE(result, expected.toStdString());
        QCOMPARE(findProfileValue(result, section, key).value_or("<missing>"), value.toStdString());
    }

    // Reading drops the blanks around a value, so rewriting a blank-led value must not pile the
    // blanks up line after line.
    void blankLedValueWrittenTwice() {
        const std::string once = withProfileValue("[A]\r\n", "A", "x", " \t1");
        QCOMPARE(once, std::string("[A]\r\nx= \t1\r\n"));
        QCOMPARE(withProfileValue(once, "A", "x", " \t1"), once);
        QCOMPARE(withProfileValue("[A]\r\nx= 1\r\n", "A", "x", " 1"),
                 std::string("[A]\r\nx= 1\r\n"));
        QCOMPARE(findProfileValue(once, "A", "x").value_or("<missing>"), std::string("1"));
    }

    void badNames_data() {
        addColumns({"name", "value"});
        row("line break in value", {"A|x", "1\r\n[B]"});
        row("'=' in key", {"A|x=y", "1"});
        row("comment key", {"A|;x", "1"});
        row("']' in section", {"A]x|x", "1"});
    }
    void badNames() {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, value);
        const auto [section, key] = sectionAndKey(name);
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument,
                                 withProfileValue("[A]\r\n", section, key, value.toStdString()));
    }

    void fileFirstWrites() {
        fs::create_directories(folder() / "first");
        const fs::path path = folder() / "first" / "first.INI";
        ProfileFile file(path.string());
        QCOMPARE(file.readString("TMainForm", "Flags", "none"), std::string("none"));
        file.writeString("TMainForm", "Flags", "0");
        file.writeString("TMainForm", "NormalPos", "10,20,310,220");
        file.writeString("TMainForm", "Flags", "0");
        QCOMPARE(fileText(path),
                 std::string("[TMainForm]\r\nFlags=0\r\nNormalPos=10,20,310,220\r\n"));
        // No temporary file is left beside it.
        QCOMPARE(
            std::distance(fs::directory_iterator(folder() / "first"), fs::directory_iterator()), 1);
    }

    void fileWriteThroughLinkKeepsLink() {
#ifdef _WIN32
        QSKIP("Making a symbolic link needs a privilege that Windows gives its users only on "
              "request");
#endif
        const fs::path real = folder() / "real.INI";
        const fs::path link = folder() / "link.INI";
        std::ofstream(real, std::ios::binary) << "[A]\nx=1\n";
        fs::create_symlink(real, link);
        ProfileFile(link.string()).writeString("A", "x", "2");
        QVERIFY(fs::is_symlink(link));
        QCOMPARE(fileText(real), std::string("[A]\nx=2\n"));
    }

    void fileWriteFailures_data() {
        addColumns({"relativePath"});
        // Tests run as root, whom permission bits do not stop; these paths fail for every user.
        row("folder is a file", {"plain/settings.INI"});
        row("folder is missing", {"nowhere/settings.INI"});
        row("file is a folder", {"folder.INI"});
        // Made read-only on purpose: not written even by a user who could.
        row("file without write bits", {"plain"});
    }
    void fileWriteFailures() {
        QFETCH(QByteArray, relativePath);
        const fs::path plain = folder() / "plain";
        if (fs::exists(plain)) {
            fs::permissions(plain, fs::perms::owner_write, fs::perm_options::add);
        }
        std::ofstream(plain, std::ios::binary) << "[A]\nx=1\n";
        fs::permissions(plain,
                        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        fs::create_directories(folder() / "folder.INI");
        const std::string path = (folder() / relativePath.toStdString()).string();
        ProfileFile file(path);
        try {
            file.writeString("TMainForm", "Flags", "0");
            QFAIL("the write did not fail");
        } catch (const ProfileWriteError& error) {
            QCOMPARE(std::string(error.what()), "Unable to write to " + path);
        }
        QCOMPARE(fileText(plain), std::string("[A]\nx=1\n"));
        QCOMPARE(file.readString("TMainForm", "Flags", "none"), std::string("none"));
    }

    // A folder that takes no new file still lets its writable file be written, in place; a file
    // its writer may not write is never replaced through the folder.
    void fileWriteRights_data() {
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("fileMode"); // -1: no file
        QTest::addColumn<bool>("written");
        QTest::addColumn<bool>("replaced"); // through a new file rather than in place
        QTest::newRow("writable folder: replaced whole") << 0755 << 0644 << true << true;
        QTest::newRow("read-only folder: in place") << 0555 << 0644 << true << false;
        QTest::newRow("read-only folder, no file") << 0555 << -1 << false << false;
        QTest::newRow("file the writer may not write") << 0755 << 0464 << false << false;
        QTest::newRow("read-only file") << 0755 << 0444 << false << false;
        QTest::newRow("read-only file and folder") << 0555 << 0444 << false << false;
    }
    void fileWriteRights() {
#ifdef _WIN32
        QSKIP("folder rights are POSIX permission bits here");
#else
        QFETCH(int, folderMode);
        QFETCH(int, fileMode);
        QFETCH(bool, written);
        QFETCH(bool, replaced);
        const Writer who = writer();
        // The writer must reach the folder through the test's own.
        fs::permissions(folder(), fs::perms::others_exec, fs::perm_options::add);
        const fs::path rights = folder() / "rights" / QTest::currentDataTag();
        const fs::path path = rights / "settings.INI";
        fs::create_directories(rights);
        const std::string before = "[TMainForm]\r\nFlags=0\r\n";
        if (fileMode >= 0) {
            std::ofstream(path, std::ios::binary) << before;
            QCOMPARE(::chown(path.c_str(), who.uid, who.gid), 0);
            fs::permissions(path, fs::perms(fileMode));
        }
        QCOMPARE(::chown(rights.c_str(), who.uid, who.gid), 0);
        fs::permissions(rights, fs::perms(folderMode));
        const auto inode = [&] {
            struct stat info {};
            return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
        };
        const ino_t inodeBefore = inode();

        const WriteResult result = writeAs(who, path.string());
        fs::permissions(rights, fs::perms::owner_all);
        QCOMPARE(result, written ? Written : Refused);
        if (fileMode >= 0) {
            QCOMPARE(fileText(path), written ? "[TMainForm]\r\nFlags=7\r\n" : before);
            QCOMPARE(inode() != inodeBefore, replaced);
            QCOMPARE(int(fs::status(path).permissions()), fileMode);
        } else {
            QVERIFY(!fs::exists(path));
        }
        // No temporary file is left behind.
        QCOMPARE(std::distance(fs::directory_iterator(rights), fs::directory_iterator()),
                 fileMode >= 0 ? 1 : 0);
#endif
    }
};

QTEST_GUILESS_MAIN(TestProfileFile)
#include "test_profilefile.moc"
