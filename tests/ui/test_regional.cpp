#include "log/datetime.h"
#include "log/tablog.h"
#include "ui/regionalqt.h"

#include <QLocale>
#include <QTest>

using namespace thermavo;

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
};

QTEST_APPLESS_MAIN(TestRegional)
#include "test_regional.moc"
