#include "history/logloader.h"

#include "history/localtimes.h"
#include "log/logreader.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <vector>

namespace thermavo {

LogLoader::LogLoader(QObject* parent) : QObject(parent) {}

LogLoader::~LogLoader() {
    cancel();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool LogLoader::start(const QString& path, const RegionalSettings& regional, int nearYear) {
    if (m_thread.joinable()) {
        return false;
    }
    m_cancel = false;
    m_bytesRead = 0;
    m_bytesTotal = 0;
    m_store.clear();
    m_error.clear();
    m_notes.clear();
    m_noteCount = 0;
    m_thread = std::thread([this, path, regional, nearYear] {
        read(path, regional, nearYear);
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_thread.joinable()) {
                    m_thread.join();
                }
                emit finished();
            },
            Qt::QueuedConnection);
    });
    return true;
}

void LogLoader::cancel() {
    m_cancel = true;
}

void LogLoader::read(const QString& path, const RegionalSettings& regional, int nearYear) {
    const QString shown = QDir::toNativeSeparators(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("Unable to read \"%1\": %2.").arg(shown, file.errorString());
        return;
    }
    m_bytesTotal = file.size();
    LocalTimes times;
    RunStore store;
    LogReader reader(
        regional,
        [&](const LogRecord& record) {
            store.appendUnsorted(times.instantOf(record.when), record.values);
        },
        nearYear, systemCodePageUtf8);
    std::vector<char> chunk(kChunkBytes);
    while (!m_cancel.load()) {
        const qint64 count = file.read(chunk.data(), static_cast<qint64>(chunk.size()));
        if (count < 0) {
            m_error = QStringLiteral("Unable to read \"%1\": %2.").arg(shown, file.errorString());
            return;
        }
        if (count == 0) {
            break;
        }
        m_bytesRead += count;
        if (!reader.feed(std::string_view(chunk.data(), static_cast<std::size_t>(count)))) {
            break;
        }
    }
    if (m_cancel.load()) {
        return;
    }
    if (!reader.finish()) {
        m_error = QStringLiteral("\"%1\" is not a log Thermavo can read: line %2: %3.")
                      .arg(shown)
                      .arg(reader.errorLine())
                      .arg(QString::fromStdString(reader.error()));
        return;
    }
    for (const std::string& note : reader.notes()) {
        m_notes << QString::fromStdString(note);
    }
    m_noteCount = reader.noteCount();
    store.sortByTime();
    store.breakAtLongPauses(kBreakFactor);
    m_store = std::move(store);
}

} // namespace thermavo
