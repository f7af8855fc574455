#include "ui/formstate.h"

#include "ui/inifilestore.h"

#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <limits>

namespace thermavo {

namespace {

const QString kFlagsKey = QStringLiteral("Flags");
const QString kShowCmdKey = QStringLiteral("ShowCmd");
const QString kNormalPosKey = QStringLiteral("NormalPos");
const QString kPixelsPerInchKey = QStringLiteral("PixelsPerInch");
const QString kColorKey = QStringLiteral("Color");

constexpr qint64 kFarLow = std::numeric_limits<int>::min() / 2;
constexpr qint64 kFarHigh = std::numeric_limits<int>::max() / 2;

int wordOr(const QStringList& words, qsizetype index, int fallback) {
    if (index >= words.size()) {
        return fallback;
    }
    bool ok = false;
    const int value = words[index].toInt(&ok, 10);
    return ok ? value : fallback;
}

// Clamped in 64 bits: a stored coordinate may be anywhere in the int range.
int clampInto(qint64 value, qint64 low, qint64 high) {
    return static_cast<int>(std::clamp(value, low, std::max(low, high)));
}

} // namespace

FormState::FormState(IniFileStore& store, QWidget* window) : m_store(store), m_window(window) {}

int FormState::pixelsPerInch() const {
    if (m_pixelsPerInch) {
        return m_pixelsPerInch();
    }
    return m_window->logicalDpiY();
}

bool FormState::minimized() const {
    if (m_minimized) {
        return m_minimized();
    }
    return m_window->isMinimized();
}

QRect FormState::workArea() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->availableGeometry() : QRect();
}

QPoint FormState::visibleFramePosition(QRect frame) {
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (primary == nullptr) {
        return frame.topLeft();
    }
    const auto screens = QGuiApplication::screens();
    const bool visible = std::any_of(screens.begin(), screens.end(), [&](const QScreen* screen) {
        return screen->availableGeometry().intersects(frame);
    });
    if (visible) {
        return frame.topLeft();
    }
    const QRect area = primary->availableGeometry();
    return {clampInto(frame.x(), area.left(), qint64(area.right()) - frame.width() + 1),
            clampInto(frame.y(), area.top(), qint64(area.bottom()) - frame.height() + 1)};
}

bool FormState::restore() {
    if (m_window == nullptr) {
        return false;
    }
    const IniFileSession session(m_store);
    m_restored = true;
    const int current = pixelsPerInch();
    if (m_store.readInteger(kSection, kPixelsPerInchKey, current) != current) {
        return false;
    }
    m_flags = m_store.readInteger(kSection, kFlagsKey, m_flags);
    const QString normalPos = m_store.readString(kSection, kNormalPosKey, QString()).trimmed();
    if (normalPos.isEmpty()) {
        return false;
    }
    applyPosition(normalPos);
    applyShowCommand(m_store.readInteger(kSection, kShowCmdKey, 0));
    return true;
}

void FormState::applyPosition(const QString& normalPos) {
    static const QRegularExpression separators(QStringLiteral("[, \\t]+"));
    const QStringList words = normalPos.split(separators, Qt::SkipEmptyParts);
    const QRect area = workArea();
    const QPoint current = m_window->pos() - area.topLeft();
    const qint64 left = qint64(area.x()) + wordOr(words, 0, current.x());
    const qint64 top = qint64(area.y()) + wordOr(words, 1, current.y());
    const QSize size = m_window->frameGeometry().size();
    // A frame far outside the int range is off every screen anyway; keep the rectangle valid.
    const QRect frame(QPoint(clampInto(left, kFarLow, kFarHigh), clampInto(top, kFarLow, kFarHigh)),
                      size);
    m_window->move(visibleFramePosition(frame));
}

void FormState::applyShowCommand(int showCommand) {
    const Qt::WindowStates normal =
        m_window->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized);
    if (showCommand == kShowMinimized || showCommand == kShowMinNoActive) {
        m_window->setWindowState(normal | Qt::WindowMinimized);
    } else if (showCommand == kShowMaximized) {
        m_window->setWindowState(normal | Qt::WindowMaximized);
    } else {
        m_window->setWindowState(normal);
    }
}

QRect FormState::normalFrame() const {
    const QRect client = m_window->geometry();
    const QRect frame = m_window->frameGeometry();
    const bool notNormal = m_window->windowState() &
                           (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen);
    const QRect normal = m_window->normalGeometry();
    if (!notNormal || !normal.isValid()) {
        return frame;
    }
    return normal.adjusted(frame.left() - client.left(), frame.top() - client.top(),
                           frame.right() - client.right(), frame.bottom() - client.bottom());
}

void FormState::save() {
    if (!m_restored || m_window == nullptr) {
        return;
    }
    const IniFileSession session(m_store);
    int showCommand = kShowNormal;
    if (minimized()) {
        showCommand = kShowMinimized;
    } else if (m_window->isMaximized()) {
        showCommand = kShowMaximized;
    }
    const QRect frame = normalFrame().translated(-workArea().topLeft());
    const QString normalPos = QStringLiteral("%1,%2,%3,%4")
                                  .arg(frame.left())
                                  .arg(frame.top())
                                  .arg(frame.left() + frame.width())
                                  .arg(frame.top() + frame.height());
    m_store.writeInteger(kSection, kFlagsKey, m_flags);
    m_store.writeInteger(kSection, kShowCmdKey, showCommand);
    m_store.writeString(kSection, kNormalPosKey, normalPos);
    m_store.writeInteger(kSection, kPixelsPerInchKey, pixelsPerInch());
    m_store.writeInteger(kSection, kColorKey, kButtonFaceColor);
    m_saved = true;
}

} // namespace thermavo
