#pragma once

#include "history/runstore.h"
#include "ui/regional.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <thread>

namespace thermavo {

// Reads a log file into a store of its own on a thread of its own, so the window stays
// responsive while a week of records comes in; it can be cancelled at any time.
class LogLoader : public QObject {
    Q_OBJECT

public:
    // A pause more than this many times the usual time between records is a break in the curve.
    static constexpr double kBreakFactor = 5.0;
    static constexpr std::size_t kChunkBytes = 1 << 20;

    explicit LogLoader(QObject* parent = nullptr);
    // Cancels a reading still running and waits for its thread.
    ~LogLoader() override;

    // Starts reading; false while another reading runs. Two-digit years are taken in the century
    // nearest to nearYear.
    bool start(const QString& path, const RegionalSettings& regional, int nearYear);
    void cancel();
    bool running() const { return m_thread.joinable(); }

    // Of the file being read: bytes read so far and its size.
    qint64 bytesRead() const { return m_bytesRead.load(); }
    qint64 bytesTotal() const { return m_bytesTotal.load(); }

    // After finished(): the records read, and what went wrong (empty when nothing did).
    RunStore takeStore() { return std::move(m_store); }
    QString error() const { return m_error; }
    // What was left out of the file and why, one line each ("line 4 was cut short and is left
    // out"), and how many such notes there were in all.
    QStringList notes() const { return m_notes; }
    std::size_t noteCount() const { return m_noteCount; }
    bool cancelled() const { return m_cancel.load(); }

signals:
    void finished();

private:
    void read(const QString& path, const RegionalSettings& regional, int nearYear);

    std::thread m_thread;
    std::atomic<bool> m_cancel{false};
    std::atomic<qint64> m_bytesRead{0};
    std::atomic<qint64> m_bytesTotal{0};
    RunStore m_store;
    QString m_error;
    QStringList m_notes;
    std::size_t m_noteCount = 0;
};

} // namespace thermavo
