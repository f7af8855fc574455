#include "ui/indicatorshape.h"

#include <QPainter>
#include <algorithm>

namespace thermavo {

// The indicator blinks with every reply. It fills its box with the button-face colour the
// chart it sits on is filled with, so that a blink repaints this box and not the whole chart.
IndicatorShape::IndicatorShape(QWidget* parent) : QWidget(parent) {
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
}

void IndicatorShape::setFillColor(const QColor& color) {
    if (color != m_fillColor) {
        m_fillColor = color;
        update();
    }
}

QSize IndicatorShape::sizeHint() const {
    return {kWidth, kHeight};
}

// The circle is drawn once for each of the two colours it blinks between and then copied: an
// antialiased ellipse costs many times a copy, and it is drawn anew for every reply.
void IndicatorShape::paintEvent(QPaintEvent*) {
    const qreal ratio = devicePixelRatioF();
    const QRgb colour = m_fillColor.rgba();
    auto picture = std::find_if(m_pictures.begin(), m_pictures.end(), [&](const Picture& kept) {
        return kept.colour == colour && kept.size == size() && kept.ratio == ratio;
    });
    if (picture == m_pictures.end()) {
        picture = m_pictures.begin() + m_nextPicture;
        m_nextPicture = (m_nextPicture + 1) % static_cast<int>(m_pictures.size());
        *picture = {colour, size(), ratio,
                    QImage((QSizeF(size()) * ratio).toSize(), QImage::Format_ARGB32_Premultiplied)};
        picture->image.setDevicePixelRatio(ratio);
        picture->image.fill(Qt::transparent);
        QPainter circlePainter(&picture->image);
        circlePainter.setRenderHint(QPainter::Antialiasing);
        circlePainter.setPen(Qt::NoPen);
        circlePainter.setBrush(m_fillColor);
        const qreal diameter = std::min(width(), height());
        circlePainter.drawEllipse(
            QRectF((width() - diameter) / 2.0, (height() - diameter) / 2.0, diameter, diameter));
    }
    QPainter painter(this);
    painter.drawImage(0, 0, picture->image);
}

} // namespace thermavo
