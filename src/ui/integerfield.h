#pragma once

#include <QColor>
#include <QLineEdit>
#include <QString>
#include <climits>
#include <functional>

namespace thermavo {

// A signed 32-bit entry field with inclusive bounds and an input picture. The picture limits
// what can be typed, one character per place: "i" a digit or a minus sign, "9" a digit only.
// The range is checked only when the focus moves to another control of the window; an error
// is reported in a modal box and the focus comes back. Every property can be set from a form
// design, in any order.
class IntegerField : public QLineEdit {
    Q_OBJECT
    Q_PROPERTY(int lowerBound READ lowerBound WRITE setLowerBound)
    Q_PROPERTY(int upperBound READ upperBound WRITE setUpperBound)
    Q_PROPERTY(QString picture READ picture WRITE setPicture)
    Q_PROPERTY(QColor backgroundColor READ backgroundColor WRITE setBackgroundColor)
    Q_PROPERTY(int value READ value WRITE setValue USER true)

public:
    // Shows an entry error to the user and returns once it has been acknowledged.
    using ErrorReporter = std::function<void(IntegerField& field, const QString& message)>;

    static constexpr const char* kRangeError = "Value is not within required range";
    static constexpr const char* kInvalidError = "Value is not valid for this field type";

    explicit IntegerField(QWidget* parent = nullptr);

    int lowerBound() const { return m_lowerBound; }
    void setLowerBound(int bound);
    int upperBound() const { return m_upperBound; }
    void setUpperBound(int bound);
    QString picture() const { return m_picture; }
    void setPicture(const QString& picture);

    // The number shown, or 0 while the text is empty, no number or outside the bounds.
    int value() const;
    void setValue(int value);

    // A step as the user makes it with a spin button: held within the bounds, and a real change
    // of the value emits userChanged.
    void step(int delta);

    QColor backgroundColor() const;
    void setBackgroundColor(const QColor& color);

    // The default reporter shows a modal error box captioned "Error" with one OK button.
    void setErrorReporter(ErrorReporter reporter);

    // The error the current text would raise on leaving the field, or an empty text.
    QString entryError() const;

signals:
    // The user changed the text by typing, or by a step.
    void userChanged();

protected:
    void focusOutEvent(QFocusEvent* event) override;

private:
    void applyStartValue();
    bool isRealMoveAway(const QFocusEvent& event) const;

    int m_lowerBound = INT_MIN;
    int m_upperBound = INT_MAX;
    QString m_picture = QStringLiteral("iiiiiiiiiii");
    // Until a value is set, the start value follows the bounds, which a form design may set in
    // either order.
    bool m_valueSet = false;
    ErrorReporter m_reportError;
};

} // namespace thermavo
