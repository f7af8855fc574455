#include "ui/readoutformat.h"

#include <QTest>
#include <limits>

using thermavo::readoutText;

class ReadoutFormatTest : public QObject {
    Q_OBJECT

private slots:
    void picture_data();
    void picture();
};

void ReadoutFormatTest::picture_data() {
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("shown");

    QTest::newRow("rounded to hundredths") << 21.456F << "."
                                           << "21.46";
    QTest::newRow("zero") << 0.0F << "."
                          << "0.00";
    QTest::newRow("small negative") << -5.0F << "."
                                    << "-5.00";
    QTest::newRow("lowest valid reading") << -45.0F << "."
                                          << "-45.00";
    QTest::newRow("highest valid reading") << 150.0F << "."
                                           << "150.00";
    QTest::newRow("no place left for the sign") << -100.0F << "."
                                                << "100.00";
    QTest::newRow("invalid reading marker") << -1000.0F << "."
                                            << "000.00";
    QTest::newRow("regional comma") << 21.5F << ","
                                    << "21,50";
    QTest::newRow("rounding carries into a fourth digit") << 999.999F << "."
                                                          << "000.00";
    QTest::newRow("rounding carries into a third digit") << -99.996F << "."
                                                         << "100.00";
    QTest::newRow("surplus leading digits dropped") << 1234.5F << "."
                                                    << "234.50";
    QTest::newRow("negative rounding to zero keeps its sign") << -0.001F << "."
                                                              << "-0.00";
    QTest::newRow("negative zero") << -0.0F << "."
                                   << "0.00";
    QTest::newRow("exact tie rounds away from zero") << 0.125F << "."
                                                     << "0.13";
    QTest::newRow("negative exact tie") << -0.375F << "."
                                        << "-0.38";
    // 21.455 is stored as 21.45499992..., just below the tie.
    QTest::newRow("stored just below a tie") << 21.455F << "."
                                             << "21.45";
    QTest::newRow("largest float keeps three digits") << std::numeric_limits<float>::max() << "."
                                                      << "440.00";
    QTest::newRow("not a number") << std::numeric_limits<float>::quiet_NaN() << "."
                                  << "";
    QTest::newRow("infinity") << -std::numeric_limits<float>::infinity() << "."
                              << "";
}

void ReadoutFormatTest::picture() {
    QFETCH(float, value);
    QFETCH(QString, separator);
    QFETCH(QString, shown);
    QCOMPARE(QString::fromStdString(readoutText(value, separator.toStdString())), shown);
}

QTEST_APPLESS_MAIN(ReadoutFormatTest)
#include "test_readoutformat.moc"
