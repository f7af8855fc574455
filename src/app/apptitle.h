#pragma once

#include <QString>

// The program's title: the task-bar caption and the caption of the default error report.
inline const QString kApplicationTitle = QStringLiteral("Thermavo");

// The text of the default error report: the message, with a full stop added when its last
// character sorts after one.
inline QString defaultErrorReportText(const QString& message) {
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}
