#include "publish/publishwindow.h"

#include "ui_publishwindow.h"

#include <QPushButton>

namespace thermavo {

PublishWindow::PublishWindow(std::function<void(const PublishSettings&)> apply, QWidget* parent)
    : QWidget(parent, Qt::Window), m_ui(std::make_unique<Ui::PublishWindow>()),
      m_apply(std::move(apply)) {
    m_ui->setupUi(this);
#ifdef Q_OS_WIN
    m_ui->TlsBox->setEnabled(false);
    m_ui->CaFileEdit->setEnabled(false);
#else
    m_ui->TlsNote->hide();
#endif
    connect(m_ui->Buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
            &PublishWindow::applyClicked);
    connect(m_ui->Buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
}

PublishWindow::~PublishWindow() = default;

void PublishWindow::show(const PublishSettings& settings) {
    const BrokerSettings& broker = settings.broker;
    m_ui->EnabledBox->setChecked(settings.enabled);
    m_ui->HostEdit->setText(QString::fromStdString(broker.host));
    m_ui->PortBox->setValue(broker.port);
    m_ui->ClientIdEdit->setText(QString::fromStdString(broker.clientId));
    m_ui->PrefixEdit->setText(QString::fromStdString(broker.prefix));
    m_ui->UserEdit->setText(QString::fromStdString(broker.user));
    m_ui->PasswordEdit->setText(QString::fromStdString(broker.password));
    m_ui->TlsBox->setChecked(broker.tls);
    m_ui->CaFileEdit->setText(QString::fromStdString(broker.caFile));
    m_ui->DiscoveryBox->setChecked(broker.discovery);
    QWidget::show();
    raise();
    activateWindow();
}

PublishSettings PublishWindow::settings() const {
    PublishSettings settings;
    BrokerSettings& broker = settings.broker;
    settings.enabled = m_ui->EnabledBox->isChecked();
    broker.host = m_ui->HostEdit->text().trimmed().toStdString();
    broker.port = m_ui->PortBox->value();
    broker.clientId = m_ui->ClientIdEdit->text().trimmed().toStdString();
    broker.prefix = m_ui->PrefixEdit->text().trimmed().toStdString();
    broker.user = m_ui->UserEdit->text().toStdString();
    broker.password = m_ui->PasswordEdit->text().toStdString();
    broker.tls = m_ui->TlsBox->isChecked();
    broker.caFile = m_ui->CaFileEdit->text().trimmed().toStdString();
    broker.discovery = m_ui->DiscoveryBox->isChecked();
    return settings;
}

void PublishWindow::setStatus(const QString& text) {
    m_ui->StatusText->setText(text);
}

void PublishWindow::applyClicked() {
    const PublishSettings chosen = settings();
    if (chosen.enabled && chosen.broker.host.empty()) {
        setStatus(QStringLiteral("Enter the broker's host name."));
        return;
    }
    if (!validTopicPrefix(chosen.broker.prefix)) {
        setStatus(QStringLiteral("The topic prefix may not be empty, start or end with '/', "
                                 "or hold '+' or '#'."));
        return;
    }
    m_apply(chosen);
}

} // namespace thermavo
