#include "ui/filterslider.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionSlider>

namespace thermavo {

FilterSlider::FilterSlider(QWidget* parent) : QSlider(Qt::Vertical, parent) {
    setRange(kDefaultMinimum, kDefaultMaximum);
    setSingleStep(1);
    setPageStep(1);
    setValue(kDefaultMinimum);
}

void FilterSlider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    const QRect handle = handleRect();
    const QPoint at = event->position().toPoint();
    if (handle.contains(at)) {
        QSlider::mousePressEvent(event);
        return;
    }
    event->accept();
    // The style may ask for a jump to the clicked place; a click here only ever steps.
    const bool towardsMaximum =
        orientation() == Qt::Vertical
            ? (at.y() < handle.top()) != invertedAppearance()
            : (at.x() > handle.right()) != (invertedAppearance() != isRightToLeft());
    triggerAction(towardsMaximum ? SliderSingleStepAdd : SliderSingleStepSub);
}

void FilterSlider::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Plus:
        triggerAction(SliderSingleStepAdd);
        break;
    case Qt::Key_Minus:
        triggerAction(SliderSingleStepSub);
        break;
    default:
        QSlider::keyPressEvent(event);
        return;
    }
    event->accept();
}

QRect FilterSlider::handleRect() const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    return style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
}

} // namespace thermavo
