#include "ui/hintrelay.h"

#include <QApplication>
#include <QEnterEvent>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QToolTip>
#include <QWidget>

namespace thermavo {

QString longHint(const QString& hint) {
    const qsizetype bar = hint.indexOf(QLatin1Char('|'));
    return bar < 0 ? hint : hint.mid(bar + 1);
}

QString shortHint(const QString& hint) {
    const qsizetype bar = hint.indexOf(QLatin1Char('|'));
    return bar < 0 ? hint : hint.left(bar);
}

HintRelay::HintRelay(QWidget* window, std::function<void()> hintChanged)
    : QObject(window), m_window(window), m_hintChanged(std::move(hintChanged)) {
    // The application's filter sees the events of every control, children created later too.
    qApp->installEventFilter(this);
}

HintRelay::~HintRelay() {
    qApp->removeEventFilter(this);
}

bool HintRelay::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Enter:
        track(static_cast<QEnterEvent*>(event)->globalPosition().toPoint());
        break;
    case QEvent::MouseMove:
        track(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
        break;
    case QEvent::Leave:
        if (watched == m_window && !m_current.isEmpty()) {
            m_current.clear();
            m_hintChanged();
        }
        break;
    case QEvent::ToolTip: {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr || widget->window() != m_window)
            break;
        const QString tip = shortHint(hintAt(widget));
        const auto* help = static_cast<QHelpEvent*>(event);
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), tip, widget);
        return true;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

QString HintRelay::hintAt(const QWidget* widget) const {
    for (; widget != nullptr; widget = widget->parentWidget()) {
        const QString hint = widget->property("hint").toString();
        if (!hint.isEmpty())
            return hint;
        if (widget == m_window)
            break;
    }
    return {};
}

void HintRelay::track(const QPoint& globalPosition) {
    const QWidget* under = QApplication::widgetAt(globalPosition);
    const QString hint =
        under != nullptr && under->window() == m_window ? longHint(hintAt(under)) : QString();
    if (hint == m_current)
        return;
    m_current = hint;
    m_hintChanged();
}

} // namespace thermavo
