#include "ui/indicatorshape.h"

#include <QPainter>
#include <algorithm>

namespace thermavo {

IndicatorShape::IndicatorShape(QWidget* parent) : QWidget(parent) {}

void IndicatorShape::setFillColor(const QColor& color) {
    if (color != m_fillColor) {
        m_fillColor = color;
        update();
    }
}

QSize IndicatorShape::sizeHint() const {
    return {kWidth, kHeight};
}

void IndicatorShape::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_fillColor);
    const qreal diameter = std::min(width(), height());
    painter.drawEllipse(
        QRectF((width() - diameter) / 2.0, (height() - diameter) / 2.0, diameter, diameter));
}

} // namespace thermavo
