#include "ui/spinbutton.h"

#include "ui/integerfield.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QTimer>
#include <algorithm>

namespace thermavo {

namespace {

constexpr int kSecondStepDelayMs = 200;
constexpr int kDelayDecreaseMs = 10;

class TimerScheduler : public SpinButton::Scheduler {
public:
    TimerScheduler() {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (m_due) {
                m_due();
            }
        });
    }

    void start(int delayMs, std::function<void()> due) override {
        m_due = std::move(due);
        m_timer.start(delayMs);
    }

    void stop() override { m_timer.stop(); }

private:
    QTimer m_timer;
    std::function<void()> m_due;
};

} // namespace

int repeatDelayMs(int stepIndex) {
    if (stepIndex <= 0) {
        return 0;
    }
    return std::max(0, kSecondStepDelayMs - kDelayDecreaseMs * (stepIndex - 1));
}

SpinButton::SpinButton(QWidget* parent)
    : QWidget(parent), m_scheduler(std::make_unique<TimerScheduler>()) {
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

SpinButton::~SpinButton() = default;

void SpinButton::setField(const QString& objectName) {
    m_fieldName = objectName;
    m_field = nullptr;
}

void SpinButton::setFieldWidget(IntegerField* field) {
    m_fieldName = field != nullptr ? field->objectName() : QString();
    m_field = field;
}

void SpinButton::setScheduler(std::unique_ptr<Scheduler> scheduler) {
    release();
    m_scheduler = scheduler ? std::move(scheduler) : std::make_unique<TimerScheduler>();
}

QSize SpinButton::sizeHint() const {
    return {kWidth, kHeight};
}

void SpinButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const auto drawArrow = [&](const QRect& area, int direction, QStyle::PrimitiveElement arrow) {
        QStyleOption option;
        option.initFrom(this);
        option.rect = area;
        option.state |= QStyle::State_Raised;
        if (m_heldDirection == direction) {
            option.state |= QStyle::State_Sunken;
        }
        style()->drawPrimitive(QStyle::PE_PanelButtonBevel, &option, &painter, this);
        option.rect = area.adjusted(2, 1, -2, -1);
        style()->drawPrimitive(arrow, &option, &painter, this);
    };
    drawArrow(upperArrow(), +1, QStyle::PE_IndicatorArrowUp);
    drawArrow(lowerArrow(), -1, QStyle::PE_IndicatorArrowDown);
}

void SpinButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || m_heldDirection != 0) {
        event->ignore();
        return;
    }
    event->accept();
    IntegerField* target = resolveField();
    if (target == nullptr || !target->isEnabled() || target->isReadOnly()) {
        return;
    }
    if (!target->hasFocus()) {
        target->setFocus(Qt::MouseFocusReason);
        // The control being left may have reported an entry error and taken the focus back.
        if (!target->hasFocus()) {
            return;
        }
    }
    m_heldDirection = upperArrow().contains(event->position().toPoint()) ? +1 : -1;
    m_stepIndex = 0;
    update();
    repeatStep();
}

void SpinButton::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    release();
}

void SpinButton::hideEvent(QHideEvent* event) {
    release();
    QWidget::hideEvent(event);
}

void SpinButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange && !isEnabled()) {
        release();
    }
    QWidget::changeEvent(event);
}

IntegerField* SpinButton::resolveField() {
    if (m_field == nullptr && !m_fieldName.isEmpty()) {
        m_field = window()->findChild<IntegerField*>(m_fieldName);
    }
    return m_field;
}

void SpinButton::repeatStep() {
    if (m_heldDirection == 0 || m_field == nullptr || !m_field->isEnabled()) {
        release();
        return;
    }
    m_field->step(m_heldDirection);
    // The field's change handler may have ended the hold, for instance by disabling this button.
    if (m_heldDirection == 0) {
        return;
    }
    ++m_stepIndex;
    m_scheduler->start(repeatDelayMs(m_stepIndex), [this] { repeatStep(); });
}

void SpinButton::release() {
    m_scheduler->stop();
    if (m_heldDirection != 0) {
        m_heldDirection = 0;
        update();
    }
}

QRect SpinButton::upperArrow() const {
    return {0, 0, width(), height() / 2};
}

QRect SpinButton::lowerArrow() const {
    return {0, height() / 2, width(), height() - height() / 2};
}

} // namespace thermavo
