#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>
#include <array>

namespace thermavo {

// A filled circle without outline, as wide as the box is high, centred in its box.
class IndicatorShape : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor fillColor READ fillColor WRITE setFillColor)

public:
    static constexpr int kWidth = 25;
    static constexpr int kHeight = 21;

    explicit IndicatorShape(QWidget* parent = nullptr);

    QColor fillColor() const { return m_fillColor; }
    void setFillColor(const QColor& color);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // A drawn circle of one colour.
    struct Picture {
        QRgb colour = 0;
        QSize size;
        qreal ratio = 0.0;
        QImage image;
    };

    QColor m_fillColor = QColor(0, 128, 0);
    std::array<Picture, 2> m_pictures;
    int m_nextPicture = 0;
};

} // namespace thermavo
