#include "ui/readoutpanel.h"

#include "ui/numericreadout.h"

namespace thermavo {

ReadoutPanel::ReadoutPanel(QWidget& window) : m_window(window) {
    for (int channel = 0; channel < kChannels; ++channel) {
        const QString name = QStringLiteral("T%1%2Field").arg(channel + 1);
        const auto index = static_cast<std::size_t>(channel);
        m_actual[index] = window.findChild<NumericReadout*>(name.arg(QStringLiteral("Actual")));
        m_sampled[index] = window.findChild<NumericReadout*>(name.arg(QStringLiteral("Sampled")));
        m_filtered[index] = window.findChild<NumericReadout*>(name.arg(QStringLiteral("Filtered")));
        for (NumericReadout* readout : {m_actual[index], m_sampled[index], m_filtered[index]})
            readout->setDeferredText(true);
    }
}

// The window's colour while a readout holds data of the current interval or tick, the button
// face's while it holds none.
QColor ReadoutPanel::colour(bool hasData) const {
    return m_window.palette().color(hasData ? QPalette::Base : QPalette::Button);
}

void ReadoutPanel::showReading(int channel, float reading, bool counted) {
    NumericReadout& readout = *m_actual[static_cast<std::size_t>(channel)];
    readout.setValue(reading);
    readout.setBackgroundColor(colour(counted));
}

void ReadoutPanel::showSample(int channel, float sample, float filtered, bool valid) {
    const auto index = static_cast<std::size_t>(channel);
    m_sampled[index]->setValue(sample);
    m_sampled[index]->setBackgroundColor(colour(valid));
    m_filtered[index]->setValue(filtered);
    m_filtered[index]->setBackgroundColor(colour(valid));
}

void ReadoutPanel::clear() {
    for (std::size_t index = 0; index < kChannels; ++index) {
        for (NumericReadout* readout : {m_actual[index], m_sampled[index], m_filtered[index]}) {
            readout->setValue(0.0f);
            readout->setBackgroundColor(colour(false));
        }
    }
}

void ReadoutPanel::showPendingValues() {
    for (std::size_t index = 0; index < kChannels; ++index) {
        for (NumericReadout* readout : {m_actual[index], m_sampled[index], m_filtered[index]})
            readout->showPendingValue();
    }
}

} // namespace thermavo
