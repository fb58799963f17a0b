#include "locale.h"

#include <mutex>

namespace com {
namespace {

std::mutex lock;

ProcessLocale& current()
{
    static ProcessLocale locale = ProcessLocale::english();
    return locale;
}

bool hasDigit(const std::string& s) { return s.find_first_of("0123456789") != std::string::npos; }

// One run of the letter, as in "dd" or "yyyy", and no second one.
bool oneRun(const std::string& pattern, char letter)
{
    const auto first = pattern.find(letter);
    if (first == std::string::npos)
        return false;
    const auto end = pattern.find_first_not_of(letter, first);
    return end == std::string::npos || pattern.find(letter, end) == std::string::npos;
}

bool isUsable(const ProcessLocale& l)
{
    if (l.decimalSeparator.empty() || hasDigit(l.decimalSeparator) || hasDigit(l.thousandsSeparator) ||
        l.decimalSeparator == l.thousandsSeparator)
        return false;
    if (!oneRun(l.dateFormat, 'd') || !oneRun(l.dateFormat, 'M') || !oneRun(l.dateFormat, 'y'))
        return false;
    const bool h24 = l.timeFormat.find('H') != std::string::npos;
    const bool h12 = l.timeFormat.find('h') != std::string::npos;
    return h24 != h12 && oneRun(l.timeFormat, h24 ? 'H' : 'h') && oneRun(l.timeFormat, 'm');
}

}  // namespace

ProcessLocale ProcessLocale::english() { return ProcessLocale{}; }

ProcessLocale ProcessLocale::czech()
{
    ProcessLocale l;
    l.decimalSeparator = ",";
    l.thousandsSeparator = "\u00A0";
    l.dateFormat = "dd.MM.yyyy";
    l.timeFormat = "H:mm:ss";
    return l;
}

bool setProcessLocale(const ProcessLocale& locale)
{
    if (!isUsable(locale))
        return false;
    std::lock_guard<std::mutex> g(lock);
    current() = locale;
    return true;
}

ProcessLocale processLocale()
{
    std::lock_guard<std::mutex> g(lock);
    return current();
}

}  // namespace com
