#include "log/codepage.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace thermavo {

#ifdef _WIN32

namespace {

// Where the system cannot convert at all: ASCII stays, every other character becomes "?".
std::string asciiText(std::string_view utf8) {
    std::string text;
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80)
            text += c;
        else if ((byte & 0xC0) != 0x80)
            text += '?';
    }
    return text;
}

std::wstring utf16Lenient(std::string_view utf8) {
    const int length =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (length > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                              length);
    return wide;
}

bool isSpace(wchar_t c) {
    return c == 0x00A0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool inCodePage(wchar_t c, unsigned codePage) {
    char bytes[8];
    BOOL lacking = FALSE;
    return ::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, &c, 1, bytes, sizeof bytes,
                                 nullptr, &lacking) > 0 &&
           !lacking;
}

int toCodePage(const std::wstring& wide, unsigned codePage, DWORD flags, const char* fallback,
               char* out, int size) {
    return ::WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), out,
                                 size, fallback, nullptr);
}

} // namespace

std::string codePageText(std::string_view utf8, unsigned codePage) {
    if (utf8.empty())
        return {};
    if (codePage == CP_UTF8)
        return std::string(utf8);
    std::wstring wide = utf16Lenient(utf8);
    // A space of another width (Windows' own date patterns hold narrow no-break spaces) that the
    // code page lacks is a plain space, not a "?" in the middle of a date.
    for (wchar_t& c : wide) {
        if (isSpace(c) && !inCodePage(c, codePage))
            c = L' ';
    }
    // No best fit: "π" must not come out as "p", a plausible but false letter. Some code pages
    // (ISO-2022, GB18030) take neither the flag nor a default character of our own.
    DWORD flags = WC_NO_BEST_FIT_CHARS;
    const char* fallback = "?";
    int size = toCodePage(wide, codePage, flags, fallback, nullptr, 0);
    if (size == 0) {
        flags = 0;
        fallback = nullptr;
        size = toCodePage(wide, codePage, flags, fallback, nullptr, 0);
    }
    if (size == 0)
        return asciiText(utf8);
    std::string text(static_cast<std::size_t>(size), '\0');
    toCodePage(wide, codePage, flags, fallback, text.data(), size);
    return text;
}

std::string systemCodePageText(std::string_view utf8) {
    return codePageText(utf8, ::GetACP());
}

std::string codePageUtf8(std::string_view bytes, unsigned codePage) {
    if (bytes.empty() || codePage == CP_UTF8)
        return std::string(bytes);
    // No flags: some code pages (ISO-2022, GB18030, UTF-7) take none, and a byte the code page
    // lacks becomes the replacement character rather than failing the whole line.
    const int length = ::MultiByteToWideChar(codePage, 0, bytes.data(),
                                             static_cast<int>(bytes.size()), nullptr, 0);
    if (length <= 0)
        return std::string(bytes);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()),
                              wide.data(), length) != length)
        return std::string(bytes);
    return utf8FromUtf16(wide);
}

std::string systemCodePageUtf8(std::string_view bytes) {
    return codePageUtf8(bytes, ::GetACP());
}

std::optional<std::wstring> utf16FromUtf8(std::string_view utf8) {
    if (utf8.empty())
        return std::wstring();
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                             static_cast<int>(utf8.size()), nullptr, 0);
    if (length == 0)
        return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                          wide.data(), length);
    return wide;
}

std::string utf8FromUtf16(std::wstring_view utf16) {
    const int length = ::WideCharToMultiByte(
        CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(length), '\0');
    if (length > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), text.data(),
                              length, nullptr, nullptr);
    return text;
}

std::string windowsErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::string message = length > 0 ? utf8FromUtf16(std::wstring_view(text, length))
                                     : "System error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

#else

std::string systemCodePageText(std::string_view utf8) {
    return std::string(utf8);
}

std::string systemCodePageUtf8(std::string_view bytes) {
    return std::string(bytes);
}

#endif

} // namespace thermavo
