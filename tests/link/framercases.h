#pragma once

#include <QByteArray>
#include <QList>
#include <QTest>

// The framer's cases, shared by the framer's own test and the test of the port that runs the
// framer on the window thread: the same bytes must give the same events on both.

// Columns armed, rearm (the handler arms the framer again), arrivals, expected replies.
inline void addFramerArrivalRows() {
    QTest::addColumn<bool>("armed");
    QTest::addColumn<bool>("rearm");
    QTest::addColumn<QList<QByteArray>>("arrivals");
    QTest::addColumn<QList<QByteArray>>("expected");

    QTest::newRow("end marker before any start")
        << true << true << QList<QByteArray>{"AB\r"} << QList<QByteArray>{};
    QTest::newRow("two bytes") << true << true << QList<QByteArray>{"\n12\r"}
                               << QList<QByteArray>{"12"};
    QTest::newRow("empty reply") << true << true << QList<QByteArray>{"\n\r"}
                                 << QList<QByteArray>{""};
    QTest::newRow("line feed inside is data")
        << true << true << QList<QByteArray>{"\n1\n2\r"} << QList<QByteArray>{"1\n2"};
    QTest::newRow("back to back, handler re-arms")
        << true << true << QList<QByteArray>{"\n1\r\n2\r"} << QList<QByteArray>{"1", "2"};
    QTest::newRow("back to back, handler does not re-arm")
        << true << false << QList<QByteArray>{"\n1\r\n2\r"} << QList<QByteArray>{"1"};
    QTest::newRow("not re-armed, rest of arrival is lost")
        << true << false << QList<QByteArray>{"\n1\r\n2", "\r"} << QList<QByteArray>{"1"};
    QTest::newRow("split byte by byte")
        << true << true << QList<QByteArray>{"\n", "A", "B", "\n", "C", "\r"}
        << QList<QByteArray>{"AB\nC"};
    QTest::newRow("junk around split replies")
        << true << true << QList<QByteArray>{"x\ny", "z\rjunk", "\n", "q\rtail"}
        << QList<QByteArray>{"yz", "q"};
    QTest::newRow("stray end marker before start")
        << true << true << QList<QByteArray>{"\r\nA\r"} << QList<QByteArray>{"A"};
    QTest::newRow("binary bytes kept") << true << true << QList<QByteArray>{{"\n\0\xff\x80\r", 5}}
                                       << QList<QByteArray>{{"\0\xff\x80", 3}};
    QTest::newRow("disarmed, whole reply ignored")
        << false << true << QList<QByteArray>{"\nA\r", "\nB", "\r"} << QList<QByteArray>{};
}

// Columns origin (the clock at the first arrival), first, secondAfterMs, second (may be empty),
// expected replies, timeoutAfterMs (-1: none).
inline void addFramerTimingRows() {
    QTest::addColumn<quint32>("origin");
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<quint32>("secondAfterMs");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QList<QByteArray>>("expected");
    QTest::addColumn<int>("timeoutAfterMs");

    const quint32 nearWrap = 0xFFFFFFFFu - 30000u;
    QTest::newRow("end 54 s after start: delivered")
        << 0u << QByteArray("\n12") << 54000u << QByteArray("\r") << QList<QByteArray>{"12"} << -1;
    QTest::newRow("end 56 s after start: lost, time-out at 55 s")
        << 0u << QByteArray("\n12") << 56000u << QByteArray("\r") << QList<QByteArray>{} << 55000;
    QTest::newRow("start then silence")
        << 0u << QByteArray("\n") << 0u << QByteArray() << QList<QByteArray>{} << 55000;
    QTest::newRow("silence without start never times out")
        << 0u << QByteArray("abc") << 0u << QByteArray() << QList<QByteArray>{} << -1;
    QTest::newRow("start right after a reply is covered too")
        << 0u << QByteArray("\nA\r\n") << 0u << QByteArray() << QList<QByteArray>{"A"} << 55000;
    QTest::newRow("timer not restarted by later bytes")
        << 0u << QByteArray("\n1") << 30000u << QByteArray("2") << QList<QByteArray>{} << 55000;
    QTest::newRow("clock wraps during the reply, delivered")
        << nearWrap << QByteArray("\nW") << 54000u << QByteArray("\r") << QList<QByteArray>{"W"}
        << -1;
    QTest::newRow("clock wraps during the reply, times out")
        << nearWrap << QByteArray("\nW") << 0u << QByteArray() << QList<QByteArray>{} << 55000;
    QTest::newRow("start in the middle of a tick")
        << 40u << QByteArray("\n") << 0u << QByteArray() << QList<QByteArray>{} << 55000;
}
