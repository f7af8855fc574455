#pragma once

#include <QPointer>
#include <QRect>
#include <QString>
#include <functional>

class QWidget;

namespace thermavo {

class IniFileStore;

// The main window's position and show state in the settings file, section "TMainForm". The
// stored rectangle is the window frame relative to the primary screen's work area, whichever
// screen the window is on, as Windows stores a window's placement.
class FormState {
public:
    static constexpr const char* kSection = "TMainForm";
    static constexpr int kShowNormal = 1;
    static constexpr int kShowMinimized = 2;
    static constexpr int kShowMaximized = 3;
    static constexpr int kShowMinNoActive = 6;
    // The system button-face colour of the window's background, as the file stores it.
    static constexpr int kButtonFaceColor = -16777201;

    FormState(IniFileStore& store, QWidget* window);

    // Call once on the window before it is first shown. True when a stored position was applied:
    // the window must then not be centred. A stored minimised or maximised state is set on the
    // window, so that show() honours it.
    bool restore();
    // Does nothing before restore() has run. Throws ProfileWriteError, leaving saved() false.
    void save();

    bool restored() const { return m_restored; }
    bool saved() const { return m_saved; }

    // Defaults: the window's logical dots per inch; whether the window is minimised.
    void setPixelsPerInchSource(std::function<int()> source) {
        m_pixelsPerInch = std::move(source);
    }
    void setMinimizedQuery(std::function<bool()> query) { m_minimized = std::move(query); }

private:
    int pixelsPerInch() const;
    bool minimized() const;
    // The primary screen's work area: the origin of the stored rectangle.
    static QRect workArea();
    // Moves a frame rectangle that lies wholly off every screen back into the work area.
    static QPoint visibleFramePosition(QRect frame);
    void applyPosition(const QString& normalPos);
    void applyShowCommand(int showCommand);
    QRect normalFrame() const;

    IniFileStore& m_store;
    QPointer<QWidget> m_window;
    std::function<int()> m_pixelsPerInch;
    std::function<bool()> m_minimized;
    int m_flags = 0;
    bool m_restored = false;
    bool m_saved = false;
};

} // namespace thermavo
