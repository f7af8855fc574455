#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QLineEdit>
#include <QString>
#include <QStyle>
#include <string>

namespace thermavo {

// A read-only field that shows a single-precision value through the picture "###.##",
// right-aligned, with the user's decimal separator. It can take the focus, so its text can be
// selected and copied. A text wider than the field is drawn in a smaller font rather than cut,
// so that 150.00 never reads as 50.00.
class NumericReadout : public QLineEdit {
    Q_OBJECT
    Q_PROPERTY(float value READ value WRITE setValue)
    Q_PROPERTY(QColor backgroundColor READ backgroundColor WRITE setBackgroundColor)
    Q_PROPERTY(QString decimalSeparator READ decimalSeparator WRITE setDecimalSeparator)

public:
    // The decimal separator is read from the system's regional settings.
    explicit NumericReadout(QWidget* parent = nullptr);

    float value() const { return m_value; }
    void setValue(float value);

    // While the readout is shown, a deferred readout lays out the text of a new value only when
    // the window is about to be repainted (showPendingValue) or the readout is painted, once
    // however often the value changed meanwhile; value() is always the latest.
    void setDeferredText(bool deferred);
    void showPendingValue();

    QColor backgroundColor() const;
    void setBackgroundColor(const QColor& color);

    QString decimalSeparator() const { return m_decimalSeparator; }
    void setDecimalSeparator(const QString& separator);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void showValue();
    void fitText();

    // What the panel picture was drawn for.
    struct PanelKey {
        QSize size;
        QStyle::State state;
        qint64 palette = 0;
        QRgb beneath = 0;
        qreal ratio = 0.0;
        bool operator==(const PanelKey&) const = default;
    };

    float m_value = 0.0F;
    bool m_deferred = false;
    bool m_pending = false;
    std::string m_separatorText;
    QString m_decimalSeparator;
    std::string m_shownText;
    // The pattern of the text and the inherited font the font was last fitted for.
    bool m_fitValid = false;
    std::string m_fittedPattern;
    QFont m_fittedFrom;
    PanelKey m_panelKey;
    QImage m_panel;
};

} // namespace thermavo
