#pragma once

#include "ui/repaintpacer.h"

#include <QElapsedTimer>
#include <QObject>
#include <functional>

class QTimer;
class QWidget;

namespace thermavo {

// Holds a window's repaints to the pace of a RepaintPacer: a repaint Qt asks for too soon waits,
// and everything changed meanwhile is painted together then. `beforePaint` runs just before each
// repaint that goes ahead.
class PacedRepaint : public QObject {
public:
    PacedRepaint(QWidget* window, std::function<void()> beforePaint);

    // A reply has changed what the window shows.
    void replyShown();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_window;
    std::function<void()> m_beforePaint;
    QTimer* m_timer;
    QElapsedTimer m_clock;
    RepaintPacer m_pacer;
};

} // namespace thermavo
