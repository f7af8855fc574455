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
    explicit PortDialog(const std::function<bool(int)>& isPresent = isPortPresent,
                        QWidget* parent = nullptr);
    ~PortDialog() override;

    // The selected row's port number, or none when the list is empty.
    std::optional<int> selectedPort() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::unique_ptr<Ui::PortDialog> m_ui;
};

// Shows the dialog modally, centred on the screen. None for Cancel, the close box or an empty list.
std::optional<int> askForPort(const std::function<bool(int)>& isPresent = isPortPresent);

} // namespace thermavo
