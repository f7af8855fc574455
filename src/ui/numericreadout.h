#pragma once

#include <QColor>
#include <QLineEdit>
#include <QString>

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

    QColor backgroundColor() const;
    void setBackgroundColor(const QColor& color);

    QString decimalSeparator() const { return m_decimalSeparator; }
    void setDecimalSeparator(const QString& separator);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void showValue();
    void fitText();

    float m_value = 0.0F;
    QString m_decimalSeparator = QStringLiteral(".");
};

} // namespace thermavo
