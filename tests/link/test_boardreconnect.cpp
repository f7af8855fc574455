#include "link/boardreconnect.h"

#include <QSignalSpy>
#include <QTest>

using thermavo::BoardReconnect;

namespace {

constexpr int kQuickRetryMs = 5;

QString dayFirst(const QDate& day) {
    return day.toString(QStringLiteral("dd/MM/yyyy"));
}

} // namespace

class BoardReconnectTest : public QObject {
    Q_OBJECT

private slots:
    void statusTexts_data() {
        QTest::addColumn<QList<QDateTime>>("lostAndBack");
        QTest::addColumn<QStringList>("texts");
        const QDate day(2024, 12, 8);
        QTest::newRow("once") << QList<QDateTime>{{day, QTime(15, 12, 0)}, {day, QTime(15, 12, 5)}}
                              << QStringList{"Board lost at 15:12:00; reconnecting to COM12",
                                             "Board lost at 15:12:00, back at 15:12:05"};
        QTest::newRow("back the next day")
            << QList<QDateTime>{{day, QTime(23, 59, 58)}, {day.addDays(1), QTime(0, 0, 3)}}
            << QStringList{"Board lost at 23:59:58; reconnecting to COM12",
                           "Board lost at 08/12/2024 23:59:58, back at 00:00:03"};
        QTest::newRow("twice, counted")
            << QList<QDateTime>{{day, QTime(2, 0, 0)},
                                {day, QTime(2, 0, 4)},
                                {day, QTime(3, 10, 0)},
                                {day, QTime(3, 10, 2)}}
            << QStringList{"Board lost at 02:00:00; reconnecting to COM12",
                           "Board lost at 02:00:00, back at 02:00:04",
                           "Board lost at 03:10:00; reconnecting to COM12",
                           "Board lost 2 times, last at 03:10:00, back at 03:10:02"};
    }

    void statusTexts() {
        QFETCH(QList<QDateTime>, lostAndBack);
        QFETCH(QStringList, texts);
        BoardReconnect reconnect(kQuickRetryMs, dayFirst, [](int) { return false; });
        QVERIFY(reconnect.statusText().isEmpty());
        for (qsizetype event = 0; event < lostAndBack.size(); event += 2) {
            reconnect.lost(12, 0, lostAndBack[event]);
            QVERIFY(reconnect.active());
            QCOMPARE(reconnect.statusText(), texts[event]);
            reconnect.back(lostAndBack[event + 1]);
            QVERIFY(!reconnect.active());
            QCOMPARE(reconnect.statusText(), texts[event + 1]);
        }
    }

    void triesOnlyWhileTheDeviceIsThere() {
        bool deviceThere = false;
        QList<int> looked;
        BoardReconnect reconnect(kQuickRetryMs, dayFirst, [&](int number) {
            looked.append(number);
            return deviceThere;
        });
        QSignalSpy retries(&reconnect, &BoardReconnect::retryDue);
        reconnect.lost(7, 2, QDateTime(QDate(2024, 1, 1), QTime(1, 0)));
        QCOMPARE(reconnect.comNumber(), 7);
        QCOMPARE(reconnect.boardRow(), 2);
        QTRY_VERIFY(looked.size() >= 3);
        QCOMPARE(retries.count(), 0);
        QVERIFY(std::all_of(looked.begin(), looked.end(), [](int number) { return number == 7; }));
        deviceThere = true;
        QTRY_VERIFY(retries.count() >= 1);
        // A try that fails leaves the tries going; the row stays the lost board's.
        QTRY_VERIFY(retries.count() >= 2);
        QCOMPARE(reconnect.boardRow(), 2);
    }

    void givingUpEndsTheTries_data() {
        QTest::addColumn<bool>("forget");
        QTest::newRow("stopped") << false;
        QTest::newRow("forgotten") << true;
    }

    void givingUpEndsTheTries() {
        QFETCH(bool, forget);
        int looks = 0;
        BoardReconnect reconnect(kQuickRetryMs, dayFirst, [&](int) {
            ++looks;
            return true;
        });
        const QDateTime at(QDate(2024, 1, 1), QTime(1, 0));
        reconnect.lost(3, 0, at);
        QTRY_VERIFY(looks > 0);
        forget ? reconnect.forget() : reconnect.stop();
        QVERIFY(!reconnect.active());
        QVERIFY(reconnect.statusText().isEmpty());
        const int looksAtTheEnd = looks;
        QTest::qWait(10 * kQuickRetryMs);
        QCOMPARE(looks, looksAtTheEnd);
        // Forgetting starts the count afresh; stopping alone keeps it.
        reconnect.lost(3, 0, at);
        reconnect.back(at.addSecs(2));
        QCOMPARE(reconnect.statusText().startsWith(QStringLiteral("Board lost 2 times")), !forget);
    }
};

QTEST_MAIN(BoardReconnectTest)
#include "test_boardreconnect.moc"
