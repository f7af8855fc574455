#pragma once

#include "link/portprobe.h"

#include <QDialog>
#include <functional>
#include <memory>
#include <optional>

namespace Ui {
class PortDialog;
}

namespace thermavo {

// Asks for one of the present serial ports. Escape is not bound; Cancel and the close box end
// the dialog without a choice.
class PortDialog : public QDialog {
    Q_OBJECT

public:
    // Lists the ports the system names; nothing is opened.
    explicit PortDialog(const PortSystem& system = PortSystem::real(), QWidget* parent = nullptr);
    explicit PortDialog(const std::function<bool(int)>& isPresent, QWidget* parent = nullptr);
    ~PortDialog() override;

    // The selected row's port number, or none when the list is empty.
    std::optional<int> selectedPort() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    PortDialog(const std::vector<int>& ports, QWidget* parent);

    std::unique_ptr<Ui::PortDialog> m_ui;
};

// Shows the dialog modally, centred on the screen. None for Cancel, the close box or an empty list.
std::optional<int> askForPort(const PortSystem& system = PortSystem::real());
std::optional<int> askForPort(const std::function<bool(int)>& isPresent);
// Ends every port dialog that is open without a choice.
void rejectOpenPortDialogs();

} // namespace thermavo
