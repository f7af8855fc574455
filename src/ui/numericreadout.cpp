#include "ui/numericreadout.h"

#include "ui/readoutformat.h"
#include "ui/regionalqt.h"

#include <QApplication>
#include <QStyle>
#include <QStyleOptionFrame>

namespace thermavo {

namespace {

// The line edit's own inner margin of two pixels on either side, the pixel of its cursor, and
// one more: right alignment moves the text a pixel to the left, where the focus frame would
// touch it.
constexpr int kInnerMargins = 2 * 2 + 1 + 1;
constexpr int kSmallestPixelSize = 6;

} // namespace

NumericReadout::NumericReadout(QWidget* parent)
    : QLineEdit(parent),
      m_decimalSeparator(QString::fromStdString(systemRegionalSettings().decimalSeparator)) {
    setReadOnly(true);
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    showValue();
}

void NumericReadout::setValue(float value) {
    m_value = value;
    showValue();
}

QColor NumericReadout::backgroundColor() const {
    return palette().color(QPalette::Active, QPalette::Base);
}

void NumericReadout::setBackgroundColor(const QColor& color) {
    QPalette colours = palette();
    colours.setColor(QPalette::Base, color);
    setPalette(colours);
}

void NumericReadout::setDecimalSeparator(const QString& separator) {
    m_decimalSeparator = separator;
    showValue();
}

void NumericReadout::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    fitText();
}

void NumericReadout::showValue() {
    setText(QString::fromStdString(readoutText(m_value, m_decimalSeparator.toStdString())));
    fitText();
}

// Starts from the font the field would inherit, so a larger window font is still honoured.
// Steps whole pixels, which works for point-sized and pixel-sized fonts alike: the window's
// font is pixel-sized, so a point size would read -1.
void NumericReadout::fitText() {
    QStyleOptionFrame option;
    initStyleOption(&option);
    const int room = style()->subElementRect(QStyle::SE_LineEditContents, &option, this).width() -
                     textMargins().left() - textMargins().right() - kInnerMargins;
    QFont fitted = parentWidget() != nullptr ? parentWidget()->font() : QApplication::font();
    int pixelSize = QFontInfo(fitted).pixelSize();
    while (pixelSize > kSmallestPixelSize &&
           qRound(QFontMetricsF(fitted).horizontalAdvance(text())) > room) {
        fitted.setPixelSize(--pixelSize);
    }
    if (fitted != font()) {
        setFont(fitted);
    }
}

} // namespace thermavo
