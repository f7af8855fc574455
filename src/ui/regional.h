#pragma once

#include <string>

namespace thermavo {

// The user's regional settings that texts on screen and in the TAB log follow. Plain data, so
// the formatting rules can be tested with any locale without touching the system's.
struct RegionalSettings {
    std::string decimalSeparator = ".";
    std::string thousandSeparator = ",";
    // Short date pattern in the letters d, dd, M, MM, yy, yyyy; text in single quotes and any
    // other character is taken literally.
    std::string shortDatePattern = "dd/MM/yyyy";
    std::string timeSeparator = ":";
    bool hourLeadingZero = true;
    bool twelveHour = false;
    std::string amDesignator = "AM";
    std::string pmDesignator = "PM";
    bool designatorFirst = false;
};

} // namespace thermavo
