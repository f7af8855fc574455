#pragma once

#include <QString>
#include <QTest>
#include <bit>
#include <cstdint>

// Readings are logged digit for digit, so results are compared by their bits, not fuzzily.
#define THERMAVO_COMPARE_FLOAT(actual, expected)                                                   \
    do {                                                                                           \
        const float thermavoActual = (actual);                                                     \
        const float thermavoExpected = (expected);                                                 \
        QVERIFY2(std::bit_cast<std::uint32_t>(thermavoActual) ==                                   \
                     std::bit_cast<std::uint32_t>(thermavoExpected),                               \
                 qPrintable(QStringLiteral("got %1, expected %2")                                  \
                                .arg(double(thermavoActual), 0, 'g', 9)                            \
                                .arg(double(thermavoExpected), 0, 'g', 9)));                       \
    } while (false)
