#include "ui/linknotice.h"

#include <QLabel>
#include <QMessageBox>
#include <QStatusBar>

namespace thermavo {

LinkNotice::LinkNotice(QWidget* window, QStatusBar* statusBar, QLabel* statusLabel)
    : m_window(window), m_statusLabel(statusLabel) {
    statusBar->addPermanentWidget(statusLabel);
    statusLabel->hide();
}

void LinkNotice::showStatus(const QString& text) {
    m_statusLabel->setText(text);
    m_statusLabel->setVisible(!text.isEmpty());
}

void LinkNotice::showNoPermission(int comNumber) {
    showStatus(QStringLiteral("You may not open COM%1: join the group dialout, then log in again")
                   .arg(comNumber));
}

void LinkNotice::showPortLost(const QString& reason, int comNumber) {
    delete m_portLostBox;
    m_portLostBox = new QMessageBox(
        QMessageBox::Warning, QStringLiteral("Warning"),
        QStringLiteral("The serial port stopped working (%1). The board is off line until COM%2 "
                       "is back; Thermavo reconnects by itself.")
            .arg(reason)
            .arg(comNumber),
        QMessageBox::Ok, m_window);
    m_portLostBox->setObjectName(QStringLiteral("PortLostBox"));
    m_portLostBox->setModal(false);
    m_portLostBox->setAttribute(Qt::WA_DeleteOnClose);
    m_portLostBox->setAttribute(Qt::WA_ShowWithoutActivating);
    m_portLostBox->show();
}

void LinkNotice::closePortLost() {
    if (m_portLostBox != nullptr)
        m_portLostBox->close();
}

} // namespace thermavo
