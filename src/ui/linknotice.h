#pragma once

#include <QPointer>
#include <QString>

class QLabel;
class QMessageBox;
class QStatusBar;
class QWidget;

namespace thermavo {

// What the window tells about the board's link: a text in the status bar, and a box when the
// port was lost.
class LinkNotice {
public:
    // The label goes to the right of the status bar, where the hints shown on the left never
    // cover it.
    LinkNotice(QWidget* window, QStatusBar* statusBar, QLabel* statusLabel);

    // Shows the text in the status bar, or nothing while it is empty.
    void showStatus(const QString& text);
    // The user may not open the port: the status bar says what to do.
    void showNoPermission(int comNumber);
    // Nobody may be there to click it: the box neither waits nor outlives the loss it reports.
    void showPortLost(const QString& reason, int comNumber);
    void closePortLost();

private:
    QWidget* m_window;
    QLabel* m_statusLabel;
    QPointer<QMessageBox> m_portLostBox;
};

} // namespace thermavo
