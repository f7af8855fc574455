#pragma once

#include <QColor>
#include <QWidget>

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
    QColor m_fillColor = QColor(0, 128, 0);
};

} // namespace thermavo
