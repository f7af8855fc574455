#include "ui/regionalqt.h"

#include <QLocale>
#include <algorithm>
#include <vector>

namespace thermavo {

namespace {

// One piece of a Qt date or time pattern: a run of one letter, or literal text with its quotes
// taken off.
struct PatternPart {
    QChar letter;
    qsizetype count = 0;
    QString text;
};

bool isPatternLetter(QChar c) {
    return c.isLetter() && c.unicode() < 0x80;
}

// Splits a pattern the way Qt reads it: letters outside quotes are pattern letters, text in
// single quotes is literal ('' is a quote, inside quotes or out), and so is everything else.
std::vector<PatternPart> patternParts(const QString& pattern) {
    std::vector<PatternPart> parts;
    auto literal = [&parts](QChar c) {
        if (parts.empty() || !parts.back().letter.isNull()) {
            parts.emplace_back();
        }
        parts.back().text += c;
    };
    const QChar quote = QLatin1Char('\'');
    qsizetype i = 0;
    while (i < pattern.size()) {
        const QChar c = pattern[i];
        if (c == quote) {
            ++i;
            if (i < pattern.size() && pattern[i] == quote) {
                literal(quote);
                ++i;
                continue;
            }
            while (i < pattern.size()) {
                if (pattern[i] == quote) {
                    if (i + 1 < pattern.size() && pattern[i + 1] == quote) {
                        literal(quote);
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                literal(pattern[i++]);
            }
        } else if (isPatternLetter(c)) {
            qsizetype end = i;
            while (end < pattern.size() && pattern[end] == c) {
                ++end;
            }
            parts.push_back({c, end - i, {}});
            i = end;
        } else {
            literal(c);
            ++i;
        }
    }
    return parts;
}

// Direction marks and other format characters only steer how text is shown; in a log field
// they would keep a spreadsheet from reading the date.
QString withoutFormatCharacters(QString text) {
    text.removeIf([](QChar c) { return c.category() == QChar::Other_Format; });
    return text;
}

std::string utf8(const QString& text) {
    return text.toStdString();
}

// Literal text in the date pattern grammar of the log: pattern letters in quotes, a quote as ''.
QString quotedLiteral(const QString& text) {
    QString result;
    bool inQuotes = false;
    for (const QChar c : text) {
        if (isPatternLetter(c) != inQuotes) {
            result += QLatin1Char('\'');
            inQuotes = !inQuotes;
        }
        result += c == QLatin1Char('\'') ? QStringLiteral("''") : QString(c);
    }
    if (inQuotes) {
        result += QLatin1Char('\'');
    }
    return result;
}

// The short date in the letters the log draws: Qt's day and month names (ddd, MMM and longer)
// become numbers.
std::string datePatternFrom(const QString& pattern) {
    QString result;
    for (const PatternPart& part : patternParts(pattern)) {
        if (part.letter.isNull()) {
            result += quotedLiteral(withoutFormatCharacters(part.text));
            continue;
        }
        qsizetype count = part.count;
        if (part.letter == QLatin1Char('d') || part.letter == QLatin1Char('M')) {
            count = std::min<qsizetype>(count, 2);
        } else if (part.letter == QLatin1Char('y')) {
            count = std::min<qsizetype>(count, 4);
        }
        result += QString(count, part.letter);
    }
    return utf8(result);
}

bool isHourLetter(QChar c) {
    return c == QLatin1Char('h') || c == QLatin1Char('H');
}

bool isDesignatorLetter(QChar c) {
    return c == QLatin1Char('a') || c == QLatin1Char('A');
}

void readTimePattern(const QString& pattern, RegionalSettings& settings) {
    const std::vector<PatternPart> parts = patternParts(pattern);
    const auto hour = std::find_if(parts.begin(), parts.end(), [](const PatternPart& part) {
        return isHourLetter(part.letter);
    });
    if (hour == parts.end()) {
        return;
    }
    const auto minute = std::find_if(
        hour, parts.end(), [](const PatternPart& part) { return part.letter == QLatin1Char('m'); });
    QString separator;
    for (auto part = hour + 1; part < minute; ++part) {
        separator += part->letter.isNull() ? part->text : QString(part->count, part->letter);
    }
    separator = withoutFormatCharacters(separator).trimmed();
    // Words such as French "h" between hour and minute would keep a spreadsheet from reading
    // the time.
    const bool usable = !separator.isEmpty() && std::none_of(separator.begin(), separator.end(),
                                                             [](QChar c) { return c.isLetter(); });
    settings.timeSeparator = usable ? utf8(separator) : ":";
    settings.hourLeadingZero = hour->count >= 2;

    // H counts to 23 even where a designator is shown.
    const auto designator = std::find_if(parts.begin(), parts.end(), [](const PatternPart& part) {
        return isDesignatorLetter(part.letter);
    });
    settings.twelveHour = designator != parts.end() && hour->letter == QLatin1Char('h');
    settings.designatorFirst = settings.twelveHour && designator < hour;
}

} // namespace

RegionalSettings regionalSettingsFrom(const QLocale& locale) {
    RegionalSettings settings;
    // Numbers are always written with the digits 0 to 9. A locale with other digits (Arabic)
    // has a separator that belongs to those digits, and the same locale writes "." with 0 to 9.
    const QString decimal = locale.decimalPoint();
    const bool asciiDecimal = decimal.size() == 1 && decimal[0].unicode() < 0x80;
    settings.decimalSeparator = asciiDecimal ? utf8(decimal) : ".";
    settings.thousandSeparator = utf8(locale.groupSeparator());
    settings.shortDatePattern = datePatternFrom(locale.dateFormat(QLocale::ShortFormat));
    settings.amDesignator = utf8(withoutFormatCharacters(locale.amText()));
    settings.pmDesignator = utf8(withoutFormatCharacters(locale.pmText()));
    // Records carry seconds: the long time format is the one that shows them.
    readTimePattern(locale.timeFormat(QLocale::LongFormat), settings);
    return settings;
}

RegionalSettings systemRegionalSettings() {
    return regionalSettingsFrom(QLocale::system());
}

} // namespace thermavo
