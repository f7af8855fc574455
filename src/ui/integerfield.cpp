#include "ui/integerfield.h"

#include <QApplication>
#include <QFocusEvent>
#include <QMessageBox>
#include <QPointer>
#include <QValidator>
#include <algorithm>
#include <cstdint>
#include <optional>

namespace thermavo {

namespace {

// Larger than any text of 11 places can hold, so a saturated number still reads as out of range.
constexpr std::int64_t kNumberCap = std::int64_t{1} << 40;

// Set while an entry error is on screen and the focus is being put back. The box and the
// return of the focus move the focus again; without this the field being left next would
// report as well, and two invalid fields would hand the focus back and forth forever.
bool reportingEntryError = false;

class ReportingGuard {
public:
    ReportingGuard() { reportingEntryError = true; }
    ~ReportingGuard() { reportingEntryError = false; }
    ReportingGuard(const ReportingGuard&) = delete;
    ReportingGuard& operator=(const ReportingGuard&) = delete;
};

// A whole number: an optional minus sign and at least one digit, nothing else.
std::optional<std::int64_t> parseWholeNumber(const QString& text) {
    qsizetype at = 0;
    const bool negative = text.startsWith(QLatin1Char('-'));
    if (negative) {
        at = 1;
    }
    if (at == text.size()) {
        return std::nullopt;
    }
    std::int64_t magnitude = 0;
    for (; at < text.size(); ++at) {
        const QChar c = text[at];
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return std::nullopt;
        }
        magnitude = std::min(kNumberCap, magnitude * 10 + (c.unicode() - '0'));
    }
    return negative ? -magnitude : magnitude;
}

int startValue(int lower, int upper) {
    return lower <= 0 && upper >= 0 ? 0 : lower;
}

int clampToBounds(std::int64_t value, int lower, int upper) {
    return static_cast<int>(std::max<std::int64_t>(lower, std::min<std::int64_t>(upper, value)));
}

// Limits the characters and their number to the field's picture; the range is left to the
// check on leaving the field, so intermediate texts such as "-" can be typed.
class PictureValidator : public QValidator {
public:
    explicit PictureValidator(IntegerField* field) : QValidator(field), m_field(field) {}

    State validate(QString& input, int&) const override {
        const QString picture = m_field->picture();
        if (input.size() > picture.size()) {
            return Invalid;
        }
        for (qsizetype i = 0; i < input.size(); ++i) {
            const QChar c = input[i];
            const bool digit = c >= QLatin1Char('0') && c <= QLatin1Char('9');
            const bool allowed = picture[i] == QLatin1Char('9')   ? digit
                                 : picture[i] == QLatin1Char('i') ? digit || c == QLatin1Char('-')
                                                                  : false;
            if (!allowed) {
                return Invalid;
            }
        }
        return Acceptable;
    }

private:
    IntegerField* m_field = nullptr;
};

void showErrorBox(IntegerField& field, const QString& message) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), message, QMessageBox::Ok,
                    field.window());
    box.exec();
}

} // namespace

IntegerField::IntegerField(QWidget* parent) : QLineEdit(parent), m_reportError(showErrorBox) {
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setValidator(new PictureValidator(this));
    // A disabled field keeps its background and only greys its text.
    QPalette colours = palette();
    colours.setColor(QPalette::Disabled, QPalette::Base,
                     colours.color(QPalette::Active, QPalette::Base));
    setPalette(colours);
    connect(this, &QLineEdit::textEdited, this, &IntegerField::userChanged);
    applyStartValue();
}

void IntegerField::setLowerBound(int bound) {
    m_lowerBound = bound;
    applyStartValue();
}

void IntegerField::setUpperBound(int bound) {
    m_upperBound = bound;
    applyStartValue();
}

void IntegerField::setPicture(const QString& picture) {
    m_picture = picture;
}

int IntegerField::value() const {
    const auto number = parseWholeNumber(text());
    if (!number || *number < m_lowerBound || *number > m_upperBound) {
        return 0;
    }
    return static_cast<int>(*number);
}

void IntegerField::setValue(int value) {
    m_valueSet = true;
    setText(QString::number(value));
}

void IntegerField::step(int delta) {
    const QString stepped =
        QString::number(clampToBounds(std::int64_t{value()} + delta, m_lowerBound, m_upperBound));
    m_valueSet = true;
    if (stepped != text()) {
        setText(stepped);
        emit userChanged();
    }
}

QColor IntegerField::backgroundColor() const {
    return palette().color(QPalette::Active, QPalette::Base);
}

void IntegerField::setBackgroundColor(const QColor& color) {
    QPalette colours = palette();
    colours.setColor(QPalette::Base, color);
    setPalette(colours);
}

void IntegerField::setErrorReporter(ErrorReporter reporter) {
    m_reportError = reporter ? std::move(reporter) : ErrorReporter(showErrorBox);
}

QString IntegerField::entryError() const {
    if (text().isEmpty()) {
        return QString::fromLatin1(kRangeError);
    }
    const auto number = parseWholeNumber(text());
    if (!number) {
        return QString::fromLatin1(kInvalidError);
    }
    if (*number < m_lowerBound || *number > m_upperBound) {
        return QString::fromLatin1(kRangeError);
    }
    return {};
}

void IntegerField::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    if (reportingEntryError || isReadOnly() || !isEnabled() || !isVisible() ||
        !isRealMoveAway(*event)) {
        return;
    }
    const QString error = entryError();
    if (error.isEmpty()) {
        return;
    }
    const ReportingGuard guard;
    QPointer<IntegerField> self(this);
    m_reportError(*this, error);
    if (self && self->isEnabled() && self->isVisible()) {
        self->setFocus(Qt::OtherFocusReason);
    }
}

void IntegerField::applyStartValue() {
    if (!m_valueSet) {
        setText(QString::number(startValue(m_lowerBound, m_upperBound)));
    }
}

// Only a move to another control of the same window is a leave; a popup, a menu, another
// window becoming active, or the field being hidden or disabled (no focus widget) is not.
bool IntegerField::isRealMoveAway(const QFocusEvent& event) const {
    switch (event.reason()) {
    case Qt::MouseFocusReason:
    case Qt::TabFocusReason:
    case Qt::BacktabFocusReason:
    case Qt::ShortcutFocusReason:
    case Qt::OtherFocusReason:
        break;
    default:
        return false;
    }
    const QWidget* next = QApplication::focusWidget();
    return next != nullptr && next != this && next->window() == window();
}

} // namespace thermavo
