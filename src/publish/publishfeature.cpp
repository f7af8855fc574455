#include "publish/publishfeature.h"

#include "events/runpublisher.h"
#include "publish/publishwindow.h"

#include <QAction>
#include <QFontMetrics>
#include <QLabel>
#include <QPointer>
#include <QStatusBar>
#include <QSysInfo>
#include <exception>

namespace thermavo {

namespace {

constexpr int kStatusCharacters = 48;

} // namespace

PublishFeature::PublishFeature(const FeatureHost& host, QObject* parent)
    : QObject(parent), m_host(host) {
    m_show = new QAction(QStringLiteral("Publish to a broker…"), m_host.chart);
    m_show->setObjectName(QStringLiteral("ShowPublishAction"));
    m_show->setShortcut(QKeySequence(QStringLiteral("Ctrl+M")));
    m_host.chart->addAction(m_show);
    connect(m_show, &QAction::triggered, this, &PublishFeature::showWindow);

    m_status = new QLabel(m_host.statusBar);
    m_status->setObjectName(QStringLiteral("PublishStatusLabel"));
    m_status->hide();
    m_host.statusBar->insertPermanentWidget(0, m_status);

    connect(m_host.events, &RunPublisher::sampleTick, this, [this](const SampleTick& tick) {
        if (m_client)
            m_client->publishTick(tick);
    });

    if (!m_host.settingsFile.isEmpty())
        m_settings = loadPublishSettings(m_host.settingsFile, QSysInfo::machineHostName());
    restart();
}

PublishFeature::~PublishFeature() {
    delete m_window;
}

void PublishFeature::setTiming(const BrokerTiming& timing) {
    m_timing = timing;
    restart();
}

void PublishFeature::apply(const PublishSettings& settings) {
    m_settings = settings;
    try {
        savePublishSettings(m_host.settingsFile, m_settings);
    } catch (const std::exception& error) {
        m_host.reportError(QString::fromUtf8(error.what()));
    }
    restart();
}

void PublishFeature::restart() {
    m_client.reset();
    // A status still on its way from the client just replaced must not show as the new one's.
    const quint64 generation = ++m_generation;
    m_status->clear();
    m_status->setToolTip(QString());
    if (!m_settings.enabled) {
        m_status->hide();
        emit statusChanged(QString());
        if (m_window != nullptr)
            m_window->setStatus(QStringLiteral("Publishing is off."));
        return;
    }
    QPointer<PublishFeature> self(this);
    auto* client = new BrokerClient(m_settings.broker, m_timing,
                                    [self, generation](const BrokerStatus& status) {
                                        QMetaObject::invokeMethod(
                                            self.data(),
                                            [self, generation, status] {
                                                if (self && self->m_generation == generation)
                                                    self->brokerStatusChanged(status);
                                            },
                                            Qt::QueuedConnection);
                                    });
    m_client.reset(client);
    m_status->show();
}

void PublishFeature::brokerStatusChanged(const BrokerStatus& status) {
    if (!m_client)
        return;
    const QString text = QString::fromStdString(brokerStatusText(status));
    // The status bar's other labels must stay readable and the window keep its size: a long
    // text is shortened there and shown whole in its tooltip and in the window.
    const QFontMetrics metrics = m_status->fontMetrics();
    m_status->setText(
        metrics.elidedText(text, Qt::ElideRight, metrics.averageCharWidth() * kStatusCharacters));
    m_status->setToolTip(text);
    if (m_window != nullptr)
        m_window->setStatus(text);
    emit statusChanged(text);
}

void PublishFeature::showWindow() {
    if (m_window == nullptr)
        m_window = new PublishWindow([this](const PublishSettings& chosen) { apply(chosen); },
                                     m_host.window);
    m_window->show(m_settings);
    m_window->setStatus(m_client ? m_status->toolTip() : QStringLiteral("Publishing is off."));
}

void PublishFeature::closeWindow() {
    if (m_window != nullptr)
        m_window->close();
}

void PublishFeature::finish() {
    if (!m_client)
        return;
    m_client->finish(kCloseBound);
    m_client.reset();
}

void PublishFeature::publishAlarmState(int channel, AlarmLevel level) {
    if (m_client)
        m_client->publish(alarmStateMessage(m_settings.broker.prefix, channel, level));
}

void PublishFeature::publishAlarmEvent(const AlarmEvent& event) {
    if (m_client)
        m_client->publish(alarmEventMessage(m_settings.broker.prefix, event));
}

} // namespace thermavo
