#include "log/numbertext.h"
#include "log/tablog.h"

#include <QTest>

using namespace thermavo;

Q_DECLARE_METATYPE(thermavo::LocalDateTime)
Q_DECLARE_METATYPE(thermavo::RegionalSettings)

namespace {

RegionalSettings twelveHourSettings(bool designatorFirst) {
    RegionalSettings regional;
    regional.shortDatePattern = "M/d/yyyy";
    regional.hourLeadingZero = false;
    regional.twelveHour = true;
    regional.designatorFirst = designatorFirst;
    return regional;
}

} // namespace

class TestLogText : public QObject {
    Q_OBJECT

private slots:
    void fixedTwoDecimals_data() {
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("separator");
        QTest::addColumn<QString>("expected");
        QTest::newRow("exact half rounds up") << 21.125f << "."
                                              << "21.13";
        QTest::newRow("exact half, not to even") << 0.125f << "."
                                                 << "0.13";
        QTest::newRow("just below half stays") << 2.675f << "."
                                               << "2.67";
        QTest::newRow("negative padded") << -3.4f << "."
                                         << "-3.40";
        QTest::newRow("zero") << 0.0f << "."
                              << "0.00";
        QTest::newRow("tiny negative keeps sign") << -0.004f << "."
                                                  << "-0.00";
        QTest::newRow("carry into new digit") << 99.995f << "."
                                              << "100.00";
        QTest::newRow("largest float") << 3.4028235e38f << "."
                                       << "340282346638528859811704183484516925440.00";
        QTest::newRow("two-byte separator") << 21.125f << "\u066b"
                                            << "21\u066b13";
    }
    void fixedTwoDecimals() {
        QFETCH(float, value);
        QFETCH(QString, separator);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(thermavo::fixedTwoDecimals(value, separator.toStdString())),
                 expected);
    }

    void generalFifteenDigits_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("zero") << 0.0 << "0";
        QTest::newRow("two thirds rounds up") << 2.0 / 3.0 << "0.666666666666667";
        QTest::newRow("tie away from zero") << 1234567890123445.0 << "1234567890123450";
        QTest::newRow("carry to one") << 0.99999999999999995 << "1";
        QTest::newRow("large, no exponent") << 1e20 << "100000000000000000000";
        QTest::newRow("small, no exponent") << 1.5e-7 << "0.00000015";
        QTest::newRow("negative") << -2.5 << "-2.5";
    }
    void generalFifteenDigits() {
        QFETCH(double, value);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(thermavo::generalFifteenDigits(value)), expected);
    }

    void timeStamp_data() {
        QTest::addColumn<LocalDateTime>("when");
        QTest::addColumn<QString>("expected");
        QTest::newRow("day zero") << LocalDateTime{} << "0";
        QTest::newRow("first of March 1900") << LocalDateTime{1900, 3, 1} << "61";
        QTest::newRow("leap day") << LocalDateTime{2024, 2, 29} << "45351";
        QTest::newRow("noon") << LocalDateTime{2024, 12, 8, 12} << "45634.5";
        QTest::newRow("midnight") << LocalDateTime{2024, 12, 8} << "45634";
        QTest::newRow("half a second")
            << LocalDateTime{2024, 12, 8, 0, 0, 0, 500} << "45634.000005787";
    }
    void timeStamp() {
        QFETCH(LocalDateTime, when);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(thermavo::generalFifteenDigits(daysSince1899(when))),
                 expected);
    }

    void shortDateText_data() {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("expected");
        QTest::newRow("dd/MM/yyyy") << "dd/MM/yyyy"
                                    << "05/03/2007";
        QTest::newRow("M/d/yyyy") << "M/d/yyyy"
                                  << "3/5/2007";
        QTest::newRow("two-digit year") << "d.M.yy"
                                        << "5.3.07";
        QTest::newRow("quoted letters") << "d 'de' MM"
                                        << "5 de 03";
        QTest::newRow("doubled quote") << "d''M"
                                       << "5'3";
        QTest::newRow("unterminated quote") << "yyyy 'dMy"
                                            << "2007 dMy";
    }
    void shortDateText() {
        QFETCH(QString, pattern);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(
                     thermavo::shortDateText(LocalDateTime{2007, 3, 5}, pattern.toStdString())),
                 expected);
    }

    void tabDateTimeText_data() {
        QTest::addColumn<LocalDateTime>("when");
        QTest::addColumn<RegionalSettings>("regional");
        QTest::addColumn<QString>("expected");
        RegionalSettings dotted;
        dotted.shortDatePattern = "d.M.yyyy";
        dotted.timeSeparator = ".";
        dotted.hourLeadingZero = false;
        QTest::newRow("24 hour leading zero")
            << LocalDateTime{2024, 12, 8, 3, 4, 5} << RegionalSettings{} << "08/12/2024 03:04:05";
        QTest::newRow("no leading zero, own separator")
            << LocalDateTime{2024, 12, 8, 3, 4, 5} << dotted << "8.12.2024 3.04.05";
        QTest::newRow("designator after") << LocalDateTime{2024, 12, 8, 15, 4, 5}
                                          << twelveHourSettings(false) << "12/8/2024 3:04:05 PM";
        QTest::newRow("designator first") << LocalDateTime{2024, 12, 8, 3, 4, 5}
                                          << twelveHourSettings(true) << "12/8/2024 AM 3:04:05";
        QTest::newRow("noon") << LocalDateTime{2024, 12, 8, 12} << twelveHourSettings(false)
                              << "12/8/2024 12:00:00 PM";
        QTest::newRow("just after midnight")
            << LocalDateTime{2024, 12, 8, 0, 0, 1} << twelveHourSettings(false)
            << "12/8/2024 12:00:01 AM";
        QTest::newRow("midnight: date only")
            << LocalDateTime{2024, 12, 8} << RegionalSettings{} << "08/12/2024";
        QTest::newRow("milliseconds ignored")
            << LocalDateTime{2024, 12, 8, 0, 0, 0, 999} << twelveHourSettings(false) << "12/8/2024";
    }
    void tabDateTimeText() {
        QFETCH(LocalDateTime, when);
        QFETCH(RegionalSettings, regional);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(thermavo::tabDateTimeText(when, regional)), expected);
    }
};

QTEST_APPLESS_MAIN(TestLogText)
#include "test_logtext.moc"
