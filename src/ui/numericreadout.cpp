#include "ui/numericreadout.h"

#include "ui/readoutformat.h"
#include "ui/regionalqt.h"

#include <QApplication>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleOptionFrame>

namespace thermavo {

namespace {

// The line edit's own inner margin of two pixels on either side, the pixel of its cursor, and
// one more: right alignment moves the text a pixel to the left, where the focus frame would
// touch it.
constexpr int kInnerMargins = 2 * 2 + 1 + 1;
constexpr int kSmallestPixelSize = 6;

// The application's style, except that a line edit's panel is left to the readout, which
// draws it from a picture.
class ReadoutStyle : public QProxyStyle {
public:
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element != PE_PanelLineEdit) {
            QProxyStyle::drawPrimitive(element, option, painter, widget);
        }
    }
};

// One style for all readouts; it lives as long as the application.
ReadoutStyle* readoutStyle() {
    static QPointer<ReadoutStyle> style;
    if (style == nullptr) {
        style = new ReadoutStyle;
        style->setParent(QCoreApplication::instance());
    }
    return style;
}

// The text with its digits replaced by the font's widest: every text of one pattern (sign,
// digit count, separator) fits where this one fits.
QString widestOfPattern(const std::string& text, const QFontMetricsF& metrics) {
    QChar widest = QLatin1Char('0');
    for (char digit = '1'; digit <= '9'; ++digit) {
        if (metrics.horizontalAdvance(QLatin1Char(digit)) > metrics.horizontalAdvance(widest)) {
            widest = QLatin1Char(digit);
        }
    }
    QString widened = QString::fromStdString(text);
    for (QChar& character : widened) {
        if (character.isDigit()) {
            character = widest;
        }
    }
    return widened;
}

std::string patternOf(std::string text) {
    for (char& character : text) {
        if (character >= '0' && character <= '9') {
            character = '0';
        }
    }
    return text;
}

} // namespace

NumericReadout::NumericReadout(QWidget* parent)
    : QLineEdit(parent), m_separatorText(systemRegionalSettings().decimalSeparator),
      m_decimalSeparator(QString::fromStdString(m_separatorText)) {
    setReadOnly(true);
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setStyle(readoutStyle());
    // The readout paints every pixel of its box, corners included, so a new text repaints the
    // readout alone and not the group box and label beneath it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    showValue();
}

void NumericReadout::setValue(float value) {
    m_value = value;
    if (!m_deferred || !isVisible()) {
        showValue();
        return;
    }
    if (!m_pending && readoutText(m_value, m_separatorText) != m_shownText) {
        m_pending = true;
        update();
    }
}

void NumericReadout::setDeferredText(bool deferred) {
    m_deferred = deferred;
    if (!deferred)
        showPendingValue();
}

void NumericReadout::showPendingValue() {
    if (!m_pending)
        return;
    m_pending = false;
    showValue();
}

QColor NumericReadout::backgroundColor() const {
    return palette().color(QPalette::Active, QPalette::Base);
}

// Readouts are coloured on every reply and tick, mostly with the colour they already have; a
// new palette would be spread to the widget and repaint it each time.
void NumericReadout::setBackgroundColor(const QColor& color) {
    if (color == backgroundColor()) {
        return;
    }
    QPalette colours = palette();
    colours.setColor(QPalette::Base, color);
    setPalette(colours);
}

void NumericReadout::setDecimalSeparator(const QString& separator) {
    m_decimalSeparator = separator;
    m_separatorText = separator.toStdString();
    showValue();
}

// The panel (what lies beneath, the background and the antialiased frame) looks the same until
// the size, the state or a colour changes, and drawing it was two thirds of a repaint: it is
// kept as a picture. The line edit then draws the text over it.
void NumericReadout::paintEvent(QPaintEvent* event) {
    // Painted on its own (a grab, an exposure) rather than with the window: the latest value
    // all the same.
    showPendingValue();
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QWidget* beneath = parentWidget() != nullptr ? parentWidget() : this;
    const QBrush background = beneath->palette().brush(beneath->backgroundRole());
    const PanelKey key{option.rect.size(), option.state, palette().cacheKey(),
                       background.color().rgba(), devicePixelRatioF()};
    if (key != m_panelKey) {
        m_panelKey = key;
        // In the backing store's own format, so the antialiased corners blend as they would
        // when drawn in place.
        m_panel =
            QImage((QSizeF(key.size) * key.ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
        m_panel.setDevicePixelRatio(key.ratio);
        QPainter panelPainter(&m_panel);
        panelPainter.fillRect(option.rect, background);
        readoutStyle()->baseStyle()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &panelPainter,
                                                   this);
    }
    {
        QPainter painter(this);
        painter.drawImage(0, 0, m_panel);
    }
    QLineEdit::paintEvent(event);
}

void NumericReadout::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    m_fitValid = false;
    fitText();
}

void NumericReadout::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    // A new style may change the room; a new inherited font is noticed by the fit itself.
    if (event->type() == QEvent::StyleChange) {
        m_fitValid = false;
    }
    if (event->type() == QEvent::StyleChange || event->type() == QEvent::FontChange) {
        fitText();
    }
}

// The actual readouts are set on every reply, and their text rarely changes from one reply to
// the next: only a new text is laid out, fitted and drawn.
void NumericReadout::showValue() {
    std::string shown = readoutText(m_value, m_separatorText);
    if (shown == m_shownText) {
        return;
    }
    m_shownText = std::move(shown);
    setText(QString::fromStdString(m_shownText));
    fitText();
}

// Starts from the font the field would inherit, so a larger window font is still honoured.
// Steps whole pixels, which works for point-sized and pixel-sized fonts alike: the window's
// font is pixel-sized, so a point size would read -1. The font is fitted once per pattern of
// the text, not for every value.
void NumericReadout::fitText() {
    const QFont inherited =
        parentWidget() != nullptr ? parentWidget()->font() : QApplication::font();
    std::string pattern = patternOf(m_shownText);
    if (m_fitValid && pattern == m_fittedPattern && inherited == m_fittedFrom) {
        return;
    }
    m_fitValid = true;
    m_fittedPattern = std::move(pattern);
    m_fittedFrom = inherited;

    QStyleOptionFrame option;
    initStyleOption(&option);
    const int room = style()->subElementRect(QStyle::SE_LineEditContents, &option, this).width() -
                     textMargins().left() - textMargins().right() - kInnerMargins;
    QFont fitted = inherited;
    int pixelSize = QFontInfo(fitted).pixelSize();
    while (pixelSize > kSmallestPixelSize) {
        const QFontMetricsF metrics(fitted);
        if (qRound(metrics.horizontalAdvance(widestOfPattern(m_shownText, metrics))) <= room) {
            break;
        }
        fitted.setPixelSize(--pixelSize);
    }
    if (fitted != font()) {
        setFont(fitted);
    }
}

} // namespace thermavo
