#include "ui/regionalqt.h"

#include <QLocale>
#include <QRegularExpression>

namespace thermavo {

namespace {

std::string utf8(const QString& text) {
    return text.toStdString();
}

// Qt short date patterns may spell the year or day with letters the program does not draw
// (dddd, MMMM); only the digit forms are kept.
std::string datePatternFrom(const QString& pattern) {
    QString result = pattern;
    result.replace(QRegularExpression(QStringLiteral("d{3,}")), QStringLiteral("dd"));
    result.replace(QRegularExpression(QStringLiteral("M{3,}")), QStringLiteral("MM"));
    result.replace(QRegularExpression(QStringLiteral("y{5,}")), QStringLiteral("yyyy"));
    return utf8(result);
}

} // namespace

RegionalSettings regionalSettingsFrom(const QLocale& locale) {
    RegionalSettings settings;
    settings.decimalSeparator = utf8(locale.decimalPoint());
    settings.thousandSeparator = utf8(locale.groupSeparator());
    settings.shortDatePattern = datePatternFrom(locale.dateFormat(QLocale::ShortFormat));
    settings.amDesignator = utf8(locale.amText());
    settings.pmDesignator = utf8(locale.pmText());

    const QString time = locale.timeFormat(QLocale::ShortFormat);
    const qsizetype hourAt = time.indexOf(QRegularExpression(QStringLiteral("[hH]")));
    const qsizetype minuteAt = time.indexOf(QLatin1Char('m'));
    const qsizetype designatorAt = time.indexOf(QRegularExpression(QStringLiteral("[aA][pP]?")));
    if (hourAt >= 0) {
        settings.hourLeadingZero =
            time.mid(hourAt, 2).size() == 2 && time[hourAt + 1] == time[hourAt];
        if (minuteAt > hourAt) {
            qsizetype separatorFrom = hourAt;
            while (separatorFrom < time.size() && time[separatorFrom] == time[hourAt])
                ++separatorFrom;
            const QString separator = time.mid(separatorFrom, minuteAt - separatorFrom).trimmed();
            if (!separator.isEmpty())
                settings.timeSeparator = utf8(separator);
        }
    }
    settings.twelveHour = designatorAt >= 0;
    settings.designatorFirst = settings.twelveHour && hourAt >= 0 && designatorAt < hourAt;
    return settings;
}

RegionalSettings systemRegionalSettings() {
    return regionalSettingsFrom(QLocale::system());
}

} // namespace thermavo
