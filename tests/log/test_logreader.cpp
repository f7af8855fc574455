#include "log/logfile.h"
#include "log/logreader.h"
#include "log/sylklog.h"
#include "log/tablog.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#ifndef _WIN32
#include <iconv.h>
#endif

using namespace thermavo;

namespace {

enum Regional { Default, DecimalComma, TwelveHour, DottedTime };

RegionalSettings regionalSettings(int which) {
    RegionalSettings regional;
    if (which == DecimalComma) {
        regional.decimalSeparator = ",";
        regional.shortDatePattern = "dd.MM.yyyy";
    } else if (which == DottedTime) {
        regional.timeSeparator = ".";
        regional.hourLeadingZero = false;
    } else if (which == TwelveHour) {
        regional.shortDatePattern = "M/d/yyyy";
        regional.hourLeadingZero = false;
        regional.twelveHour = true;
    }
    return regional;
}

// A record as text: "2024-12-08 15:12:00.000 21.13 -3.40 - - - - - -".
QString recordText(const LogRecord& record) {
    const LocalDateTime& when = record.when;
    QString text =
        QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d.%03d", when.year, when.month, when.day,
                          when.hour, when.minute, when.second, when.millisecond);
    for (const float value : record.values)
        text += std::isnan(value) ? QStringLiteral(" -") : QString::asprintf(" %.2f", value);
    return text;
}

const QByteArray kSylkHeader = "ID;PThermavo\r\nP;PGeneral\r\nP;Pd/mmm/yyyy\\ hh:mm:ss\r\n"
                               "F;P0;DG0G8\r\nF;P1;FG0G;C1\r\nF;W1 1 20\r\nF;W2 9 8\r\n";
const QByteArray kSylkRecords = "C;Y1;X1;K45634.6333333333\r\nC;X2;K21.13\r\nC;X3;K-3.40\r\n"
                                "C;Y2;X1;K45634.6333564815\r\nC;X2;K21.15\r\nC;X3;K-3.38\r\n";
const QString kFirst = "2024-12-08 15:12:00.000 21.13 -3.40 - - - - - -";
const QString kSecond = "2024-12-08 15:12:02.000 21.15 -3.38 - - - - - -";

struct Outcome {
    QStringList records;
    int errorLine = 0;
    QString error;
    QStringList notes;
};

Outcome read(const QByteArray& bytes, int regional, qsizetype piece,
             int nearYear = LogReader::kDefaultNearYear) {
    Outcome outcome;
    LogReader reader(
        regionalSettings(regional),
        [&](const LogRecord& record) { outcome.records << recordText(record); }, nearYear);
    bool fine = true;
    for (qsizetype from = 0; fine && from < bytes.size(); from += piece)
        fine = reader.feed(
            std::string_view(bytes.constData() + from,
                             static_cast<std::size_t>(std::min(piece, bytes.size() - from))));
    if (fine)
        fine = reader.finish();
    if (!fine) {
        outcome.errorLine = static_cast<int>(reader.errorLine());
        outcome.error = QString::fromStdString(reader.error());
    }
    for (const std::string& note : reader.notes())
        outcome.notes << QString::fromStdString(note);
    return outcome;
}

// The records the writers below write: a second apart from 8 December 2024 15:12:00, T1 rising
// by a hundredth, T8 23.13 and T2 to T7 empty.
LocalDateTime recordTime(int record) {
    return {2024, 12, 8, 15, 12, record};
}

LogChannels recordChannels(int record) {
    LogChannels channels;
    channels[0] = {true, 21.0f + static_cast<float>(record) / 100.0f};
    channels[7] = {true, 23.13f};
    return channels;
}

QString writtenText(int record) {
    LogRecord written;
    written.when = recordTime(record);
    const LogChannels channels = recordChannels(record);
    for (std::size_t k = 0; k < channels.size(); ++k)
        written.values[k] = channels[k].valid ? channels[k].filtered : NAN;
    return recordText(written);
}

// Writes records first to first + count - 1 as a log of the writer's own, appended (TAB) or
// created (SYLK).
void writeLog(const QString& path, bool sylk, int first, int count) {
    LogFile file;
    sylk ? openSylkLog(file, path.toStdString()) : openTabLog(file, path.toStdString());
    for (int record = first; record < first + count; ++record) {
        if (sylk)
            writeSylkRecord(file, recordTime(record), recordChannels(record));
        else
            writeTabRecord(file, recordTime(record), recordChannels(record), RegionalSettings{});
    }
    sylk ? closeSylkLog(file) : closeTabLog(file);
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

#ifndef _WIN32
// The text in another character set, through the C library, as Windows' code pages would give it.
std::string converted(std::string_view text, const char* from, const char* to) {
    const iconv_t converter = iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(-1))
        return {};
    std::string out(text.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* next = out.data();
    std::size_t outLeft = out.size();
    const std::size_t result = iconv(converter, &in, &inLeft, &next, &outLeft);
    iconv_close(converter);
    if (result == static_cast<std::size_t>(-1))
        return {};
    out.resize(out.size() - outLeft);
    return out;
}
#endif

void replaceContents(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestLogReader : public QObject {
    Q_OBJECT

private slots:
    // Each file with the records it must give, or the line where it stops being a log and a
    // word of the reason. Every file is read whole, a byte at a time and in pieces of 7 bytes,
    // with the same outcome.
    void readsLogs_data() {
        QTest::addColumn<int>("regional");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("records");
        QTest::addColumn<int>("errorLine");
        QTest::addColumn<QString>("error");

        QTest::newRow("SYLK complete") << int(Default) << kSylkHeader + kSylkRecords + "E\r\n"
                                       << QStringList{kFirst, kSecond} << 0 << "";
        QTest::newRow("SYLK still being written") << int(Default) << kSylkHeader + kSylkRecords
                                                  << QStringList{kFirst, kSecond} << 0 << "";
        QTest::newRow("SYLK cut inside a time stamp")
            << int(Default) << kSylkHeader + kSylkRecords.left(53) + "C;Y2;X1;K45634.63335"
            << QStringList{kFirst} << 0 << "";
        QTest::newRow("SYLK cut inside a value")
            << int(Default) << kSylkHeader + kSylkRecords.left(80) + "C;X2;K21.1"
            << QStringList{kFirst, "2024-12-08 15:12:02.000 - - - - - - - -"} << 0 << "";
        QTest::newRow("SYLK header only, closed") << int(Default) << kSylkHeader + "E\r\n"
                                                  << QStringList{} << 0 << "";
        QTest::newRow("SYLK, a tick without samples and a 4-channel row")
            << int(Default)
            << kSylkHeader + "C;Y1;X1;K45634.5\r\nC;Y2;X1;K45634\r\nC;X2;K21.50\r\n"
                             "C;X3;K22.25\r\nC;X4;K-3.00\r\nC;X5;K150.00\r\nE\r\n"
            << QStringList{"2024-12-08 12:00:00.000 - - - - - - - -",
                           "2024-12-08 00:00:00.000 21.50 22.25 -3.00 150.00 - - - -"}
            << 0 << "";
        QTest::newRow("SYLK all eight channels, milliseconds")
            << int(Default)
            << kSylkHeader + "C;Y1;X1;K45634.000005787\r\nC;X2;K1\r\nC;X3;K2\r\nC;X4;K3\r\n"
                             "C;X5;K4\r\nC;X6;K5\r\nC;X7;K6\r\nC;X8;K7\r\nC;X9;K8\r\nE\r\n"
            << QStringList{"2024-12-08 00:00:00.500 1.00 2.00 3.00 4.00 5.00 6.00 7.00 8.00"} << 0
            << "";
        QTest::newRow("SYLK text cell") << int(Default) << kSylkHeader + "C;Y1;X1;K\"Time\"\r\n"
                                        << QStringList{} << 8 << "no date and time";
        QTest::newRow("SYLK column beyond T8")
            << int(Default) << kSylkHeader + kSylkRecords + "C;X10;K1.00\r\n"
            << QStringList{} << 14 << "columns 1 to 9";
        QTest::newRow("SYLK cell before any row") << int(Default) << kSylkHeader + "C;X2;K1.00\r\n"
                                                  << QStringList{} << 8 << "outside a row";
        QTest::newRow("SYLK rows going back")
            << int(Default) << kSylkHeader + kSylkRecords + "C;Y2;X1;K45635\r\n"
            << QStringList{} << 14 << "comes after row 2";
        QTest::newRow("SYLK same cell twice")
            << int(Default) << kSylkHeader + "C;Y1;X1;K45634\r\nC;X2;K1\r\nC;X2;K2\r\n"
            << QStringList{} << 10 << "twice";
        QTest::newRow("SYLK more after the end")
            << int(Default) << kSylkHeader + "E\r\n" + kSylkRecords << QStringList{} << 9
            << "after the end record";
        QTest::newRow("SYLK garbage line")
            << int(Default) << QByteArray("ID;PThermavo\r\nhello\r\n") << QStringList{} << 2
            << "no record of a log";

        const QByteArray tabFirst = "08/12/2024 15:12:00\t21.13\t-3.40\t\t\t\t\t\t\r\n";
        const QByteArray tabSecond = "08/12/2024 15:12:02\t21.15\t-3.38\t\t\t\t\t\t\r\n";
        QTest::newRow("TAB complete")
            << int(Default) << tabFirst + tabSecond << QStringList{kFirst, kSecond} << 0 << "";
        QTest::newRow("TAB being written, last line end not yet there")
            << int(Default) << tabFirst + tabSecond.chopped(2) << QStringList{kFirst} << 0 << "";
        QTest::newRow("TAB cut inside a line")
            << int(Default) << tabFirst + "08/12/2024 15:12:02\t21.1" << QStringList{kFirst} << 0
            << "";
        QTest::newRow("TAB two logs in one file")
            << int(Default)
            << tabFirst + tabSecond + "09/12/2024\t20.00\t\t\t\t\t\t\t\r\n" +
                   "09/12/2024 00:00:02\t20.01\t\t\t\t\t\t\t\r\n"
            << QStringList{kFirst, kSecond, "2024-12-09 00:00:00.000 20.00 - - - - - - -",
                           "2024-12-09 00:00:02.000 20.01 - - - - - - -"}
            << 0 << "";
        QTest::newRow("TAB 4-channel, empty fields, LF line ends")
            << int(Default)
            << QByteArray("08/12/2024 15:12:00\t21.50\t22.25\t-3.00\t150.00\t\t\t\t\n"
                          "08/12/2024 15:12:02\t\t\t\t\t\t\t\t\n")
            << QStringList{"2024-12-08 15:12:00.000 21.50 22.25 -3.00 150.00 - - - -",
                           "2024-12-08 15:12:02.000 - - - - - - - -"}
            << 0 << "";
        QTest::newRow("TAB decimal comma")
            << int(DecimalComma) << QByteArray("08.12.2024 15:12:00\t21,13\t-3,40\t\t\t\t\t\t\r\n")
            << QStringList{kFirst} << 0 << "";
        QTest::newRow("TAB 12-hour time")
            << int(TwelveHour)
            << QByteArray("12/8/2024 3:12:00 PM\t21.13\t-3.40\t\t\t\t\t\t\r\n"
                          "12/9/2024 12:00:01 AM\t1.00\t\t\t\t\t\t\t\r\n"
                          "12/9/2024 12:00:01 PM\t2.00\t\t\t\t\t\t\t\r\n")
            << QStringList{kFirst, "2024-12-09 00:00:01.000 1.00 - - - - - - -",
                           "2024-12-09 12:00:01.000 2.00 - - - - - - -"}
            << 0 << "";
        QTest::newRow("TAB written with a comma, read with a point")
            << int(Default) << QByteArray("08/12/2024 15:12:00\t21,13\t\t\t\t\t\t\t\r\n")
            << QStringList{} << 1 << "decimal separator \".\"";
        QTest::newRow("TAB written with a point, read with a comma")
            << int(DecimalComma) << QByteArray("08.12.2024 15:12:00\t21.13\t\t\t\t\t\t\t\r\n")
            << QStringList{} << 1 << "decimal separator \",\"";
        QTest::newRow("TAB 24-hour file read with 12-hour settings")
            << int(TwelveHour) << tabFirst << QStringList{} << 1 << "regional format";
        QTest::newRow("TAB no such day")
            << int(Default) << QByteArray("31/02/2024 15:12:00\t\t\t\t\t\t\t\t\r\n")
            << QStringList{} << 1 << "regional format";
        QTest::newRow("TAB nine fields too many")
            << int(Default) << tabFirst + "08/12/2024 15:12:04\t1\t2\t3\t4\t5\t6\t7\t8\t9\r\n"
            << QStringList{} << 2 << "this line has 10";
        QTest::newRow("foreign text file") << int(Default) << QByteArray("Dear Sir,\r\nhello\r\n")
                                           << QStringList{} << 1 << "fields separated by TABs";
        QTest::newRow("binary file without line ends")
            << int(Default) << QByteArray("\x89PNG\x1a\x00\x01", 7) << QStringList{} << 1
            << "bytes no log holds";
        QTest::newRow("overlong line") << int(Default) << QByteArray(5000, 'x') << QStringList{}
                                       << 1 << "longer than any line";
        QTest::newRow("empty file") << int(Default) << QByteArray() << QStringList{} << 0 << "";
        QTest::newRow("UTF-8 byte-order mark")
            << int(Default) << "\xEF\xBB\xBF" + tabFirst << QStringList{kFirst} << 0 << "";
        QTest::newRow("text without a line end")
            << int(Default) << QByteArray("Dear Sir,") << QStringList{} << 1 << "separated by TABs";
        QTest::newRow("TAB record without a line end only")
            << int(Default) << tabFirst.chopped(2) << QStringList{} << 0 << "";
        QTest::newRow("TAB message in the regional pattern")
            << int(DottedTime) << tabFirst << QStringList{} << 1 << "(dd/MM/yyyy h.mm.ss)";
        QTest::newRow("SYLK saved by a spreadsheet, the row in every cell")
            << int(Default)
            << QByteArray("ID;PCALCOOO32\nC;X1;Y1;K45634.6333333333\nC;X2;Y1;K21.13\n"
                          "C;X3;Y1;K-3.40;E-3.4\nC;X1;Y2;K45634.6333564815\nC;X2;Y2;K21.15\n"
                          "C;X3;Y2;K-3.38\nE\n")
            << QStringList{kFirst, kSecond} << 0 << "";
        QTest::newRow("SYLK of another program")
            << int(Default) << QByteArray("ID;PCALCOOO32\nC;X1;Y1;K\"Time\"\n") << QStringList{}
            << 2 << "written by \"CALCOOO32\", not by Thermavo";
    }

    void readsLogs() {
        QFETCH(int, regional);
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, records);
        QFETCH(int, errorLine);
        QFETCH(QString, error);
        for (const qsizetype piece :
             {std::max<qsizetype>(bytes.size(), 1), qsizetype{1}, qsizetype{7}}) {
            const Outcome outcome = read(bytes, regional, piece);
            QCOMPARE(outcome.errorLine, errorLine);
            QVERIFY2(outcome.error.contains(error), qPrintable(outcome.error));
            if (errorLine == 0)
                QCOMPARE(outcome.records, records);
        }
    }

    // Whatever the TAB log writes in some regional settings reads back as the same date and
    // time in those settings.
    void tabDateTimeRoundTrip_data() {
        QTest::addColumn<int>("settings");
        QTest::newRow("dd/MM/yyyy, 24 hours") << 0;
        QTest::newRow("dd.MM.yy, 24 hours") << 1;
        QTest::newRow("M/d/yyyy, 12 hours") << 2;
        QTest::newRow("yyyy-MM-dd, designator first, no leading zero") << 3;
        QTest::newRow("d 'de' MMMM, h.mm.ss") << 4;
    }

    void tabDateTimeRoundTrip() {
        QFETCH(int, settings);
        RegionalSettings regional = regionalSettings(settings == 2   ? TwelveHour
                                                     : settings == 1 ? DecimalComma
                                                                     : Default);
        if (settings == 1)
            regional.shortDatePattern = "dd.MM.yy";
        if (settings == 3) {
            regional.shortDatePattern = "yyyy-MM-dd";
            regional.twelveHour = true;
            regional.designatorFirst = true;
            regional.hourLeadingZero = false;
            regional.amDesignator = "vorm.";
            regional.pmDesignator = "nachm.";
        }
        if (settings == 4) {
            regional.shortDatePattern = "d 'de' MM 'de' yyyy";
            regional.timeSeparator = ".";
        }
        for (const LocalDateTime& when :
             {LocalDateTime{2024, 12, 8, 15, 12, 0}, LocalDateTime{2024, 12, 9, 0, 0, 0},
              LocalDateTime{2024, 12, 9, 0, 0, 1}, LocalDateTime{2025, 1, 1, 12, 0, 0},
              LocalDateTime{2028, 2, 29, 23, 59, 59}, LocalDateTime{2029, 7, 4, 1, 2, 3}}) {
            const std::string text = tabDateTimeText(when, regional);
            LocalDateTime read;
            QVERIFY2(parseTabDateTime(text, regional, read), text.c_str());
            QCOMPARE(QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", read.year, read.month,
                                       read.day, read.hour, read.minute, read.second),
                     QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", when.year, when.month,
                                       when.day, when.hour, when.minute, when.second));
        }
    }

    // A power cut leaves the log's last line unfinished, or the file's end full of zero bytes
    // where the file system had not written yet. The next log is appended to the same file (TAB)
    // or the file is read as it is: a line the cut reached is left out with a note and never
    // read as a record, and nothing else is lost. The whole third line is 41 bytes.
    void cutLogsReadBack_data() {
        QTest::addColumn<bool>("sylk");
        QTest::addColumn<int>("cut");
        QTest::addColumn<int>("zeros");
        QTest::addColumn<bool>("append");
        // Negative: the last of them without T8.
        QTest::addColumn<int>("wholeRecords");
        QTest::addColumn<QString>("note");

        QTest::newRow("TAB only the line feed cut") << false << 1 << 0 << true << 3 << "";
        QTest::newRow("TAB line end cut") << false << 2 << 0 << true << 2 << "line 3 was cut";
        QTest::newRow("TAB cut 4, T8 \"23.\"") << false << 4 << 0 << true << 2 << "line 3 was cut";
        QTest::newRow("TAB cut 5, T8 \"23\"") << false << 5 << 0 << true << 2 << "line 3 was cut";
        QTest::newRow("TAB cut 6, T8 \"2\"") << false << 6 << 0 << true << 2 << "line 3 was cut";
        QTest::newRow("TAB cut 30, in the date")
            << false << 30 << 0 << true << 2 << "line 3 was cut";
        QTest::newRow("TAB cut 6, not appended")
            << false << 6 << 0 << false << 2 << "line 3 was cut";
        QTest::newRow("TAB zeros after the last line, appended")
            << false << 0 << 4096 << true << 3 << "line 4 holds zero bytes";
        QTest::newRow("TAB zeros after the last line")
            << false << 0 << 4096 << false << 3 << "line 4 ends in zero bytes";
        QTest::newRow("TAB zeros over the last line, appended")
            << false << 20 << 9000 << true << 2 << "line 3 holds zero bytes";
        QTest::newRow("TAB zeros over the last line")
            << false << 20 << 9000 << false << 2 << "line 3 ends in zero bytes";
        // The last row's time stamp is whole, so the row stays with the values whose lines are.
        QTest::newRow("SYLK cut 3, the end record") << true << 3 << 0 << false << 3 << "";
        QTest::newRow("SYLK cut 7, T8 \"23.\"")
            << true << 7 << 0 << false << -3 << "line 16 was cut";
        QTest::newRow("SYLK zeros after the end record")
            << true << 0 << 5000 << false << 3 << "line 18 ends in zero bytes";
        QTest::newRow("SYLK zeros over T8")
            << true << 8 << 5000 << false << -3 << "line 16 ends in zero bytes";
    }

    void cutLogsReadBack() {
        QFETCH(bool, sylk);
        QFETCH(int, cut);
        QFETCH(int, zeros);
        QFETCH(bool, append);
        QFETCH(int, wholeRecords);
        QFETCH(QString, note);
        QTemporaryDir folder;
        const QString path = folder.filePath(sylk ? "cut.slk" : "cut.txt");
        writeLog(path, sylk, 0, 3);
        const QByteArray written = contents(path);
        replaceContents(path, written.left(written.size() - cut) + QByteArray(zeros, '\0'));
        if (append)
            writeLog(path, sylk, 3, 2);
        QStringList expected;
        for (int record = 0; record < std::abs(wholeRecords); ++record)
            expected << writtenText(record);
        if (wholeRecords < 0)
            expected.last().replace(QStringLiteral(" 23.13"), QStringLiteral(" -"));
        if (append)
            expected << writtenText(3) << writtenText(4);
        const QByteArray bytes = contents(path);
        for (const qsizetype piece : {bytes.size(), qsizetype{1}, qsizetype{7}, qsizetype{1000}}) {
            const Outcome outcome = read(bytes, Default, piece);
            QCOMPARE(outcome.error, QString());
            QCOMPARE(outcome.records, expected);
            QCOMPARE(outcome.notes.size(), note.isEmpty() ? 0 : 1);
            if (!note.isEmpty())
                QVERIFY2(outcome.notes[0].startsWith(note), qPrintable(outcome.notes[0]));
        }
    }

    // A TAB log written in a code page of its users' language (the system's on Windows) reads
    // back when decoded with that code page; read as UTF-8 it is not in the regional format.
    void codePages_data() {
        QTest::addColumn<int>("codePage");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("am");
        QTest::addColumn<QString>("pm");
        QTest::addColumn<bool>("designatorFirst");
        QTest::newRow("Greek, 1253") << 1253 << "d/M/yyyy"
                                     << "π.μ."
                                     << "μ.μ." << false;
        QTest::newRow("Bulgarian, 1251") << 1251 << "d.M.yyyy 'г.'"
                                         << "пр.об."
                                         << "сл.об." << false;
        QTest::newRow("Korean, 949") << 949 << "yyyy-MM-dd"
                                     << "오전"
                                     << "오후" << true;
        QTest::newRow("Taiwanese, 950") << 950 << "yyyy/M/d"
                                        << "上午"
                                        << "下午" << true;
    }

    void codePages() {
        QFETCH(int, codePage);
        QFETCH(QString, pattern);
        QFETCH(QString, am);
        QFETCH(QString, pm);
        QFETCH(bool, designatorFirst);
        RegionalSettings regional;
        regional.shortDatePattern = pattern.toStdString();
        regional.twelveHour = true;
        regional.hourLeadingZero = false;
        regional.designatorFirst = designatorFirst;
        regional.amDesignator = am.toStdString();
        regional.pmDesignator = pm.toStdString();
#ifdef _WIN32
        const auto encode = [&](std::string_view utf8) {
            return codePageText(utf8, static_cast<unsigned>(codePage));
        };
        const auto decode = [&](std::string_view bytes) {
            return codePageUtf8(bytes, static_cast<unsigned>(codePage));
        };
#else
        const std::string charset = "CP" + std::to_string(codePage);
        const auto encode = [&](std::string_view utf8) {
            return converted(utf8, "UTF-8", charset.c_str());
        };
        const auto decode = [&](std::string_view bytes) {
            return converted(bytes, charset.c_str(), "UTF-8");
        };
#endif
        QVERIFY(!encode(regional.pmDesignator).empty());
        QTemporaryDir folder;
        const QString path = folder.filePath("codepage.txt");
        {
            LogFile file;
            openTabLog(file, path.toStdString());
            for (const int record : {0, 1})
                writeTabRecord(file, {2031, 3, 7, 9 + 6 * record, 30, 5}, recordChannels(record),
                               regional, encode);
            closeTabLog(file);
        }
        const QByteArray bytes = contents(path);
        QVERIFY(!bytes.contains(QByteArray::fromStdString(regional.amDesignator)));
        for (const bool decoding : {true, false}) {
            QStringList records;
            LogReader reader(
                regional, [&](const LogRecord& record) { records << recordText(record); },
                LogReader::kDefaultNearYear, decoding ? LogTextDecoder(decode) : LogTextDecoder());
            const bool fine = reader.feed(bytes.toStdString()) && reader.finish();
            QCOMPARE(fine, decoding);
            if (decoding)
                QCOMPARE(records, (QStringList{"2031-03-07 09:30:05.000 21.00 - - - - - - 23.13",
                                               "2031-03-07 15:30:05.000 21.01 - - - - - - 23.13"}));
            else
                QVERIFY2(QString::fromStdString(reader.error()).contains("regional format"),
                         reader.error().c_str());
        }
    }

    // Two-digit years are taken in the century nearest to the year the log is read in.
    void twoDigitYears_data() {
        QTest::addColumn<int>("nearYear");
        QTest::addColumn<QByteArray>("date");
        QTest::addColumn<int>("year");
        QTest::newRow("2030 read in 2030") << 2030 << QByteArray("01.01.30") << 2030;
        QTest::newRow("2031 read in 2032") << 2032 << QByteArray("01.01.31") << 2031;
        QTest::newRow("1999 read in 2026") << 2026 << QByteArray("31.12.99") << 1999;
        QTest::newRow("2075 read in 2070") << 2070 << QByteArray("01.01.75") << 2075;
        QTest::newRow("2100 read in 2099") << 2099 << QByteArray("01.01.00") << 2100;
    }

    void twoDigitYears() {
        QFETCH(int, nearYear);
        QFETCH(QByteArray, date);
        QFETCH(int, year);
        RegionalSettings regional = regionalSettings(DecimalComma);
        regional.shortDatePattern = "dd.MM.yy";
        LocalDateTime when;
        QVERIFY(parseTabDateTime(date.toStdString() + " 10:00:00", regional, when, nearYear));
        QCOMPARE(when.year, year);
        // The writer's text of that day reads back as that day.
        const std::string text = tabDateTimeText({year, 1, 1, 10, 0, 0}, regional);
        QVERIFY(parseTabDateTime(text, regional, when, nearYear));
        QCOMPARE(when.year, year);
    }

    void tellsTheFormat() {
        LogReader sylk(RegionalSettings{}, [](const LogRecord&) {});
        QVERIFY(sylk.feed(kSylkHeader.toStdString()));
        QCOMPARE(sylk.kind(), LogKind::Sylk);
        LogReader tab(RegionalSettings{}, [](const LogRecord&) {});
        QVERIFY(tab.feed("08/12/2024\t\t\t\t\t\t\t\t\r\n"));
        QCOMPARE(tab.kind(), LogKind::Tab);
    }
};

QTEST_APPLESS_MAIN(TestLogReader)
#include "test_logreader.moc"
