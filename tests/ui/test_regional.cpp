#include "log/datetime.h"
#include "log/tablog.h"
#include "ui/regionalqt.h"

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>
#ifdef _WIN32
#include <windows.h>
#endif

using namespace thermavo;

#ifdef _WIN32
namespace {

QString userLocaleInfo(LCTYPE type) {
    wchar_t text[128] = {};
    ::GetLocaleInfoW(LOCALE_USER_DEFAULT, type, text, 128);
    return QString::fromWCharArray(text);
}

bool setUserLocaleInfo(LCTYPE type, const QString& value) {
    return ::SetLocaleInfoW(LOCALE_USER_DEFAULT, type,
                            reinterpret_cast<const wchar_t*>(value.utf16())) != FALSE;
}

// Sets the user's time formats as the regional settings of Windows do, for as long as it lives.
class UserTimeFormats {
public:
    UserTimeFormats(const QString& shortTime, const QString& longTime)
        : m_short(userLocaleInfo(LOCALE_SSHORTTIME)), m_long(userLocaleInfo(LOCALE_STIMEFORMAT)) {
        m_set = setUserLocaleInfo(LOCALE_SSHORTTIME, shortTime) &&
                setUserLocaleInfo(LOCALE_STIMEFORMAT, longTime);
    }
    ~UserTimeFormats() {
        setUserLocaleInfo(LOCALE_SSHORTTIME, m_short);
        setUserLocaleInfo(LOCALE_STIMEFORMAT, m_long);
    }
    UserTimeFormats(const UserTimeFormats&) = delete;
    UserTimeFormats& operator=(const UserTimeFormats&) = delete;
    bool isSet() const { return m_set; }

private:
    QString m_short;
    QString m_long;
    bool m_set = false;
};

} // namespace
#endif

class TestRegional : public QObject {
    Q_OBJECT

private slots:
    // What Qt 6.4's locale data gives, and the TAB log's date and time at 5 March 2024 09:04:05.
    void settingsFromLocale_data() {
        QTest::addColumn<QString>("decimal");
        QTest::addColumn<QString>("datePattern");
        QTest::addColumn<QString>("timeSeparator");
        QTest::addColumn<bool>("hourLeadingZero");
        QTest::addColumn<bool>("twelveHour");
        QTest::addColumn<QString>("am");
        QTest::addColumn<QString>("pm");
        QTest::addColumn<bool>("designatorFirst");
        QTest::addColumn<QString>("tabText");
        // clang-format off
        QTest::newRow("en_US") << "." << "M/d/yy" << ":" << false << true << "AM" << "PM" << false
                               << "3/5/24 9:04:05 AM";
        QTest::newRow("en_GB") << "." << "dd/MM/yyyy" << ":" << true << false << "am" << "pm"
                               << false << "05/03/2024 09:04:05";
        QTest::newRow("de_DE") << "," << "dd.MM.yy" << ":" << true << false << "AM" << "PM" << false
                               << "05.03.24 09:04:05";
        // "HH 'h' mm": the quoted word is no separator a spreadsheet reads.
        QTest::newRow("fr_CA") << "," << "yyyy-MM-dd" << ":" << true << false << "a.m." << "p.m."
                               << false << "2024-03-05 09:04:05";
        QTest::newRow("fr_FR") << "," << "dd/MM/yyyy" << ":" << true << false << "AM" << "PM" << false
                               << "05/03/2024 09:04:05";
        QTest::newRow("ja_JP") << "." << "yyyy/MM/dd" << ":" << false << false << "午前" << "午後"
                               << false << "2024/03/05 9:04:05";
        // Arabic-Indic digits and their separator "٫" give way to 0-9 and "."; the date's
        // right-to-left marks are dropped.
        QTest::newRow("ar_EG") << "." << "d/M/yyyy" << ":" << false << true << "ص" << "م" << false
                               << "5/3/2024 9:04:05 ص";
        QTest::newRow("ko_KR") << "." << "yy. M. d." << ":" << false << true << "오전" << "오후"
                               << true << "24. 3. 5. 오전 9:04:05";
        QTest::newRow("zh_HK") << "." << "d/M/yyyy" << ":" << false << true << "上午" << "下午"
                               << true << "5/3/2024 上午 9:04:05";
        QTest::newRow("zh_CN") << "." << "yyyy/M/d" << ":" << true << false << "上午" << "下午"
                               << false << "2024/3/5 09:04:05";
        // "Bh:mm": Qt reads B as text and h without a designator as the 24-hour clock.
        QTest::newRow("zh_TW") << "." << "yyyy/M/d" << ":" << false << false << "上午" << "下午"
                               << false << "2024/3/5 9:04:05";
        QTest::newRow("gu_IN") << "." << "d/M/yy" << ":" << true << true << "AM" << "PM" << false
                               << "5/3/24 09:04:05 AM";
        QTest::newRow("fi_FI") << "," << "d.M.yyyy" << "." << false << false << "ap." << "ip."
                               << false << "5.3.2024 9.04.05";
        QTest::newRow("bg_BG") << "," << "d.MM.yy г." << ":" << false << false << "пр.об."
                               << "сл.об." << false << "5.03.24 г. 9:04:05";
        // Quoted letters that are pattern letters outside quotes: 'hodź', 'ga'.
        QTest::newRow("hsb_DE") << "," << "d.M.yy" << ":" << false << false << "dopołdnja"
                                << "popołdnju" << false << "5.3.24 9:04:05";
        QTest::newRow("ee_GH") << "." << "M/d/yy" << ":" << false << true << "ŋdi" << "ɣetrɔ"
                               << true << "3/5/24 ŋdi 9:04:05";
        // Words between hour and minute without quotes.
        QTest::newRow("dz_BT") << "." << "yyyy-MM-dd" << ":" << false << true << "སྔ་ཆ་"
                               << "ཕྱི་ཆ་" << false << "2024-03-05 9:04:05 སྔ་ཆ་";
        // Short and long time formats apart: the log follows the long one, which shows the
        // seconds ("HH:mm" beside "HH.mm:ss 'h' t", "HH:mm" beside "H:mm:ss (t)").
        QTest::newRow("fr_CH") << "," << "dd.MM.yy" << "." << true << false << "AM" << "PM" << false
                               << "05.03.24 09.04.05";
        QTest::newRow("uz_UZ") << "," << "dd/MM/yy" << ":" << false << false << "TO" << "TK" << false
                               << "05/03/24 9:04:05";
        QTest::newRow("el_GR") << "," << "d/M/yy" << ":" << false << true << "π.μ." << "μ.μ." << false
                               << "5/3/24 9:04:05 π.μ.";
        // clang-format on
    }
    void settingsFromLocale() {
        QFETCH(QString, decimal);
        QFETCH(QString, datePattern);
        QFETCH(QString, timeSeparator);
        QFETCH(bool, hourLeadingZero);
        QFETCH(bool, twelveHour);
        QFETCH(QString, am);
        QFETCH(QString, pm);
        QFETCH(bool, designatorFirst);
        QFETCH(QString, tabText);
        const QLocale locale(QString::fromLatin1(QTest::currentDataTag()));
        QCOMPARE(locale.name(), QString::fromLatin1(QTest::currentDataTag()));
        const RegionalSettings settings = regionalSettingsFrom(locale);
        QCOMPARE(QString::fromStdString(settings.decimalSeparator), decimal);
        QCOMPARE(QString::fromStdString(settings.shortDatePattern), datePattern);
        QCOMPARE(QString::fromStdString(settings.timeSeparator), timeSeparator);
        QCOMPARE(settings.hourLeadingZero, hourLeadingZero);
        QCOMPARE(settings.twelveHour, twelveHour);
        QCOMPARE(QString::fromStdString(settings.amDesignator), am);
        QCOMPARE(QString::fromStdString(settings.pmDesignator), pm);
        QCOMPARE(settings.designatorFirst, designatorFirst);
        const LocalDateTime moment{2024, 3, 5, 9, 4, 5};
        QCOMPARE(QString::fromStdString(tabDateTimeText(moment, settings)), tabText);
    }

#ifdef _WIN32
    // The user's own short and long time formats, which the regional settings of Windows let
    // be set apart: the log follows the long one. The time of 5 March 2024 15:04:05.
    void systemLongTimeFormat_data() {
        QTest::addColumn<QString>("shortTime");
        QTest::addColumn<QString>("longTime");
        QTest::addColumn<QString>("timeText");
        QTest::newRow("24-hour short, 12-hour long") << "HH:mm"
                                                     << "h:mm:ss tt"
                                                     << "3:04:05 PM";
        QTest::newRow("12-hour short, 24-hour long") << "h:mm tt"
                                                     << "HH:mm:ss"
                                                     << "15:04:05";
        QTest::newRow("designator first in the long one") << "H:mm"
                                                          << "tt hh:mm:ss"
                                                          << "PM 03:04:05";
        QTest::newRow("separators apart") << "HH:mm"
                                          << "H.mm.ss"
                                          << "15.04.05";
    }
    void systemLongTimeFormat() {
        QFETCH(QString, shortTime);
        QFETCH(QString, longTime);
        QFETCH(QString, timeText);
        RegionalSettings settings;
        {
            const UserTimeFormats formats(shortTime, longTime);
            QVERIFY(formats.isSet());
            settings = systemRegionalSettings();
        }
        const QString text =
            QString::fromStdString(tabDateTimeText(LocalDateTime{2024, 3, 5, 15, 4, 5}, settings));
        QVERIFY2(text.endsWith(QLatin1Char(' ') + timeText), qPrintable(text));
    }

    // The user's regional settings as they are, written into a TAB log: the time stamp is text
    // of the system's code page. Run under Wine with the regional setting of LC_ALL.
    void systemSettingsInTheSystemCodePage() {
        struct Expected {
            const char* locale;
            unsigned codePage;
            QByteArray stamp;
        };
        const Expected table[] = {
            {"en_US", 1252, "3/5/2024 9:04:05 AM"},
            {"el_GR", 1253, "5/3/2024 9:04:05 \xf0.\xec."},
            {"bg_BG", 1251, "5.03.2024 \xe3. 9:04:05"},
        };
        const QString locale = QLocale::system().name();
        const auto expected =
            std::find_if(std::begin(table), std::end(table),
                         [&](const Expected& row) { return locale == row.locale; });
        if (expected == std::end(table))
            QSKIP(qPrintable("no expected time stamp for " + locale));
        QCOMPARE(::GetACP(), expected->codePage);
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("log.txt"));
        LogFile log;
        openTabLog(log, path.toStdString());
        writeTabRecord(log, LocalDateTime{2024, 3, 5, 9, 4, 5}, LogChannels{},
                       systemRegionalSettings());
        closeTabLog(log);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), expected->stamp + "\t\t\t\t\t\t\t\t\r\n");
    }
#endif
};

QTEST_APPLESS_MAIN(TestRegional)
#include "test_regional.moc"
