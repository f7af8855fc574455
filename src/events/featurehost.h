#pragma once

#include "ui/regional.h"

#include <QDateTime>
#include <QMessageBox>
#include <QString>
#include <functional>

class QStatusBar;
class QWidget;

namespace thermavo {

class RunPublisher;

// What the main window lends the features around it: its events, a parent for their
// windows, the status bar for texts of their own, the strip chart whose context menu opens their
// windows, and the clocks, regional settings and folders they must not read for themselves.
struct FeatureHost {
    RunPublisher* events = nullptr;
    QWidget* window = nullptr;
    QStatusBar* statusBar = nullptr;
    // Features add their actions to it: its context menu lists them, and their shortcuts work
    // wherever the main window is active.
    QWidget* chart = nullptr;
    std::function<QDateTime()> now;
    std::function<RegionalSettings()> regionalSettings;
    std::function<void(QMessageBox::Icon icon, const QString& caption, const QString& text)>
        showMessage;
    // The window's default error report, for a failure no handler expects.
    std::function<void(const QString& message)> reportError;
    // The settings file; features keep sections of their own in it, never the window's.
    QString settingsFile;
    // Where features keep their data (the run store, the alarm log by default).
    QString dataFolder;
};

} // namespace thermavo
