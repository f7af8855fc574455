#include "alarms/alarmfeature.h"
#include "alarms/historyoverlay.h"
#include "events/runpublisher.h"
#include "history/historyplot.h"
#include "history/historywindow.h"
#include "log/logfile.h"
#include "log/sylklog.h"
#include "ui/chartrules.h"
#include "ui_historywindow.h"

#include <QApplication>
#include <QMainWindow>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <memory>

// The alarms over the real history window: the alarm feature on a real publisher watches a run
// whose ticks the window shows, and the overlay draws what it saw.

using namespace thermavo;
using namespace thermavo::alarms;

namespace {

constexpr int kTicks = 60;

// T3 above its high limit of 5 for ticks 10 to 19 and from 40 on; T1 steady at 20.
float t3At(int tick) {
    return (tick >= 10 && tick < 20) || tick >= 40 ? 8.0f : 2.0f;
}

bool near(QRgb pixel, QColor colour, int tolerance = 40) {
    return std::abs(qRed(pixel) - colour.red()) <= tolerance &&
           std::abs(qGreen(pixel) - colour.green()) <= tolerance &&
           std::abs(qBlue(pixel) - colour.blue()) <= tolerance;
}

QColor seriesColour(int channel) {
    return QColor(static_cast<QRgb>(kChartSeriesColours.at(static_cast<std::size_t>(channel))));
}

} // namespace

class TestHistoryOverlay : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_folder;
    QMainWindow m_host;
    RunPublisher m_events;
    RunStore m_run;
    QDateTime m_now;
    std::unique_ptr<AlarmFeature> m_alarms;
    std::unique_ptr<HistoryWindow> m_window;
    HistoryOverlay* m_overlay = nullptr;

    HistoryPlot& plot() { return m_window->plot(); }
    std::int64_t msAt(int tick) const { return m_now.toMSecsSinceEpoch() + tick * 1000LL; }
    double secondsAt(int tick) const { return static_cast<double>(msAt(tick)) / 1000.0; }
    QPoint pixelOf(double key, double value) {
        return QPoint(static_cast<int>(std::lround(plot().xAxis->coordToPixel(key))),
                      static_cast<int>(std::lround(plot().yAxis->coordToPixel(value))));
    }
    QString cursorText() {
        for (int item = 0; item < plot().itemCount(); ++item) {
            if (auto* text = qobject_cast<QCPItemText*>(plot().item(item)); text && text->visible())
                return text->text();
        }
        return {};
    }
    QImage rendered() {
        plot().replot();
        return plot().toPixmap().toImage();
    }

    void openWindow() {
        HistoryServices services;
        services.now = [this] { return m_now.addSecs(kTicks); };
        services.regionalSettings = [] { return RegionalSettings{}; };
        services.showMessage = [](QMessageBox::Icon, const QString&, const QString&) {};
        m_window = std::make_unique<HistoryWindow>(m_run, std::move(services));
        m_overlay = new HistoryOverlay(*m_window, *m_alarms);
        m_window->resize(1000, 560);
        m_window->showRun();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

private slots:
    void initTestCase() {
        QVERIFY(m_folder.isValid());
#ifndef Q_OS_WIN
        qputenv("TZ", "Europe/Berlin");
#endif
        // No notification server here: the notifications fail at once, as they may.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/thermavo-test-bus");
        m_host.setCentralWidget(new QWidget(&m_host));
        m_host.statusBar();
    }

    void init() {
        m_now = QDateTime(QDate(2024, 12, 8), QTime(15, 12, 0));
        QFile ini(m_folder.filePath(QStringLiteral("thermavo.INI")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[AlarmT3]\nName=Freezer A\nHigh=5\nLow=-2\n[AlarmT1]\nHigh=30\n");
        ini.close();
        FeatureHost host;
        host.events = &m_events;
        host.window = &m_host;
        host.statusBar = m_host.statusBar();
        host.chart = m_host.centralWidget();
        host.now = [this] { return m_now.addSecs(kTicks); };
        host.regionalSettings = [] { return RegionalSettings{}; };
        host.showMessage = [](QMessageBox::Icon, const QString&, const QString& text) {
            QFAIL(qPrintable("A box was opened: " + text));
        };
        host.reportError = [](const QString&) {};
        host.settingsFile = ini.fileName();
        m_alarms = std::make_unique<AlarmFeature>(host);

        m_run.clear();
        LinkEvent on;
        on.change = LinkChange::OnLine;
        on.msSinceEpoch = msAt(0) - 1000;
        on.utcOffsetSeconds = m_now.offsetFromUtc();
        m_events.publish(on);
        // The window opens halfway: what came before comes from the alarm feature's memory.
        for (int tick = 0; tick < kTicks; ++tick) {
            if (tick == 30)
                openWindow();
            TickValues values;
            values.fill(kNoSample);
            values[0] = 20.0f;
            values[2] = t3At(tick);
            m_run.append(msAt(tick), values);
            SampleTick sample;
            sample.msSinceEpoch = msAt(tick);
            sample.utcOffsetSeconds = m_now.offsetFromUtc();
            sample.intervalSeconds = 1;
            sample.replies = 1;
            for (int channel = 0; channel < kHistoryChannels; ++channel)
                sample.channels[static_cast<std::size_t>(channel)] = {
                    hasSample(values[static_cast<std::size_t>(channel)]),
                    values[static_cast<std::size_t>(channel)],
                    values[static_cast<std::size_t>(channel)]};
            m_events.publish(sample);
            if (m_window)
                m_window->runGrew();
        }
        m_window->showRun();
        plot().xAxis->setRange(secondsAt(0), secondsAt(kTicks - 1));
        plot().yAxis->setRange(-5.0, 35.0);
        plot().replot();
    }

    void cleanup() {
        m_window.reset();
        m_alarms.reset();
    }

    void limitsDashedInTheChannelColour_data() {
        QTest::addColumn<int>("channel");
        QTest::addColumn<bool>("high");
        QTest::addColumn<double>("limit");
        QTest::newRow("T3 high") << 2 << true << 5.0;
        QTest::newRow("T3 low") << 2 << false << -2.0;
        QTest::newRow("T1 high") << 0 << true << 30.0;
    }
    void limitsDashedInTheChannelColour() {
        QFETCH(int, channel);
        QFETCH(bool, high);
        QFETCH(double, limit);
        QCPItemStraightLine* line = m_overlay->limitLine(channel, high ? Kind::High : Kind::Low);
        QVERIFY(line != nullptr);
        QCOMPARE(line->pen().color(), seriesColour(channel));
        QCOMPARE(line->pen().style(), Qt::DashLine);
        // Drawn across the plot at the limit, broken into dashes.
        const QImage image = rendered();
        const QRect area = plot().axisRect()->rect();
        const int row = pixelOf(0.0, limit).y();
        int best = 0;
        for (int y = row - 1; y <= row + 1; ++y) {
            int coloured = 0;
            for (int x = area.left() + 1; x < area.right(); ++x)
                coloured += near(image.pixel(x, y), seriesColour(channel)) ? 1 : 0;
            best = std::max(best, coloured);
        }
        QVERIFY2(best > area.width() / 4 && best < area.width() * 9 / 10,
                 qPrintable(QStringLiteral("%1 of %2 pixels").arg(best).arg(area.width())));
        // A channel not ticked takes its limits with it.
        m_window->ui().ChannelTable->item(channel, 0)->setCheckState(Qt::Unchecked);
        rendered();
        QVERIFY(!line->visible());
    }

    void alarmSpansShaded() {
        QCOMPARE(m_overlay->shades().size(), 2u);
        const QRect area = plot().axisRect()->rect();
        const HistoryOverlay::Shade& past = m_overlay->shades()[0];
        const HistoryOverlay::Shade& open = m_overlay->shades()[1];
        QCOMPARE(past.alarm, alarmIndex(2, Kind::High));
        QVERIFY(!past.open && open.open);
        const QImage image = rendered();
        QCOMPARE(past.rect->topLeft->pixelPosition().x(),
                 plot().xAxis->coordToPixel(secondsAt(10)));
        QCOMPARE(past.rect->bottomRight->pixelPosition().x(),
                 plot().xAxis->coordToPixel(secondsAt(20)));
        QCOMPARE(past.rect->topLeft->pixelPosition().y(), area.top());
        QCOMPARE(past.rect->bottomRight->pixelPosition().y(), area.top() + area.height());
        // Still raised: up to the right edge of the view.
        QCOMPARE(open.rect->topLeft->pixelPosition().x(),
                 plot().xAxis->coordToPixel(secondsAt(40)));
        QCOMPARE(open.rect->bottomRight->pixelPosition().x(), area.left() + area.width());
        // On screen: tinted within the span, plain beside it, between the curves.
        const auto tinted = [&image, this](int from, int to) {
            const int y = pixelOf(0.0, 12.5).y();
            int count = 0;
            int all = 0;
            for (int x = pixelOf(secondsAt(from), 0).x(); x < pixelOf(secondsAt(to), 0).x(); ++x) {
                ++all;
                count += image.pixel(x, y) != qRgb(255, 255, 255) ? 1 : 0;
            }
            return static_cast<double>(count) / all;
        };
        QCOMPARE_GT(tinted(12, 18), 0.9);
        QCOMPARE_LT(tinted(22, 38), 0.1);
    }

    void cursorReadsTheEvent_data() {
        QTest::addColumn<int>("tick");
        QTest::addColumn<QString>("event");
        QTest::newRow("raised") << 10 << "15:12:10 T3 Freezer A above 5.0 °C: raised at 8.0 °C";
        QTest::newRow("cleared") << 20 << "15:12:20 T3 Freezer A above 5.0 °C: cleared at 2.0 °C";
        QTest::newRow("raised after the window opened")
            << 40 << "15:12:40 T3 Freezer A above 5.0 °C: raised at 8.0 °C";
        QTest::newRow("nothing happened") << 30 << "";
    }
    void cursorReadsTheEvent() {
        QFETCH(int, tick);
        QFETCH(QString, event);
        rendered();
        const QPoint at = pixelOf(secondsAt(tick), 12.0);
        QTest::mouseMove(&plot(), at - QPoint(3, 3));
        QTest::mouseMove(&plot(), at + QPoint(2, 0));
        QTRY_VERIFY(!cursorText().isEmpty());
        const QString text = cursorText();
        // The channel goes by its name, in the readout and the table.
        QVERIFY2(text.contains(QStringLiteral("\nT3 Freezer A  ")), qPrintable(text));
        QCOMPARE(m_window->ui().ChannelTable->item(2, 0)->text(), QStringLiteral("T3 Freezer A"));
        QCOMPARE(m_window->ui().ChannelTable->item(0, 0)->text(), QStringLiteral("T1"));
        if (event.isEmpty())
            QVERIFY2(!text.contains(QStringLiteral("°C:")), qPrintable(text));
        else
            QVERIFY2(text.endsWith(event), qPrintable(text));
    }

    void acknowledgedAndRenamedWhileOpen() {
        m_alarms->acknowledgeAll();
        QCOMPARE(m_overlay->markers().back().event.type, EventType::Acknowledged);
        QCOMPARE(m_overlay->markers().back().tracer->style(), QCPItemTracer::tsSquare);
        AlarmSettings settings = m_alarms->rules().settings();
        settings.channels[2].name = "Freezer B";
        settings.channels[2].high = 6.0;
        QCOMPARE(m_alarms->applySettings(settings), QString());
        QCOMPARE(m_window->ui().ChannelTable->item(2, 0)->text(), QStringLiteral("T3 Freezer B"));
        rendered();
        QCOMPARE(m_overlay->limitLine(2, Kind::High)->point1->coords().y(), 6.0);
    }

    // A log read back: its alarms are not known, so only the limits are drawn.
    void logGetsTheLimitsOnly() {
        const QString path = m_folder.filePath(QStringLiteral("old.slk"));
        LogFile file;
        openSylkLog(file, QFile::encodeName(path).toStdString());
        for (std::size_t tick = 0; tick < m_run.size(); ++tick) {
            const QDateTime at = QDateTime::fromMSecsSinceEpoch(m_run.time(tick));
            LogChannels channels;
            for (std::size_t channel = 0; channel < kLogChannelCount; ++channel) {
                const float value = m_run.value(tick, static_cast<int>(channel));
                channels[channel] = {hasSample(value), value};
            }
            writeSylkRecord(file,
                            LocalDateTime{at.date().year(), at.date().month(), at.date().day(),
                                          at.time().hour(), at.time().minute(), at.time().second(),
                                          0},
                            channels);
        }
        closeSylkLog(file);
        m_window->readLog(path);
        QTRY_VERIFY(!m_window->busy());
        QVERIFY(!m_window->showingRun());
        QCOMPARE(m_window->shownStore().size(), m_run.size());
        plot().xAxis->setRange(secondsAt(0), secondsAt(kTicks - 1));
        rendered();
        QVERIFY(m_overlay->limitLine(2, Kind::High)->visible());
        for (const HistoryOverlay::Shade& shade : m_overlay->shades())
            QVERIFY(!shade.rect->visible());
        for (const HistoryOverlay::Marker& marker : m_overlay->markers())
            QVERIFY(!marker.tracer->visible());
        QCOMPARE(m_overlay->cursorNote(secondsAt(10)), QString());
        m_window->showRun();
        rendered();
        QVERIFY(m_overlay->shades()[0].rect->visible());
    }
};

QTEST_MAIN(TestHistoryOverlay)
#include "test_historyoverlay.moc"
