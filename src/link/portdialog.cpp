#include "link/portdialog.h"

#include "link/portmap.h"
#include "ui_portdialog.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>

namespace thermavo {

PortDialog::PortDialog(const PortSystem& system, QWidget* parent)
    : PortDialog(presentPorts(system), parent) {}

PortDialog::PortDialog(const std::function<bool(int)>& isPresent, QWidget* parent)
    : PortDialog(presentPorts(isPresent), parent) {}

PortDialog::PortDialog(const std::vector<int>& ports, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_ui(std::make_unique<Ui::PortDialog>()) {
    m_ui->setupUi(this);
    setFixedSize(size());
    for (const int number : ports) {
        m_ui->portList->addItem(QStringLiteral("COM%1").arg(number), number);
        m_ui->portList->setItemData(m_ui->portList->count() - 1,
                                    QString::fromStdString(devicePathForPort(number)),
                                    Qt::ToolTipRole);
    }
    m_ui->portList->setCurrentIndex(m_ui->portList->count() > 0 ? 0 : -1);
    m_ui->okButton->setFocus();
    // Qt's own placement allows for a window frame it cannot see without a window manager and
    // lands off centre, so the dialog is centred explicitly, as the main window is.
    const QRect area = screen()->availableGeometry();
    move(area.center() - rect().center());
}

PortDialog::~PortDialog() = default;

std::optional<int> PortDialog::selectedPort() const {
    if (m_ui->portList->currentIndex() < 0)
        return std::nullopt;
    return m_ui->portList->currentData().toInt();
}

void PortDialog::keyPressEvent(QKeyEvent* event) {
    // Escape would reject; here it is deliberately unbound.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

namespace {

std::optional<int> answer(PortDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.selectedPort();
}

} // namespace

std::optional<int> askForPort(const PortSystem& system) {
    PortDialog dialog(system);
    return answer(dialog);
}

std::optional<int> askForPort(const std::function<bool(int)>& isPresent) {
    PortDialog dialog(isPresent);
    return answer(dialog);
}

void rejectOpenPortDialogs() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<PortDialog*>(widget); dialog != nullptr)
            dialog->reject();
    }
}

} // namespace thermavo
