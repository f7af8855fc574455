#include "history/historywindow.h"

#include "history/historyplot.h"
#include "history/logloader.h"
#include "history/storedrange.h"
#include "history/storedrun.h"
#include "log/numbertext.h"
#include "log/tablog.h"
#include "ui/chartrules.h"
#include "ui_historywindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QTimer>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace thermavo {

namespace {

constexpr int kChannelColumn = 0;
constexpr int kCursorColumn = 1;
constexpr int kMinimumColumn = 2;
constexpr int kMaximumColumn = 3;
constexpr int kMeanColumn = 4;
// The plot gets at most this many points per pixel of its width and channel.
constexpr int kPointsPerPixel = 4;
constexpr double kKeyZoomFactor = 1.25;
constexpr double kKeyPanShare = 0.1;
constexpr int kProgressPeriodMs = 50;
constexpr std::size_t kCsvRowsPerPiece = 20000;
constexpr int kProgressSteps = 1000;
constexpr qreal kLinePenWidth = 1.0;
// Answers kept for a stored run, so that zooming back or panning to and fro reads nothing again.
constexpr std::size_t kCachedRanges = 8;
// Pieces of CSV rows read ahead of the file.
constexpr std::size_t kCsvPiecesAhead = 4;
constexpr int kCsvFeedPollMs = 10;
const QString kCursorLayer = QStringLiteral("cursor");

QString shownName(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// A write the medium took only in part is followed by another for the rest, which fails with
// the reason when the medium is full.
bool writeAll(QIODevice& file, std::string_view text) {
    while (!text.empty()) {
        const qint64 written = file.write(text.data(), static_cast<qint64>(text.size()));
        if (written <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

struct HistoryWindow::Stored {
    QString path;
    qint64 run = 0;
    bool current = false;
    // The window thread's own connection, for the run's extent and the cursor: a lookup or two.
    std::unique_ptr<runs::RunDatabase> database;
    std::unique_ptr<StoredRange> range;
    RunExtent extent;
    std::deque<RangeAnswer> cache;
    std::optional<RangeRequest> asked;
    std::optional<RangeAnswer> shown;
    // Declared last, so its thread ends before what it reports to goes.
    std::unique_ptr<RangeWorker> worker;
};

// The rows of a CSV file from a stored run, read and written out as text on a thread of its own;
// the window writes the pieces to the file.
struct HistoryWindow::CsvFeed {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> pieces;
    bool done = false;
    bool cancel = false;
    std::string error;
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    std::atomic<std::int64_t> readMs{0};
    std::thread thread;
};

QString askForLogFile(QWidget* parent) {
    QFileDialog dialog(parent, QStringLiteral("Open a log file"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("Thermavo logs (*.slk *.txt);;all files (*)"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

QString askForSaveFile(QWidget* parent, const QString& title, const QString& filter,
                       const QString& suffix) {
    QFileDialog dialog(parent, title);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(suffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

HistoryWindow::HistoryWindow(const RunStore& run, HistoryServices services, QWidget* parent)
    : QWidget(parent, Qt::Window), m_run(run), m_services(std::move(services)),
      m_ui(std::make_unique<Ui::HistoryWindow>()) {
    m_ui->setupUi(this);
    m_regional = m_services.regionalSettings();
    HistoryPlot& chart = plot();
    chart.setRegionalSettings(m_regional);

    // The table's figures are filled in below; only a channel ticked or cleared is news.
    const QSignalBlocker quietTable(m_ui->ChannelTable);
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        const QColor colour(
            static_cast<QRgb>(kChartSeriesColours[static_cast<std::size_t>(channel)]));
        QCPGraph* graph = chart.addGraph();
        graph->setPen(QPen(colour, kLinePenWidth));
        graph->setName(QStringLiteral("T%1").arg(channel + 1));
        m_graphs.push_back(graph);
        m_ui->ChannelTable->item(channel, kChannelColumn)->setForeground(colour);
        for (int column = kCursorColumn; column <= kMeanColumn; ++column) {
            auto* item = new QTableWidgetItem;
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            item->setFlags(Qt::ItemIsEnabled);
            m_ui->ChannelTable->setItem(channel, column, item);
        }
    }
    m_ui->ChannelTable->resizeColumnsToContents();

    // The cursor has a layer of its own, so moving it repaints neither axes nor curves.
    chart.addLayer(kCursorLayer, chart.layer(QStringLiteral("main")), QCustomPlot::limAbove);
    chart.layer(kCursorLayer)->setMode(QCPLayer::lmBuffered);
    m_cursorLine = new QCPItemStraightLine(&chart);
    m_cursorLine->setLayer(kCursorLayer);
    m_cursorLine->setPen(QPen(palette().color(QPalette::Text), 1, Qt::DashLine));
    m_cursorLine->setClipToAxisRect(true);
    m_cursorText = new QCPItemText(&chart);
    m_cursorText->setLayer(kCursorLayer);
    m_cursorText->setClipToAxisRect(true);
    m_cursorText->position->setTypeX(QCPItemPosition::ptPlotCoords);
    m_cursorText->position->setTypeY(QCPItemPosition::ptAxisRectRatio);
    m_cursorText->setTextAlignment(Qt::AlignLeft);
    m_cursorText->setPadding(QMargins(4, 2, 4, 2));
    m_cursorText->setBrush(QBrush(QColor(255, 255, 255, 220)));
    m_cursorText->setPen(QPen(palette().color(QPalette::Mid)));
    hideCursor();

    connect(chart.xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            &HistoryWindow::axisRangeChanged);
    connect(chart.yAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            &HistoryWindow::axisRangeChanged);
    connect(&chart, &QCustomPlot::mouseMove, this, [this](QMouseEvent* event) {
        if (plot().axisRect()->rect().contains(event->pos())) {
            showCursor(plot().xAxis->pixelToCoord(event->pos().x()));
        } else {
            hideCursor();
        }
    });
    connect(&chart, &QCustomPlot::mouseDoubleClick, this, [this] { fitAll(); });
    chart.installEventFilter(this);

    m_statisticsTimer = new QTimer(this);
    m_statisticsTimer->setSingleShot(true);
    connect(m_statisticsTimer, &QTimer::timeout, this, &HistoryWindow::updateStatistics);

    m_loader = new LogLoader(this);
    connect(m_loader, &LogLoader::finished, this, &HistoryWindow::logRead);
    m_progressTimer = new QTimer(this);
    m_progressTimer->setInterval(kProgressPeriodMs);
    connect(m_progressTimer, &QTimer::timeout, this, &HistoryWindow::updateLoadProgress);
    m_csvTimer = new QTimer(this);
    connect(m_csvTimer, &QTimer::timeout, this, &HistoryWindow::writeCsvRows);
    m_ui->LoadBar->hide();

    display(m_run, {});
}

HistoryWindow::~HistoryWindow() {
    // The program ends: a CSV file being written is finished at once rather than thrown away.
    m_closing = true;
    while (m_csv != nullptr) {
        writeCsvRows();
    }
    m_stored.reset();
}

void HistoryWindow::setChannelNames(const QStringList& names) {
    const QSignalBlocker quietTable(m_ui->ChannelTable);
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        const QString name = names.value(channel).isEmpty() ? QStringLiteral("T%1").arg(channel + 1)
                                                            : names.value(channel);
        m_graphs[static_cast<std::size_t>(channel)]->setName(name);
        m_ui->ChannelTable->item(channel, kChannelColumn)->setText(name);
    }
    m_ui->ChannelTable->resizeColumnToContents(kChannelColumn);
}

HistoryPlot& HistoryWindow::plot() {
    return *m_ui->Plot;
}

bool HistoryWindow::busy() const {
    return m_loader->running() || m_csv != nullptr;
}

ChannelMask HistoryWindow::shownChannels() const {
    ChannelMask shown{};
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        shown[static_cast<std::size_t>(channel)] =
            m_ui->ChannelTable->item(channel, kChannelColumn)->checkState() == Qt::Checked;
    }
    return shown;
}

double HistoryWindow::nowSeconds() const {
    return secondsOf(m_services.now().toMSecsSinceEpoch());
}

void HistoryWindow::setCurrentStoredRun(const QString& path, qint64 run) {
    m_currentPath = path;
    m_currentRun = run;
}

void HistoryWindow::showRun() {
    if (!m_currentPath.isEmpty() && !busy()) {
        showStoredRun(m_currentPath, m_currentRun, {}, true);
        if (m_stored != nullptr && m_stored->current) {
            plot().setFocus();
            return;
        }
    }
    QWidget::show();
    raise();
    activateWindow();
    display(m_run, {});
    plot().setFocus();
}

void HistoryWindow::openLogFile() {
    QWidget::show();
    raise();
    activateWindow();
    if (busy()) {
        return;
    }
    const QString path = m_services.chooseLogFile(this);
    if (!path.isEmpty()) {
        readLog(path);
    }
}

void HistoryWindow::readLog(const QString& path) {
    // A CSV file being written still reads the log shown.
    if (busy()) {
        return;
    }
    m_regional = m_services.regionalSettings();
    if (!m_loader->start(path, m_regional, m_services.now().date().year())) {
        return;
    }
    m_loadingName = shownName(path);
    m_ui->LoadLabel->setText(QStringLiteral("Reading %1").arg(m_loadingName));
    m_ui->LoadProgress->setValue(0);
    m_ui->LoadBar->show();
    m_ui->OpenButton->setEnabled(false);
    m_ui->CsvButton->setEnabled(false);
    m_progressTimer->start();
}

void HistoryWindow::updateLoadProgress() {
    if (m_csvFeed != nullptr) {
        const double total =
            static_cast<double>(std::max<std::int64_t>(m_csvFeed->toMs - m_csvFeed->fromMs, 1));
        m_ui->LoadProgress->setValue(static_cast<int>(
            static_cast<double>(m_csvFeed->readMs - m_csvFeed->fromMs) / total * kProgressSteps));
        return;
    }
    if (m_csv != nullptr) {
        const std::size_t total = std::max<std::size_t>(m_csvEnd - m_csvFirst, 1);
        m_ui->LoadProgress->setValue(
            static_cast<int>(static_cast<double>(m_csvNext - m_csvFirst) / total * kProgressSteps));
        return;
    }
    const qint64 total = std::max<qint64>(m_loader->bytesTotal(), 1);
    m_ui->LoadProgress->setValue(static_cast<int>(static_cast<double>(m_loader->bytesRead()) /
                                                  static_cast<double>(total) * kProgressSteps));
}

void HistoryWindow::logRead() {
    m_progressTimer->stop();
    m_ui->LoadBar->hide();
    m_ui->OpenButton->setEnabled(true);
    m_ui->CsvButton->setEnabled(true);
    if (m_loader->cancelled()) {
        return;
    }
    if (!m_loader->error().isEmpty()) {
        m_services.showMessage(QMessageBox::Critical, QStringLiteral("Error"), m_loader->error());
        return;
    }
    RunStore store = m_loader->takeStore();
    if (store.empty()) {
        m_services.showMessage(QMessageBox::Warning, QStringLiteral("Warning"),
                               QStringLiteral("\"%1\" holds no records.").arg(m_loadingName));
        return;
    }
    m_log = std::move(store);
    m_logName = m_loadingName;
    display(m_log, m_logName);
    const QStringList notes = m_loader->notes();
    if (!notes.isEmpty()) {
        const auto more = static_cast<qsizetype>(m_loader->noteCount()) - notes.size();
        m_services.showMessage(
            QMessageBox::Information, QStringLiteral("Note"),
            QStringLiteral("\"%1\" is read; %2%3.")
                .arg(m_logName, notes.join(QStringLiteral("; ")),
                     more > 0 ? QStringLiteral("; and %1 more such lines").arg(more) : QString()));
    }
}

bool HistoryWindow::showingRun() const {
    return m_stored != nullptr ? m_stored->current : m_shown == &m_run;
}

std::size_t HistoryWindow::shownTicks() const {
    return m_stored != nullptr ? m_stored->extent.ticks : m_shown->size();
}

const RangeAnswer* HistoryWindow::shownRange() const {
    return m_stored != nullptr && m_stored->shown ? &*m_stored->shown : nullptr;
}

RunExtent HistoryWindow::shownExtent() const {
    return m_stored != nullptr ? m_stored->extent : extentOf(*m_shown);
}

void HistoryWindow::showStoredRun(const QString& path, qint64 run, const QString& name,
                                  bool current) {
    QWidget::show();
    raise();
    activateWindow();
    if (busy()) {
        return;
    }
    auto stored = std::make_unique<Stored>();
    stored->path = path;
    stored->run = run;
    stored->current = current;
    try {
        stored->database = std::make_unique<runs::RunDatabase>(path.toStdString(),
                                                               runs::RunDatabase::Check::Header);
        stored->range = std::make_unique<StoredRange>(*stored->database, run);
        stored->extent = stored->range->extent();
    } catch (const std::exception& error) {
        m_services.showMessage(
            QMessageBox::Critical, QStringLiteral("Error"),
            QStringLiteral("The run cannot be read: %1.").arg(QString::fromUtf8(error.what())));
        return;
    }
    const quint64 source = ++m_storedShown;
    stored->worker =
        std::make_unique<RangeWorker>(path.toStdString(), run, [this, source](RangeAnswer answer) {
            QMetaObject::invokeMethod(
                this, [this, source, answer = std::move(answer)] { rangeArrived(answer, source); },
                Qt::QueuedConnection);
        });
    // What a log read back took goes; the stored run is read a span at a time.
    m_log = RunStore();
    m_stored = std::move(stored);
    m_shown = &m_log;
    m_logName = current ? QString() : name;
    m_filledTime = {};
    setWindowTitle(current ? QStringLiteral("Thermavo: the whole run")
                           : QStringLiteral("Thermavo: %1").arg(name));
    fitAll();
}

void HistoryWindow::rangeArrived(const RangeAnswer& answer, quint64 source) {
    if (m_stored == nullptr || source != m_storedShown) {
        return;
    }
    if (!answer.error.empty()) {
        m_ui->SpanLabel->setText(
            QStringLiteral("The run cannot be read: %1").arg(QString::fromStdString(answer.error)));
        return;
    }
    m_stored->cache.push_front(answer);
    if (m_stored->cache.size() > kCachedRanges) {
        m_stored->cache.pop_back();
    }
    if (m_stored->asked && *m_stored->asked == answer.request) {
        showRange(answer);
    }
}

void HistoryWindow::showRange(const RangeAnswer& answer) {
    m_stored->shown = answer;
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        QCPGraph& graph = *m_graphs[static_cast<std::size_t>(channel)];
        const std::vector<PlotPoint>& points = answer.points[static_cast<std::size_t>(channel)];
        QVector<QCPGraphData> data;
        data.reserve(static_cast<qsizetype>(points.size()));
        for (const PlotPoint& point : points) {
            data.append(QCPGraphData(point.key, point.value));
        }
        graph.data()->set(data, true);
    }
    updateStatistics();
    plot().replot(QCustomPlot::rpQueuedReplot);
}

void HistoryWindow::display(const RunStore& store, const QString& source) {
    m_stored.reset();
    m_shown = &store;
    m_logName = source;
    // Another log read into the same store may span the same time: the curves are drawn anew.
    m_filledTime = {};
    setWindowTitle(source.isEmpty() ? QStringLiteral("Thermavo: the whole run")
                                    : QStringLiteral("Thermavo: %1").arg(source));
    fitAll();
}

void HistoryWindow::fitAll() {
    m_view.fitAll(shownExtent(), shownChannels(), nowSeconds());
    applyView();
}

void HistoryWindow::moveView(Span time, Span temperature) {
    m_view.moved(shownExtent(), time, temperature);
    applyView();
}

void HistoryWindow::applyView() {
    HistoryPlot& chart = plot();
    m_applying = true;
    chart.xAxis->setRange(m_view.time().lower, m_view.time().upper);
    chart.yAxis->setRange(m_view.temperature().lower, m_view.temperature().upper);
    m_applying = false;
    refillPlot();
    m_statisticsTimer->start(0);
    updateSourceLabel();
    chart.replot(QCustomPlot::rpQueuedReplot);
}

void HistoryWindow::axisRangeChanged() {
    if (m_applying) {
        return;
    }
    const QCPRange time = plot().xAxis->range();
    const QCPRange temperature = plot().yAxis->range();
    m_view.moved(shownExtent(), {time.lower, time.upper}, {temperature.lower, temperature.upper});
    // A zoom of the library's narrower than a view may be is widened back.
    if (m_view.time() != Span{time.lower, time.upper} ||
        m_view.temperature() != Span{temperature.lower, temperature.upper}) {
        applyView();
        return;
    }
    refillPlot();
    m_statisticsTimer->start(0);
}

void HistoryWindow::refillPlot() {
    const Span time = m_view.time();
    const int width = plot().axisRect()->width();
    const ChannelMask shown = shownChannels();
    if (time == m_filledTime && width == m_filledWidth && shown == m_filledChannels) {
        return;
    }
    m_filledTime = time;
    m_filledWidth = width;
    m_filledChannels = shown;
    const auto budget = static_cast<std::size_t>(std::max(width, 1) * kPointsPerPixel);
    if (m_stored != nullptr) {
        // The curves shown stay until the span asked for comes.
        for (int channel = 0; channel < kHistoryChannels; ++channel) {
            m_graphs[static_cast<std::size_t>(channel)]->setVisible(
                shown[static_cast<std::size_t>(channel)]);
        }
        const RangeRequest request{time, budget, shown};
        m_stored->asked = request;
        for (const RangeAnswer& cached : m_stored->cache) {
            if (cached.request == request) {
                showRange(cached);
                return;
            }
        }
        m_stored->worker->ask(request);
        return;
    }
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        QCPGraph& graph = *m_graphs[static_cast<std::size_t>(channel)];
        graph.setVisible(shown[static_cast<std::size_t>(channel)]);
        if (!graph.visible()) {
            graph.data()->clear();
            continue;
        }
        plotPoints(*m_shown, time, channel, budget, m_points);
        QVector<QCPGraphData> data;
        data.reserve(static_cast<qsizetype>(m_points.size()));
        for (const PlotPoint& point : m_points) {
            data.append(QCPGraphData(point.key, point.value));
        }
        graph.data()->set(data, true);
    }
}

void HistoryWindow::runGrew() {
    if (!showingRun() || !isVisible()) {
        return;
    }
    if (m_stored != nullptr) {
        // The run on disk grows a commit at a time; between two, nothing changed there.
        RunExtent extent;
        try {
            extent = m_stored->range->extent();
        } catch (const std::exception&) {
            return;
        }
        if (extent.ticks == m_stored->extent.ticks) {
            return;
        }
        m_stored->extent = extent;
        m_stored->cache.clear();
        if (m_view.samplesAdded(extent, shownChannels(), nowSeconds())) {
            applyView();
        } else if (secondsOf(extent.lastMs) <= m_view.time().upper) {
            m_filledTime = {};
            refillPlot();
        }
        updateSourceLabel();
        return;
    }
    if (m_view.samplesAdded(m_run, shownChannels(), nowSeconds())) {
        applyView();
        return;
    }
    // A view left elsewhere still shows a new tick that falls inside it.
    if (!m_run.empty() && secondsOf(m_run.time(m_run.size() - 1)) <= m_view.time().upper) {
        m_filledTime = {};
        refillPlot();
        m_statisticsTimer->start(0);
        plot().replot(QCustomPlot::rpQueuedReplot);
    }
    updateSourceLabel();
}

QString HistoryWindow::valueText(float value) const {
    return hasSample(value)
               ? QString::fromStdString(fixedTwoDecimals(value, m_regional.decimalSeparator))
               : QString();
}

QString HistoryWindow::localText(std::int64_t msSinceEpoch) {
    int offset = 0;
    const LocalDateTime when = m_labelTimes.localOf(msSinceEpoch, offset);
    if (when.hour != 0 || when.minute != 0 || when.second != 0) {
        return QString::fromStdString(tabDateTimeText(when, m_regional));
    }
    // The TAB log writes the date alone at midnight; the cursor always shows the time.
    const QString separator = QString::fromStdString(m_regional.timeSeparator);
    QString midnight = (m_regional.twelveHour        ? QStringLiteral("12")
                        : m_regional.hourLeadingZero ? QStringLiteral("00")
                                                     : QStringLiteral("0")) +
                       separator + QStringLiteral("00") + separator + QStringLiteral("00");
    if (m_regional.twelveHour) {
        const QString am = QString::fromStdString(m_regional.amDesignator);
        midnight = m_regional.designatorFirst ? am + QLatin1Char(' ') + midnight
                                              : midnight + QLatin1Char(' ') + am;
    }
    return QString::fromStdString(shortDateText(when, m_regional.shortDatePattern)) +
           QLatin1Char(' ') + midnight;
}

void HistoryWindow::updateStatistics() {
    if (m_stored != nullptr &&
        (!m_stored->shown || m_stored->shown->request.time != m_view.time())) {
        // They come with the span in view.
        return;
    }
    const SpanStatistics stats =
        m_stored != nullptr ? m_stored->shown->statistics : statistics(*m_shown, m_view.time());
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        const ChannelStatistics& channelStats = stats[static_cast<std::size_t>(channel)];
        const bool any = channelStats.count > 0;
        m_ui->ChannelTable->item(channel, kMinimumColumn)
            ->setText(any ? valueText(channelStats.minimum) : QString());
        m_ui->ChannelTable->item(channel, kMaximumColumn)
            ->setText(any ? valueText(channelStats.maximum) : QString());
        m_ui->ChannelTable->item(channel, kMeanColumn)
            ->setText(any ? valueText(static_cast<float>(channelStats.mean)) : QString());
    }
    if (m_stored != nullptr) {
        const RangeAnswer& range = *m_stored->shown;
        m_ui->SpanLabel->setText(range.ticks > 0
                                     ? QStringLiteral("In view: %1 samples, %2 to %3")
                                           .arg(range.ticks)
                                           .arg(localText(range.firstMs), localText(range.lastMs))
                                     : QStringLiteral("In view: no samples"));
        return;
    }
    const auto [first, last] = ticksWithin(*m_shown, m_view.time());
    m_ui->SpanLabel->setText(
        first < last ? QStringLiteral("In view: %1 samples, %2 to %3")
                           .arg(last - first)
                           .arg(localText(m_shown->time(first)), localText(m_shown->time(last - 1)))
                     : QStringLiteral("In view: no samples"));
}

void HistoryWindow::updateSourceLabel() {
    const QString what = showingRun() ? QStringLiteral("This run") : m_logName;
    const QString following =
        showingRun() && m_view.following() ? QStringLiteral(", following") : QString();
    m_ui->SourceLabel->setText(
        QStringLiteral("%1: %2 samples%3").arg(what).arg(shownTicks()).arg(following));
}

void HistoryWindow::showCursor(double x) {
    std::optional<TickValues> values;
    if (m_stored != nullptr) {
        try {
            values = m_stored->range->valuesAt(x);
        } catch (const std::exception&) {
            values.reset();
        }
    } else if (const std::optional<std::size_t> at = tickAt(*m_shown, x)) {
        values.emplace();
        for (int channel = 0; channel < kHistoryChannels; ++channel) {
            (*values)[static_cast<std::size_t>(channel)] = m_shown->value(*at, channel);
        }
    }
    const bool tick = values.has_value();
    const ChannelMask shown = shownChannels();
    const auto ms = static_cast<std::int64_t>(std::floor(x * kMsPerSecond));
    const QString time = localText(ms);
    QString text = time;
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        const float value = tick ? (*values)[static_cast<std::size_t>(channel)] : kNoSample;
        const bool visible = shown[static_cast<std::size_t>(channel)];
        m_ui->ChannelTable->item(channel, kCursorColumn)
            ->setText(visible ? valueText(value) : QString());
        if (visible && hasSample(value)) {
            text += QStringLiteral("\n%1  %2")
                        .arg(m_graphs[static_cast<std::size_t>(channel)]->name(), valueText(value));
        }
    }
    if (!tick) {
        text += QStringLiteral("\nno samples");
    }
    if (m_cursorNote) {
        const QString note = m_cursorNote(x);
        if (!note.isEmpty())
            text += QLatin1Char('\n') + note;
    }
    m_ui->CursorLabel->setText(QStringLiteral("Cursor: %1").arg(time));
    m_cursorLine->point1->setCoords(x, 0.0);
    m_cursorLine->point2->setCoords(x, 1.0);
    m_cursorText->setText(text);
    // The label keeps to the side of the line where there is room for it.
    const bool rightHalf = x > m_view.time().lower + m_view.time().size() / 2.0;
    m_cursorText->setPositionAlignment((rightHalf ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
    m_cursorText->position->setCoords(x, 0.0);
    m_cursorLine->setVisible(true);
    m_cursorText->setVisible(true);
    plot().layer(kCursorLayer)->replot();
}

void HistoryWindow::hideCursor() {
    m_cursorLine->setVisible(false);
    m_cursorText->setVisible(false);
    m_ui->CursorLabel->setText(QStringLiteral("Cursor: -"));
    for (int channel = 0; channel < kHistoryChannels; ++channel) {
        if (QTableWidgetItem* item = m_ui->ChannelTable->item(channel, kCursorColumn)) {
            item->setText({});
        }
    }
    plot().layer(kCursorLayer)->replot();
}

void HistoryWindow::channelToggled() {
    // The table tells of every change of its items, the figures written into it included.
    const ChannelMask shown = shownChannels();
    if (shown == m_filledChannels) {
        return;
    }
    m_filledTime = {};
    refillPlot();
    plot().replot(QCustomPlot::rpQueuedReplot);
}

bool HistoryWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_ui->Plot && event->type() == QEvent::Leave) {
        hideCursor();
    }
    // Home on the plot fits at once, before the "Fit all" button's shortcut clicks it.
    if (watched == m_ui->Plot && event->type() == QEvent::ShortcutOverride &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Home) {
        event->accept();
        return true;
    }
    if (watched != m_ui->Plot || event->type() != QEvent::KeyPress) {
        return QWidget::eventFilter(watched, event);
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool temperature = key->modifiers().testFlag(Qt::ControlModifier);
    const Span time = m_view.time();
    const Span degrees = m_view.temperature();
    const auto zoom = [&](double factor) {
        if (temperature) {
            moveView(time, zoomedAbout(degrees, degrees.lower + degrees.size() / 2.0, factor,
                                       kNarrowestTemperatureSpan));
        } else {
            moveView(zoomedAbout(time, time.lower + time.size() / 2.0, factor, kNarrowestTimeSpan),
                     degrees);
        }
    };
    switch (key->key()) {
    case Qt::Key_Home:
        fitAll();
        return true;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoom(1.0 / kKeyZoomFactor);
        return true;
    case Qt::Key_Minus:
        zoom(kKeyZoomFactor);
        return true;
    case Qt::Key_Left:
        moveView(panned(time, -kKeyPanShare), degrees);
        return true;
    case Qt::Key_Right:
        moveView(panned(time, kKeyPanShare), degrees);
        return true;
    case Qt::Key_Up:
        moveView(time, panned(degrees, kKeyPanShare));
        return true;
    case Qt::Key_Down:
        moveView(time, panned(degrees, -kKeyPanShare));
        return true;
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void HistoryWindow::closeEvent(QCloseEvent* event) {
    // A CSV file being written is finished while the window is away; only reading stops.
    if (m_loader->running()) {
        m_loader->cancel();
    }
    event->accept();
}

void HistoryWindow::cancelWork() {
    if (m_loader->running()) {
        m_loader->cancel();
    }
    if (m_csv != nullptr) {
        finishCsv(true);
    }
}

void HistoryWindow::PngButtonClick() {
    saveView(false);
}

void HistoryWindow::CsvButtonClick() {
    saveView(true);
}

void HistoryWindow::saveView(bool csv) {
    if (busy()) {
        return;
    }
    const QString path =
        csv ? m_services.chooseSaveFile(this, QStringLiteral("Save the span in view as CSV"),
                                        QStringLiteral("CSV files (*.csv);;all files (*)"),
                                        QStringLiteral("csv"))
            : m_services.chooseSaveFile(this, QStringLiteral("Save the view as PNG"),
                                        QStringLiteral("PNG pictures (*.png);;all files (*)"),
                                        QStringLiteral("png"));
    if (path.isEmpty()) {
        return;
    }
    if (csv) {
        saveCsv(path);
    } else if (!savePng(path)) {
        m_services.showMessage(QMessageBox::Critical, QStringLiteral("Error"),
                               QStringLiteral("Unable to write \"%1\".").arg(shownName(path)));
    }
}

bool HistoryWindow::savePng(const QString& path) {
    hideCursor();
    return plot().savePng(path);
}

bool HistoryWindow::saveCsv(const QString& path) {
    if (busy()) {
        return false;
    }
    auto file = std::make_unique<QSaveFile>(path);
    // Unbuffered, so a write that fails says so when it is made, not never.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        m_services.showMessage(QMessageBox::Critical, QStringLiteral("Error"),
                               QStringLiteral("Unable to write \"%1\": %2.")
                                   .arg(shownName(path), file->errorString()));
        return false;
    }
    m_csvColumns = shownChannels();
    const std::string header = csvHeader(m_csvColumns);
    writeAll(*file, header);
    if (m_stored != nullptr) {
        // The rows of a stored run are read on a thread of their own, a piece at a time.
        auto feed = std::make_unique<CsvFeed>();
        feed->fromMs = static_cast<std::int64_t>(std::ceil(m_view.time().lower * kMsPerSecond));
        feed->toMs = static_cast<std::int64_t>(std::floor(m_view.time().upper * kMsPerSecond));
        feed->readMs = feed->fromMs;
        feed->thread = std::thread([feed = feed.get(), path = m_stored->path.toStdString(),
                                    run = m_stored->run, columns = m_csvColumns] {
            try {
                runs::RunDatabase database(path, runs::RunDatabase::Check::Header);
                StoredRange range(database, run);
                LocalTimes times;
                range.forEachPiece(
                    feed->fromMs, feed->toMs, kCsvRowsPerPiece,
                    [&](const std::vector<runs::StoredTick>& ticks) {
                        std::string text;
                        for (const runs::StoredTick& tick : ticks) {
                            int offset = 0;
                            const LocalDateTime when = times.localOf(tick.ms, offset);
                            text += csvRow(when, offset, filteredValues(tick.channels), columns);
                        }
                        std::unique_lock lock(feed->mutex);
                        feed->changed.wait(lock, [feed] {
                            return feed->cancel || feed->pieces.size() < kCsvPiecesAhead;
                        });
                        feed->pieces.push_back(std::move(text));
                        feed->readMs = ticks.back().ms;
                        feed->changed.notify_all();
                        return !feed->cancel;
                    });
            } catch (const std::exception& error) {
                const std::lock_guard lock(feed->mutex);
                feed->error = error.what();
            }
            const std::lock_guard lock(feed->mutex);
            feed->done = true;
            feed->changed.notify_all();
        });
        m_csvFeed = std::move(feed);
    } else {
        // The rows come from the store shown now, whatever is shown meanwhile.
        m_csvStore = m_shown;
        std::tie(m_csvFirst, m_csvEnd) = ticksWithin(*m_csvStore, m_view.time());
        m_csvNext = m_csvFirst;
    }
    m_csv = std::move(file);
    m_ui->LoadLabel->setText(QStringLiteral("Writing %1").arg(shownName(path)));
    m_ui->LoadProgress->setValue(0);
    m_ui->LoadBar->show();
    m_ui->OpenButton->setEnabled(false);
    m_ui->CsvButton->setEnabled(false);
    m_progressTimer->start();
    m_csvTimer->start(m_csvFeed != nullptr ? kCsvFeedPollMs : 0);
    return true;
}

void HistoryWindow::writeStoredCsvRows() {
    CsvFeed& feed = *m_csvFeed;
    std::string text;
    bool ended = false;
    {
        std::unique_lock lock(feed.mutex);
        // The window waits only when it must finish the file before it goes.
        if (m_closing) {
            feed.changed.wait(lock, [&feed] { return feed.done || !feed.pieces.empty(); });
        }
        if (!feed.pieces.empty()) {
            text = std::move(feed.pieces.front());
            feed.pieces.pop_front();
            feed.changed.notify_all();
        }
        ended = feed.done && feed.pieces.empty();
    }
    if (!writeAll(*m_csv, text) || ended) {
        finishCsv(false);
    }
}

void HistoryWindow::writeCsvRows() {
    if (m_csvFeed != nullptr) {
        writeStoredCsvRows();
        return;
    }
    // The rows go out a piece at a time between the window's other events, so the window stays
    // responsive and the store it reads is never changed under it.
    std::string text;
    const std::size_t end = std::min(m_csvEnd, m_csvNext + kCsvRowsPerPiece);
    for (; m_csvNext < end; ++m_csvNext) {
        int offset = 0;
        const LocalDateTime when = m_csvTimes.localOf(m_csvStore->time(m_csvNext), offset);
        text += csvRow(when, offset, *m_csvStore, m_csvNext, m_csvColumns);
    }
    if (!writeAll(*m_csv, text)) {
        finishCsv(false);
        return;
    }
    if (m_csvNext >= m_csvEnd) {
        finishCsv(false);
    }
}

void HistoryWindow::finishCsv(bool cancelled) {
    QString readError;
    if (m_csvFeed != nullptr) {
        {
            const std::lock_guard lock(m_csvFeed->mutex);
            m_csvFeed->cancel = true;
            m_csvFeed->changed.notify_all();
        }
        m_csvFeed->thread.join();
        readError = QString::fromStdString(m_csvFeed->error);
        m_csvFeed.reset();
    }
    m_csvTimer->stop();
    m_progressTimer->stop();
    m_ui->LoadBar->hide();
    m_ui->OpenButton->setEnabled(true);
    m_ui->CsvButton->setEnabled(true);
    const std::unique_ptr<QSaveFile> file = std::move(m_csv);
    // A write that failed says why now; the commit after it would only say it failed.
    const bool written = file->error() == QFileDevice::NoError && readError.isEmpty();
    const QString reason =
        !readError.isEmpty() ? QStringLiteral("the run cannot be read: %1").arg(readError)
        : file->error() == QFileDevice::ResourceError ? QStringLiteral("the disk is full")
                                                      : file->errorString();
    if (cancelled || !written) {
        file->cancelWriting();
    }
    const bool committed = file->commit();
    if (cancelled || m_closing || (written && committed)) {
        return;
    }
    m_services.showMessage(
        QMessageBox::Critical, QStringLiteral("Error"),
        QStringLiteral("Unable to write \"%1\": %2.")
            .arg(shownName(file->fileName()), written ? file->errorString() : reason));
}

} // namespace thermavo
