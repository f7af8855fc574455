#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QPoint;
class QWidget;

namespace thermavo {

// The part of a hint "short|long" before the bar (the tooltip) and after it (the status bar's
// text); a hint without a bar is both.
QString shortHint(const QString& hint);
QString longHint(const QString& hint);

// Relays the hints of a window's controls: the tooltip of the control under the mouse shows
// the short part, and the long part goes to `hintChanged` whenever the mouse moves onto a
// control with another hint, or leaves the window. A control without a hint of its own has its
// nearest ancestor's.
class HintRelay : public QObject {
public:
    HintRelay(QWidget* window, std::function<void()> hintChanged);
    ~HintRelay() override;

    // The long part of the hint of the control under the mouse.
    const QString& current() const { return m_current; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QString hintAt(const QWidget* widget) const;
    void track(const QPoint& globalPosition);

    QWidget* m_window;
    std::function<void()> m_hintChanged;
    QString m_current;
};

} // namespace thermavo
