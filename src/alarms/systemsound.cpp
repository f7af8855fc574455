#include "alarms/systemsound.h"

#include "log/codepage.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>
#elif defined(THERMAVO_CANBERRA)
#include <canberra.h>
#endif

namespace thermavo::alarms {

namespace {

#ifdef _WIN32

class WindowsPlayer : public SoundPlayer {
public:
    std::string play() override {
        // SND_NODEFAULT: a user who set no exclamation sound gets the message beep below rather
        // than the default sound twice over. PlaySound gives no reason when it fails.
        if (PlaySoundW(reinterpret_cast<LPCWSTR>(SND_ALIAS_SYSTEMEXCLAMATION), nullptr,
                       SND_ALIAS_ID | SND_ASYNC | SND_NODEFAULT))
            return {};
        if (MessageBeep(MB_ICONWARNING))
            return {};
        return "the system sound could not be played: " + windowsErrorText(GetLastError());
    }
};

#elif defined(THERMAVO_CANBERRA)

class CanberraPlayer : public SoundPlayer {
public:
    ~CanberraPlayer() override { close(); }

    std::string play() override {
        if (m_context == nullptr) {
            if (const int error = open(); error < 0)
                return reason(error);
        }
        int error = CA_ERROR_NOTFOUND;
        // Not every sound theme has the alarm clock; every one has the bell.
        for (const char* id : {"alarm-clock-elapsed", "bell"}) {
            error = ca_context_play(m_context, 1, CA_PROP_EVENT_ID, id, CA_PROP_EVENT_DESCRIPTION,
                                    "Thermavo alarm", nullptr);
            if (error != CA_ERROR_NOTFOUND)
                break;
        }
        if (error >= 0)
            return {};
        // The sound server may have gone or come back: the next play connects anew.
        if (error != CA_ERROR_NOTFOUND && error != CA_ERROR_DISABLED)
            close();
        return reason(error);
    }

private:
    static std::string reason(int error) {
        const char* text = ca_strerror(error);
        return std::string("the desktop sound could not be played: ") +
               (text != nullptr ? text : "error " + std::to_string(error));
    }

    int open() {
        if (const int error = ca_context_create(&m_context); error < 0) {
            m_context = nullptr;
            return error;
        }
        ca_context_change_props(m_context, CA_PROP_APPLICATION_NAME, "Thermavo",
                                CA_PROP_APPLICATION_ID, "thermavo", nullptr);
        if (const int error = ca_context_open(m_context); error < 0) {
            close();
            return error;
        }
        return 0;
    }

    void close() {
        if (m_context != nullptr)
            ca_context_destroy(m_context);
        m_context = nullptr;
    }

    ca_context* m_context = nullptr;
};

#else

class NoPlayer : public SoundPlayer {
public:
    std::string play() override { return "this build has no sound service"; }
};

#endif

} // namespace

std::unique_ptr<SoundPlayer> makeSystemSoundPlayer() {
#ifdef _WIN32
    return std::make_unique<WindowsPlayer>();
#elif defined(THERMAVO_CANBERRA)
    return std::make_unique<CanberraPlayer>();
#else
    return std::make_unique<NoPlayer>();
#endif
}

} // namespace thermavo::alarms
