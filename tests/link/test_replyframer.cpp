#include "framercases.h"
#include "link/replyframer.h"
#include "residentmemory.h"

#include <QFile>
#include <QList>
#include <QTest>
#include <cstdint>
#include <stdexcept>
#include <string>
#ifdef _WIN32
#include <windows.h>
// The process status API builds on the Windows types.
#include <psapi.h>
#endif

using thermavo::ReplyFramer;

namespace {

// Records every event with the clock reading at which it was raised.
struct Recorder {
    ReplyFramer framer;
    QList<QByteArray> replies;
    QList<std::uint32_t> timeouts;
    bool rearm = true;
    std::uint32_t now = 0;

    Recorder() {
        framer.setHandlers(
            [this](std::string_view text) {
                replies.append(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
                if (rearm)
                    framer.arm();
            },
            [this] {
                timeouts.append(now);
                if (rearm)
                    framer.arm();
            });
    }

    void feed(const QByteArray& bytes) {
        framer.receive(std::string_view(bytes.constData(), bytes.size()), now);
    }

    // Runs the periodic expiry check the way the port's worker does, every 50 ms.
    void advanceTo(std::uint32_t target) {
        while (now != target) {
            const std::uint32_t step = std::min<std::uint32_t>(50, target - now);
            now += step;
            framer.checkTimeout(now);
        }
    }
};

qint64 residentKb() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return -1;
    return static_cast<qint64>(counters.WorkingSetSize / 1024);
#else
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
#endif
}

} // namespace

class ReplyFramerTest : public QObject {
    Q_OBJECT

private slots:
    void arrivals_data();
    void arrivals();
    void replyTiming_data();
    void replyTiming();
    void megabyteReplyInSmallChunks();
    void handlerErrorConsumesReply();
    void portClosedKeepsArmedAndDropsPartialReply();
    void disarmStopsTimer();
    void givenUpReplyGivesItsMemoryBack_data();
    void givenUpReplyGivesItsMemoryBack();
};

void ReplyFramerTest::arrivals_data() {
    addFramerArrivalRows();
}

void ReplyFramerTest::arrivals() {
    QFETCH(bool, armed);
    QFETCH(bool, rearm);
    QFETCH(QList<QByteArray>, arrivals);
    QFETCH(QList<QByteArray>, expected);

    Recorder recorder;
    recorder.rearm = rearm;
    if (armed)
        recorder.framer.arm();
    for (const QByteArray& bytes : arrivals)
        recorder.feed(bytes);

    QCOMPARE(recorder.replies, expected);
    QCOMPARE(recorder.framer.isArmed(), armed && (rearm || expected.isEmpty()));
}

void ReplyFramerTest::replyTiming_data() {
    addFramerTimingRows();
}

void ReplyFramerTest::replyTiming() {
    QFETCH(quint32, origin);
    QFETCH(QByteArray, first);
    QFETCH(quint32, secondAfterMs);
    QFETCH(QByteArray, second);
    QFETCH(QList<QByteArray>, expected);
    QFETCH(int, timeoutAfterMs);

    Recorder recorder;
    recorder.now = origin;
    recorder.framer.arm();
    recorder.feed(first);
    if (!second.isEmpty()) {
        recorder.advanceTo(origin + secondAfterMs);
        recorder.feed(second);
    }
    recorder.advanceTo(origin + 600000u);

    QCOMPARE(recorder.replies, expected);
    if (timeoutAfterMs < 0) {
        QVERIFY(recorder.timeouts.isEmpty());
        return;
    }
    QCOMPARE(recorder.timeouts.size(), 1);
    // Expiry counts whole 55 ms ticks, so it comes up to one tick plus one check period late.
    const std::uint32_t after = recorder.timeouts.first() - origin;
    QVERIFY2(after > static_cast<std::uint32_t>(timeoutAfterMs) &&
                 after <= static_cast<std::uint32_t>(timeoutAfterMs) + ReplyFramer::kTickMs + 50,
             QByteArray::number(after));
}

void ReplyFramerTest::megabyteReplyInSmallChunks() {
    constexpr int kSize = 1 << 20;
    QByteArray body(kSize, Qt::Uninitialized);
    for (int i = 0; i < kSize; ++i)
        body[i] = static_cast<char>('0' + i % 10);
    const QByteArray stream = "junk\n" + body + "\r\nnext\r";

    Recorder recorder;
    recorder.framer.arm();
    for (qsizetype at = 0; at < stream.size(); at += 256)
        recorder.feed(stream.mid(at, 256));

    QCOMPARE(recorder.replies.size(), 2);
    QVERIFY(recorder.replies[0] == body);
    QCOMPARE(recorder.replies[1], QByteArray("next"));
}

void ReplyFramerTest::handlerErrorConsumesReply() {
    ReplyFramer framer;
    QList<QByteArray> replies;
    framer.setHandlers(
        [&](std::string_view text) {
            replies.append(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
            if (text == "bad")
                throw std::runtime_error("handler failed");
            framer.arm();
        },
        [] {});
    framer.arm();
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, framer.receive("\nbad\r\nlost\r", 0));
    QVERIFY(!framer.isArmed());
    framer.arm();
    framer.receive("\ngood\r", 0);
    QCOMPARE(replies, (QList<QByteArray>{"bad", "good"}));
}

void ReplyFramerTest::portClosedKeepsArmedAndDropsPartialReply() {
    Recorder recorder;
    recorder.framer.arm();
    recorder.feed("\npartial");
    recorder.framer.portClosed();
    QVERIFY(recorder.framer.isArmed());
    recorder.advanceTo(120000);
    recorder.feed("rest\r\nnew\r");
    QCOMPARE(recorder.replies, QList<QByteArray>{"new"});
    QVERIFY(recorder.timeouts.isEmpty());
}

void ReplyFramerTest::disarmStopsTimer() {
    Recorder recorder;
    recorder.framer.arm();
    recorder.feed("\nA");
    recorder.framer.disarm();
    recorder.advanceTo(120000);
    recorder.framer.arm();
    recorder.feed("B\r");
    recorder.advanceTo(240000);
    QVERIFY(recorder.replies.isEmpty());
    QVERIFY(recorder.timeouts.isEmpty());
}

void ReplyFramerTest::givenUpReplyGivesItsMemoryBack_data() {
    QTest::addColumn<bool>("byTimeout");
    QTest::newRow("time-out") << true;
    QTest::newRow("port closed") << false;
}

void ReplyFramerTest::givenUpReplyGivesItsMemoryBack() {
    QFETCH(bool, byTimeout);
    if (!kResidentMemoryIsMeaningful)
        QSKIP("resident memory is not measurable under a sanitizer");
    constexpr qint64 kReplyKb = 32 * 1024;
    const QByteArray chunk(64 * 1024, 'A');
    Recorder recorder;
    recorder.framer.arm();
    const qint64 before = residentKb();
    recorder.feed("\n");
    for (qint64 fed = 0; fed < kReplyKb * 1024; fed += chunk.size())
        recorder.feed(chunk);
    QVERIFY(residentKb() > before + kReplyKb / 2);
    if (byTimeout)
        recorder.advanceTo(56000);
    else
        recorder.framer.portClosed();
    QCOMPARE(recorder.timeouts.size(), byTimeout ? 1 : 0);
    QVERIFY2(residentKb() < before + kReplyKb / 4, "the discarded reply's memory is still held");
}

QTEST_APPLESS_MAIN(ReplyFramerTest)
#include "test_replyframer.moc"
