#include "ui/pacedrepaint.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

namespace thermavo {

PacedRepaint::PacedRepaint(QWidget* window, std::function<void()> beforePaint)
    : QObject(window), m_window(window), m_beforePaint(std::move(beforePaint)),
      m_timer(new QTimer(this)) {
    m_clock.start();
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        QCoreApplication::postEvent(m_window, new QEvent(QEvent::UpdateRequest),
                                    Qt::LowEventPriority);
    });
    m_window->installEventFilter(this);
}

void PacedRepaint::replyShown() {
    m_pacer.replyShown(m_clock.elapsed());
}

bool PacedRepaint::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_window && event->type() == QEvent::UpdateRequest) {
        const qint64 wait = m_pacer.waitBeforePainting(m_clock.elapsed());
        if (wait > 0) {
            if (!m_timer->isActive())
                m_timer->start(static_cast<int>(wait));
            return true;
        }
        m_timer->stop();
        m_beforePaint();
    }
    return QObject::eventFilter(watched, event);
}

} // namespace thermavo
