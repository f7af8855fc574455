#pragma once

#include <functional>
#include <string>
#include <string_view>

#ifdef _WIN32
#include <optional>
#endif

namespace thermavo {

// Turns the program's UTF-8 text into the 8-bit text a log file holds.
using LogTextEncoder = std::function<std::string(std::string_view utf8)>;
// Turns a log file's 8-bit text back into UTF-8.
using LogTextDecoder = std::function<std::string(std::string_view bytes)>;

// The text in the system's code page: on Windows its ANSI code page, where a character the code
// page lacks becomes one "?" (a space of another width a plain space), so that the text around
// it stays as it was; on Linux the locale's character set, UTF-8 as a rule, so the text stays as
// it is.
std::string systemCodePageText(std::string_view utf8);
// The UTF-8 text of bytes in the system's code page, the inverse of systemCodePageText: on Linux
// the bytes as they are.
std::string systemCodePageUtf8(std::string_view bytes);

#ifdef _WIN32
// The text in a Windows code page (1252 Western, 1253 Greek, 949 Korean, ...), as above.
std::string codePageText(std::string_view utf8, unsigned codePage);
// The UTF-8 text of bytes in a Windows code page; the bytes as they are when the system cannot
// convert them.
std::string codePageUtf8(std::string_view bytes, unsigned codePage);
// The UTF-16 text the system's wide calls take; none for broken UTF-8.
std::optional<std::wstring> utf16FromUtf8(std::string_view utf8);
std::string utf8FromUtf16(std::wstring_view utf16);
// The system's text for an error code (GetLastError()), in the language of the user's Windows,
// as UTF-8 without the line end; "System error N" when the system has none.
std::string windowsErrorText(unsigned long code);
#endif

} // namespace thermavo
