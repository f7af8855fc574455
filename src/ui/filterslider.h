#pragma once

#include <QSlider>

namespace thermavo {

// A vertical slider with its minimum at the bottom. Dragging the handle sets the position; a
// click beside the handle moves one step towards the click, never to the clicked place; Up,
// Down, "+" and "-" step by one, Home and End go to the ends.
class FilterSlider : public QSlider {
    Q_OBJECT

public:
    static constexpr int kDefaultMinimum = 1;
    static constexpr int kDefaultMaximum = 99;

    explicit FilterSlider(QWidget* parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QRect handleRect() const;
};

} // namespace thermavo
