#pragma once

#include <QString>

// The program's title: the task-bar caption and the caption of the default error report.
inline const QString kApplicationTitle = QStringLiteral("Thermavo");
