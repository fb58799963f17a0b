#pragma once
// The locale that variant conversions between text and numbers or dates follow. Linux has no
// LCID database, so every LCID a caller passes maps to this one process-wide setting.
#include <string>

#include "types.h"

inline constexpr LCID LOCALE_NEUTRAL = 0x0000;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

namespace com {

struct ProcessLocale {
    std::string decimalSeparator = ".";   // UTF-8; one or more characters
    std::string thousandsSeparator = ",";  // accepted between digits when parsing, never written
    // Patterns of the short date and the long time. Date: d dd M MM yy yyyy; time: H HH h hh
    // m mm s ss tt (AM/PM); any other character is copied. The order of d, M and y in the
    // date pattern is also the order in which text is parsed.
    std::string dateFormat = "M/d/yyyy";
    std::string timeFormat = "h:mm:ss tt";

    // United States English, the default.
    static ProcessLocale english();
    // Czech: decimal comma, no-break space between thousands, "dd.MM.yyyy H:mm:ss".
    static ProcessLocale czech();
};

// False, with the setting unchanged, for a locale that text could not be parsed by: an empty
// decimal separator, separators that contain digits or are equal, or patterns that lack the
// day, month and year or the hour and minute.
bool setProcessLocale(const ProcessLocale& locale);
ProcessLocale processLocale();

}  // namespace com
