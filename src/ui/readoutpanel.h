#pragma once

#include <QColor>
#include <QWidget>
#include <array>

namespace thermavo {

class NumericReadout;

// The window's 24 readouts, T1 to T8 each with its actual reading, sample and filtered sample,
// found by their names. Their texts are painted at the window's paced repaints.
class ReadoutPanel {
public:
    static constexpr int kChannels = 8;

    explicit ReadoutPanel(QWidget& window);

    // A reading of the channel; `counted` whether the interval has one to average.
    void showReading(int channel, float reading, bool counted);
    // The channel's sample and filtered sample at a tick; `valid` whether it had a sample.
    void showSample(int channel, float sample, float filtered, bool valid);
    // Every readout at zero, with no data.
    void clear();
    // The values set since the last repaint become their texts.
    void showPendingValues();

private:
    QColor colour(bool hasData) const;

    QWidget& m_window;
    std::array<NumericReadout*, kChannels> m_actual{};
    std::array<NumericReadout*, kChannels> m_sampled{};
    std::array<NumericReadout*, kChannels> m_filtered{};
};

} // namespace thermavo
