#pragma once

#include "ui/regional.h"

#include <qcustomplot.h>

namespace thermavo {

// The history window's plot: QCustomPlot with the window's mouse: the wheel zooms time about the
// mouse and, with Ctrl, temperature; a left drag pans; a right drag, or a left drag with Shift,
// zooms to the rectangle drawn.
class HistoryPlot : public QCustomPlot {
    Q_OBJECT

public:
    explicit HistoryPlot(QWidget* parent = nullptr);

    // Axis labels: the time as the regional settings write it, the temperatures with their
    // decimal separator.
    void setRegionalSettings(const RegionalSettings& regional);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
};

// Qt's date and time pattern for the regional short date and hour format: the time over the date.
QString dateTimeAxisFormat(const RegionalSettings& regional);

} // namespace thermavo
