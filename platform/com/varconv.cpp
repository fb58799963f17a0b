// VariantChangeType(Ex): conversions between the scalar types 0..23 and between arrays of them.
//
// Choices where Windows leaves room:
// - Integers convert by value. A value the target cannot hold is DISP_E_OVERFLOW, also
//   between signed and unsigned of one width (I2 -1 to UI2, I4 -1 to UI4): the published
//   meaning of DISP_E_OVERFLOW is "the data does not fit in the destination type", and no bit
//   reinterpretation is documented.
// - A Boolean takes part in numeric conversions as the 2-byte integer it is (true = -1), as the
//   published remarks describe. Into an integer type it wraps instead of overflowing, as
//   VarUI1FromBool and its kin do: sign-extended, then cut to the target's width (true is 255
//   as UI1, 4294967295 as UI4; 300 is 44 as UI1). Clients write true to unsigned items.
// - Reals, currency, decimals and numeric text round half to even when they become integers.
// - A Boolean becomes the text "-1" or "0"; "True" or "False" only with VARIANT_ALPHABOOL (or
//   VARIANT_LOCALBOOL, which has no translated names here), as the flag is documented.
// - Any target VT_EMPTY clears; VT_NULL is reached only from VT_EMPTY or VT_NULL, and VT_NULL
//   converts to nothing else. VT_ERROR converts only to itself, VT_UNKNOWN and VT_DISPATCH only
//   into each other by QueryInterface (objects have no Value property here). By-reference and
//   vector targets are DISP_E_BADVARTYPE; a by-reference source is followed.
// - Arrays convert element by element into a new array with the same bounds; the first element
//   that fails fails the whole conversion. A scalar never becomes an array or the reverse. An
//   array whose own element type is not the one its variant names is DISP_E_BADVARTYPE.
#include <algorithm>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "filetime.h"
#include "locale.h"
#include "platform/text.h"
#include "safearray.h"
#include "variant.h"

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

constexpr IID kIidIDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr double kMinDate = -657'434.0;
constexpr double kMaxDateExclusive = 2'958'466.0;

// ---------------------------------------------------------------------------------------
// Exact decimal numbers: (-1)^neg * digits * 10^exp. Integers, currency, decimals and text
// go through this form, so that their rounding is exact.

struct BigDec {
    bool neg = false;
    std::string digits;  // no leading zeros; empty is zero
    int exp = 0;
};

void normalize(BigDec& b)
{
    const auto first = b.digits.find_first_not_of('0');
    b.digits.erase(0, first == std::string::npos ? b.digits.size() : first);
    if (b.digits.empty()) {
        b.neg = false;
        b.exp = 0;
    }
}

std::string u128ToString(u128 v)
{
    if (v == 0)
        return "0";
    std::string s;
    while (v) {
        s += static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    }
    std::reverse(s.begin(), s.end());
    return s;
}

BigDec bigFrom(bool neg, u128 magnitude, int exp)
{
    BigDec b{neg, u128ToString(magnitude), exp};
    normalize(b);
    return b;
}

BigDec bigFromSigned(i128 v) { return bigFrom(v < 0, v < 0 ? static_cast<u128>(-v) : static_cast<u128>(v), 0); }

// |b| * 10^shift rounded half to even; false when the result has more than 38 digits.
bool roundScaled(const BigDec& b, int shift, u128& out)
{
    out = 0;
    if (b.digits.empty())
        return true;
    const long long n = static_cast<long long>(b.digits.size());
    const long long e = static_cast<long long>(b.exp) + shift;
    const long long intLen = n + e;
    if (intLen > 38)
        return false;
    u128 v = 0;
    for (long long i = 0; i < intLen; ++i)
        v = v * 10 + static_cast<unsigned>(i < n ? b.digits[static_cast<std::size_t>(i)] - '0' : 0);
    if (e < 0 && intLen >= 0) {
        const int first = intLen < n ? b.digits[static_cast<std::size_t>(intLen)] - '0' : 0;
        bool restNonZero = false;
        for (long long i = intLen + 1; i < n && !restNonZero; ++i)
            restNonZero = b.digits[static_cast<std::size_t>(i)] != '0';
        if (first > 5 || (first == 5 && (restNonZero || (v & 1))))
            ++v;
    }
    out = v;
    return true;
}

HRESULT bigToInteger(const BigDec& b, i128 lo, i128 hi, i128& out)
{
    u128 m = 0;
    if (!roundScaled(b, 0, m))
        return DISP_E_OVERFLOW;
    const i128 v = b.neg ? -static_cast<i128>(m) : static_cast<i128>(m);
    if (v < lo || v > hi)
        return DISP_E_OVERFLOW;
    out = v;
    return S_OK;
}

HRESULT bigToDouble(const BigDec& b, double& out)
{
    if (b.digits.empty()) {
        out = 0.0;
        return S_OK;
    }
    const std::string text = b.digits + "e" + std::to_string(b.exp);
    double v = 0.0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec == std::errc::result_out_of_range) {
        // Too small is zero; too large does not fit.
        if (static_cast<long long>(b.digits.size()) + b.exp > 0)
            return DISP_E_OVERFLOW;
        v = 0.0;
    } else if (r.ec != std::errc()) {
        return DISP_E_TYPEMISMATCH;
    }
    out = b.neg ? -v : v;
    return S_OK;
}

HRESULT bigToDecimal(const BigDec& b, DECIMAL& out)
{
    const u128 max96 = (static_cast<u128>(1) << 96) - 1;
    // Keep the scale the number was written with, as far as 28 places and 96 bits allow.
    const int start = b.exp < 0 ? std::min(28, -b.exp) : 0;
    for (int scale = start; scale >= 0; --scale) {
        u128 m = 0;
        if (!roundScaled(b, scale, m) || m > max96)
            continue;
        out = DECIMAL{};
        out.scale = m == 0 ? 0 : static_cast<BYTE>(scale);
        out.sign = b.neg && m != 0 ? DECIMAL_NEG : 0;
        out.Hi32 = static_cast<ULONG>(m >> 64);
        out.Lo64 = static_cast<ULONGLONG>(m);
        return S_OK;
    }
    return DISP_E_OVERFLOW;
}

// Plain digits with the locale's decimal separator and no trailing fraction zeros.
std::string bigToPlainText(BigDec b, const std::string& decimalSeparator)
{
    while (b.exp < 0 && !b.digits.empty() && b.digits.back() == '0') {
        b.digits.pop_back();
        ++b.exp;
    }
    if (b.digits.empty())
        return "0";
    std::string r = b.neg ? "-" : "";
    if (b.exp >= 0)
        return r + b.digits + std::string(static_cast<std::size_t>(b.exp), '0');
    const auto frac = static_cast<std::size_t>(-b.exp);
    if (b.digits.size() > frac)
        return r + b.digits.substr(0, b.digits.size() - frac) + decimalSeparator + b.digits.substr(b.digits.size() - frac);
    return r + "0" + decimalSeparator + std::string(frac - b.digits.size(), '0') + b.digits;
}

// ---------------------------------------------------------------------------------------
// Text.

std::string trimmed(std::string_view s)
{
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return std::string(s);
}

std::string textOf(BSTR s) { return trimmed(plat::utf16ToUtf8(std::u16string_view(s ? s : u"", SysStringLen(s)))); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool startsWithAt(const std::string& s, std::size_t pos, const std::string& what)
{
    return !what.empty() && s.compare(pos, what.size(), what) == 0;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// [+|-] digits [thousands separators between digits] [decimal separator digits]
// [E|e [+|-] digits], blanks around. Separators are the locale's.
bool parseNumber(const std::string& s, const std::string& decSep, const std::string& thouSep, BigDec& out)
{
    BigDec b;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        b.neg = s[i++] == '-';
    bool anyDigit = false;
    bool inFraction = false;
    int fracDigits = 0;
    while (i < s.size()) {
        if (isDigit(s[i])) {
            b.digits += s[i++];
            anyDigit = true;
            fracDigits += inFraction ? 1 : 0;
        } else if (!inFraction && startsWithAt(s, i, decSep)) {
            inFraction = true;
            i += decSep.size();
        } else if (!inFraction && anyDigit && startsWithAt(s, i, thouSep) && i + thouSep.size() < s.size() &&
                   isDigit(s[i + thouSep.size()])) {
            i += thouSep.size();
        } else {
            break;
        }
    }
    if (!anyDigit)
        return false;
    long long exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool expNeg = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            expNeg = s[i++] == '-';
        if (i >= s.size() || !isDigit(s[i]))
            return false;
        while (i < s.size() && isDigit(s[i])) {
            exponent = std::min(exponent * 10 + (s[i] - '0'), 1'000'000LL);
            ++i;
        }
        exponent = expNeg ? -exponent : exponent;
    }
    if (i != s.size())
        return false;
    b.exp = static_cast<int>(exponent - fracDigits);
    normalize(b);
    out = b;
    return true;
}

// Shortest form up to the given significant digits, "1E+20" style for large and small values.
std::string realText(double x, int digits, const std::string& decSep)
{
    if (x == 0.0)
        return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*G", digits, x);
    std::string s = buf;
    const auto dot = s.find('.');
    if (dot != std::string::npos)
        s.replace(dot, 1, decSep);
    return s;
}

// ---------------------------------------------------------------------------------------
// Date patterns: d dd M MM yy yyyy H HH h hh m mm s ss t tt, other characters literal.

std::string padded(int v, std::size_t width)
{
    std::string s = std::to_string(v);
    return std::string(s.size() < width ? width - s.size() : 0, '0') + s;
}

std::string twoDigits(int v) { return padded(v, 2); }

std::string formatPattern(const std::string& pattern, const SYSTEMTIME& st)
{
    std::string r;
    for (std::size_t i = 0; i < pattern.size();) {
        const char c = pattern[i];
        std::size_t n = 1;
        while (i + n < pattern.size() && pattern[i + n] == c)
            ++n;
        switch (c) {
        case 'd':
            r += n >= 2 ? twoDigits(st.wDay) : std::to_string(st.wDay);
            break;
        case 'M':
            r += n >= 2 ? twoDigits(st.wMonth) : std::to_string(st.wMonth);
            break;
        case 'y':
            r += n <= 2 ? twoDigits(st.wYear % 100) : padded(st.wYear, 4);
            break;
        case 'H':
            r += n >= 2 ? twoDigits(st.wHour) : std::to_string(st.wHour);
            break;
        case 'h': {
            const int h12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
            r += n >= 2 ? twoDigits(h12) : std::to_string(h12);
            break;
        }
        case 'm':
            r += n >= 2 ? twoDigits(st.wMinute) : std::to_string(st.wMinute);
            break;
        case 's':
            r += n >= 2 ? twoDigits(st.wSecond) : std::to_string(st.wSecond);
            break;
        case 't':
            r += st.wHour < 12 ? (n >= 2 ? "AM" : "A") : (n >= 2 ? "PM" : "P");
            break;
        default:
            r.append(n, c);
            break;
        }
        i += n;
    }
    return r;
}

// Time only on day 0, date only at midnight, else both, as VarBstrFromDate does.
HRESULT dateText(double dt, const com::ProcessLocale& loc, std::string& out)
{
    SYSTEMTIME st{};
    if (!VariantTimeToSystemTime(dt, &st))
        return DISP_E_OVERFLOW;
    const bool dayZero = st.wYear == 1899 && st.wMonth == 12 && st.wDay == 30;
    const bool midnight = st.wHour == 0 && st.wMinute == 0 && st.wSecond == 0;
    if (dayZero)
        out = formatPattern(loc.timeFormat, st);
    else if (midnight)
        out = formatPattern(loc.dateFormat, st);
    else
        out = formatPattern(loc.dateFormat, st) + " " + formatPattern(loc.timeFormat, st);
    return S_OK;
}

// Separators that a pattern uses between its fields, beside the usual ones.
std::string separatorsOf(const std::string& pattern, const char* usual)
{
    std::string r = usual;
    for (char c : pattern)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != ' ' && c != '\'' && r.find(c) == std::string::npos)
            r += c;
    return r;
}

bool splitNumbers(const std::string& part, const std::string& seps, std::vector<std::string>& out)
{
    out.clear();
    std::string cur;
    for (char c : part) {
        if (isDigit(c)) {
            cur += c;
        } else if (seps.find(c) != std::string::npos) {
            if (cur.empty())
                return false;
            out.push_back(cur);
            cur.clear();
        } else {
            return false;
        }
    }
    if (cur.empty())
        return false;
    out.push_back(cur);
    return true;
}

// "13:05" is a time; so is "13.05" where the time pattern separates by "." and dates do not.
bool isTimePart(const std::string& part, const std::string& timeSeps, const std::string& dateSeps)
{
    for (char c : part)
        if (c == ':' || (timeSeps.find(c) != std::string::npos && dateSeps.find(c) == std::string::npos))
            return true;
    return false;
}

int toSmallInt(const std::string& digits) { return digits.size() > 5 ? 100000 : std::stoi(digits); }

// "[date] [time [AM|PM]]" with the date's fields in the order of the locale's pattern, or
// year first when the first field has four digits. Two-digit years are 1930..2029.
bool parseDate(const std::string& text, const com::ProcessLocale& loc, double& out)
{
    std::vector<std::string> parts;
    {
        std::string cur;
        for (char c : text) {
            if (c == ' ' || c == '\t') {
                if (!cur.empty())
                    parts.push_back(cur);
                cur.clear();
            } else {
                cur += c;
            }
        }
        if (!cur.empty())
            parts.push_back(cur);
    }
    const std::string dateSeps = separatorsOf(loc.dateFormat, "/-.");
    const std::string timeSeps = separatorsOf(loc.timeFormat, ":");
    std::string datePart, timePart, ampm;
    for (std::string p : parts) {
        for (const char* marker : {"AM", "PM", "A", "P"}) {
            const std::size_t n = std::strlen(marker);
            if (p.size() >= n && equalsIgnoreCase(std::string_view(p).substr(p.size() - n), marker) &&
                (p.size() == n || isDigit(p[p.size() - n - 1]))) {
                if (!ampm.empty())
                    return false;
                ampm = marker;
                p.resize(p.size() - n);
                break;
            }
        }
        if (p.empty())
            continue;
        std::string& slot = isTimePart(p, timeSeps, dateSeps) ? timePart : datePart;
        if (!slot.empty())
            return false;
        slot = p;
    }
    if (datePart.empty() && timePart.empty())
        return false;

    SYSTEMTIME st{};
    st.wYear = 1899;
    st.wMonth = 12;
    st.wDay = 30;
    if (!datePart.empty()) {
        std::vector<std::string> f;
        if (!splitNumbers(datePart, dateSeps, f) || f.size() != 3)
            return false;
        int y = 0, m = 0, d = 0;
        if (f[0].size() == 4) {
            y = toSmallInt(f[0]);
            m = toSmallInt(f[1]);
            d = toSmallInt(f[2]);
        } else {
            const auto pd = loc.dateFormat.find('d');
            const auto pm = loc.dateFormat.find('M');
            const auto py = loc.dateFormat.find('y');
            const auto rank = [&](std::size_t p) {
                return static_cast<std::size_t>((p > pd) + (p > pm) + (p > py));
            };
            d = toSmallInt(f[rank(pd)]);
            m = toSmallInt(f[rank(pm)]);
            const std::string& year = f[rank(py)];
            y = toSmallInt(year);
            if (year.size() <= 2)
                y += y < 30 ? 2000 : 1900;
        }
        if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1 || d > 31)
            return false;
        static const int dim[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        if (d > (m == 2 && leap ? 29 : dim[m - 1]))
            return false;
        st.wYear = static_cast<WORD>(y);
        st.wMonth = static_cast<WORD>(m);
        st.wDay = static_cast<WORD>(d);
    }
    if (!timePart.empty()) {
        std::vector<std::string> f;
        if (!splitNumbers(timePart, timeSeps, f) || f.size() < 2 || f.size() > 3)
            return false;
        int h = toSmallInt(f[0]);
        const int mi = toSmallInt(f[1]);
        const int s = f.size() == 3 ? toSmallInt(f[2]) : 0;
        if (!ampm.empty()) {
            if (h < 1 || h > 12)
                return false;
            h = (h % 12) + (ampm[0] == 'P' || ampm[0] == 'p' ? 12 : 0);
        }
        if (h > 23 || mi > 59 || s > 59)
            return false;
        st.wHour = static_cast<WORD>(h);
        st.wMinute = static_cast<WORD>(mi);
        st.wSecond = static_cast<WORD>(s);
    } else if (!ampm.empty()) {
        return false;
    }
    return SystemTimeToVariantTime(&st, &out) != FALSE;
}

// ---------------------------------------------------------------------------------------
// Sources as numbers.

struct Num {
    bool exact = true;
    BigDec big;          // when exact
    double real = 0.0;   // when not
    int realDigits = 15;
};

HRESULT numberOf(const VARIANT& v, const com::ProcessLocale& loc, Num& n)
{
    n = Num{};
    switch (v.vt) {
    case VT_EMPTY:
        return S_OK;
    case VT_I1:
        n.big = bigFromSigned(static_cast<signed char>(v.cVal));
        return S_OK;
    case VT_UI1:
        n.big = bigFromSigned(v.bVal);
        return S_OK;
    case VT_I2:
        n.big = bigFromSigned(v.iVal);
        return S_OK;
    case VT_BOOL:
        n.big = bigFromSigned(v.boolVal);
        return S_OK;
    case VT_UI2:
        n.big = bigFromSigned(v.uiVal);
        return S_OK;
    case VT_I4:
        n.big = bigFromSigned(v.lVal);
        return S_OK;
    case VT_UI4:
        n.big = bigFromSigned(v.ulVal);
        return S_OK;
    case VT_INT:
        n.big = bigFromSigned(v.intVal);
        return S_OK;
    case VT_UINT:
        n.big = bigFromSigned(v.uintVal);
        return S_OK;
    case VT_I8:
        n.big = bigFromSigned(v.llVal);
        return S_OK;
    case VT_UI8:
        n.big = bigFromSigned(v.ullVal);
        return S_OK;
    case VT_CY:
        n.big = bigFromSigned(v.cyVal.int64);
        n.big.exp = n.big.digits.empty() ? 0 : -4;
        return S_OK;
    case VT_DECIMAL:
        if (v.decVal.scale > 28)
            return E_INVALIDARG;
        n.big = bigFrom(v.decVal.sign & DECIMAL_NEG, (static_cast<u128>(v.decVal.Hi32) << 64) | v.decVal.Lo64,
                        -static_cast<int>(v.decVal.scale));
        return S_OK;
    case VT_R4:
        n.exact = false;
        n.real = v.fltVal;
        n.realDigits = 7;
        return S_OK;
    case VT_R8:
    case VT_DATE:
        n.exact = false;
        n.real = v.dblVal;
        return S_OK;
    case VT_BSTR:
        return parseNumber(textOf(v.bstrVal), loc.decimalSeparator, loc.thousandsSeparator, n.big) ? S_OK
                                                                                                   : DISP_E_TYPEMISMATCH;
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

HRESULT numToDouble(const Num& n, double& out)
{
    if (n.exact)
        return bigToDouble(n.big, out);
    out = n.real;
    return S_OK;
}

HRESULT numToInteger(const Num& n, i128 lo, i128 hi, i128& out)
{
    if (n.exact)
        return bigToInteger(n.big, lo, hi, out);
    if (std::isnan(n.real))
        return DISP_E_OVERFLOW;
    const double r = std::nearbyint(n.real);  // the default rounding mode: half to even
    if (std::fabs(r) > 1.9e19)
        return DISP_E_OVERFLOW;
    const auto v = static_cast<i128>(r);
    if (v < lo || v > hi)
        return DISP_E_OVERFLOW;
    out = v;
    return S_OK;
}

HRESULT numToCurrency(const Num& n, LONGLONG& out)
{
    const i128 lo = INT64_MIN;
    const i128 hi = INT64_MAX;
    i128 v = 0;
    if (n.exact) {
        u128 m = 0;
        if (!roundScaled(n.big, 4, m))
            return DISP_E_OVERFLOW;
        v = n.big.neg ? -static_cast<i128>(m) : static_cast<i128>(m);
    } else {
        if (std::isnan(n.real))
            return DISP_E_OVERFLOW;
        const double r = std::nearbyint(n.real * 10'000.0);
        if (std::fabs(r) > 1.9e19)
            return DISP_E_OVERFLOW;
        v = static_cast<i128>(r);
    }
    if (v < lo || v > hi)
        return DISP_E_OVERFLOW;
    out = static_cast<LONGLONG>(v);
    return S_OK;
}

HRESULT numToDecimal(const Num& n, DECIMAL& out)
{
    if (n.exact)
        return bigToDecimal(n.big, out);
    if (!std::isfinite(n.real))
        return DISP_E_OVERFLOW;
    // A real carries its 15 (single: 7) significant digits into the decimal, not its binary noise.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*E", n.realDigits - 1, n.real);
    BigDec b;
    if (!parseNumber(buf, ".", "", b))
        return E_UNEXPECTED;
    while (b.exp < 0 && !b.digits.empty() && b.digits.back() == '0') {
        b.digits.pop_back();
        ++b.exp;
    }
    return bigToDecimal(b, out);
}

struct IntRange {
    i128 lo;
    i128 hi;
};

bool integerRange(VARTYPE vt, IntRange& r)
{
    switch (vt) {
    case VT_I1:
        r = {-128, 127};
        return true;
    case VT_UI1:
        r = {0, 255};
        return true;
    case VT_I2:
        r = {INT16_MIN, INT16_MAX};
        return true;
    case VT_UI2:
        r = {0, UINT16_MAX};
        return true;
    case VT_I4:
    case VT_INT:
        r = {INT32_MIN, INT32_MAX};
        return true;
    case VT_UI4:
    case VT_UINT:
        r = {0, UINT32_MAX};
        return true;
    case VT_I8:
        r = {INT64_MIN, INT64_MAX};
        return true;
    case VT_UI8:
        r = {0, UINT64_MAX};
        return true;
    default:
        return false;
    }
}

void storeInteger(VARIANT& out, VARTYPE vt, i128 v)
{
    switch (vt) {
    case VT_I1:
        out.cVal = static_cast<char>(static_cast<signed char>(v));
        break;
    case VT_UI1:
        out.bVal = static_cast<BYTE>(v);
        break;
    case VT_I2:
        out.iVal = static_cast<SHORT>(v);
        break;
    case VT_UI2:
        out.uiVal = static_cast<USHORT>(v);
        break;
    case VT_I4:
        out.lVal = static_cast<LONG>(v);
        break;
    case VT_INT:
        out.intVal = static_cast<INT>(v);
        break;
    case VT_UI4:
        out.ulVal = static_cast<ULONG>(v);
        break;
    case VT_UINT:
        out.uintVal = static_cast<UINT>(v);
        break;
    case VT_I8:
        out.llVal = static_cast<LONGLONG>(v);
        break;
    default:
        out.ullVal = static_cast<ULONGLONG>(v);
        break;
    }
    out.vt = vt;
}

// ---------------------------------------------------------------------------------------
// Scalar conversions. src is neither by-reference nor an array; out is VT_EMPTY.

HRESULT toText(const VARIANT& src, const com::ProcessLocale& loc, USHORT flags, std::string& text)
{
    switch (src.vt) {
    case VT_EMPTY:
        text.clear();
        return S_OK;
    case VT_BOOL:
        if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) {
            text = src.boolVal ? "True" : "False";
            return S_OK;
        }
        text = std::to_string(src.boolVal);
        return S_OK;
    case VT_R4:
        text = realText(src.fltVal, 7, loc.decimalSeparator);
        return S_OK;
    case VT_R8:
        text = realText(src.dblVal, 15, loc.decimalSeparator);
        return S_OK;
    case VT_DATE:
        return dateText(src.date, loc, text);
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_CY:
    case VT_DECIMAL: {
        Num n;
        const HRESULT hr = numberOf(src, loc, n);
        if (FAILED(hr))
            return hr;
        text = bigToPlainText(n.big, loc.decimalSeparator);
        return S_OK;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

HRESULT toBool(const VARIANT& src, const com::ProcessLocale& loc, bool& out)
{
    if (src.vt == VT_BSTR) {
        const std::string t = textOf(src.bstrVal);
        if (equalsIgnoreCase(t, "True") || equalsIgnoreCase(t, "#TRUE#")) {
            out = true;
            return S_OK;
        }
        if (equalsIgnoreCase(t, "False") || equalsIgnoreCase(t, "#FALSE#")) {
            out = false;
            return S_OK;
        }
    }
    Num n;
    const HRESULT hr = numberOf(src, loc, n);
    if (FAILED(hr))
        return hr;
    out = n.exact ? !n.big.digits.empty() : n.real != 0.0;
    return S_OK;
}

HRESULT toDate(const VARIANT& src, const com::ProcessLocale& loc, double& out)
{
    if (src.vt == VT_BSTR)
        return parseDate(textOf(src.bstrVal), loc, out) ? S_OK : DISP_E_TYPEMISMATCH;
    Num n;
    HRESULT hr = numberOf(src, loc, n);
    if (SUCCEEDED(hr))
        hr = numToDouble(n, out);
    if (FAILED(hr))
        return hr;
    return out >= kMinDate && out < kMaxDateExclusive ? S_OK : DISP_E_OVERFLOW;
}

HRESULT toInterface(const VARIANT& src, VARTYPE vt, VARIANT& out)
{
    if (src.vt != VT_UNKNOWN && src.vt != VT_DISPATCH)
        return DISP_E_TYPEMISMATCH;
    IUnknown* result = nullptr;
    if (src.punkVal) {
        const HRESULT hr =
            src.punkVal->QueryInterface(vt == VT_DISPATCH ? kIidIDispatch : IID_IUnknown, reinterpret_cast<void**>(&result));
        if (FAILED(hr))
            return hr;
    }
    out.punkVal = result;
    out.vt = vt;
    return S_OK;
}

HRESULT changeType(const VARIANT& src, VARTYPE vt, const com::ProcessLocale& loc, USHORT flags, VARIANT& out);

HRESULT convertArray(const VARIANT& src, VARTYPE vt, const com::ProcessLocale& loc, USHORT flags, VARIANT& out)
{
    SAFEARRAY* sa = src.parray;
    if (!sa || src.vt == vt) {
        const HRESULT hr = VariantCopy(&out, &src);
        if (SUCCEEDED(hr))
            out.vt = vt;
        return hr;
    }
    if (SafeArrayGetDim(sa) != 1)
        return DISP_E_TYPEMISMATCH;
    const VARTYPE from = src.vt & VT_TYPEMASK;
    const VARTYPE to = vt & VT_TYPEMASK;
    // Elements are read by the variant's type, with the array's stride: the two must agree.
    VARTYPE stored = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(sa, &stored)) || stored != from)
        return DISP_E_BADVARTYPE;
    SAFEARRAY* result = SafeArrayCreateVector(to, sa->rgsabound[0].lLbound, sa->rgsabound[0].cElements);
    if (!result)
        return E_OUTOFMEMORY;
    char* data = nullptr;
    HRESULT hr = SafeArrayAccessData(sa, reinterpret_cast<void**>(&data));
    char* target = static_cast<char*>(result->pvData);
    for (ULONG i = 0; SUCCEEDED(hr) && i < sa->rgsabound[0].cElements; ++i) {
        const char* element = data + std::size_t{i} * sa->cbElements;
        char* slot = target + std::size_t{i} * result->cbElements;
        // A non-owning VARIANT over the element.
        VARIANT view;
        VariantInit(&view);
        if (from == VT_VARIANT) {
            std::memcpy(&view, element, sizeof view);
        } else if (from == VT_DECIMAL) {
            std::memcpy(&view.decVal, element, sizeof(DECIMAL));
            view.vt = VT_DECIMAL;
        } else {
            std::memcpy(&view.llVal, element, sa->cbElements);
            view.vt = from;
        }
        if (to == VT_VARIANT) {
            hr = VariantCopy(reinterpret_cast<VARIANT*>(slot), &view);
            continue;
        }
        VARIANT one;
        VariantInit(&one);
        hr = changeType(view, to, loc, flags, one);
        if (SUCCEEDED(hr)) {
            if (to == VT_DECIMAL)
                std::memcpy(slot, &one.decVal, sizeof(DECIMAL));
            else
                std::memcpy(slot, &one.llVal, result->cbElements);
        }
    }
    if (data)
        SafeArrayUnaccessData(sa);
    if (FAILED(hr)) {
        SafeArrayDestroy(result);
        return hr;
    }
    out.parray = result;
    out.vt = vt;
    return S_OK;
}

HRESULT convert(const VARIANT& src, VARTYPE vt, const com::ProcessLocale& loc, USHORT flags, VARIANT& out)
{
    if (vt == VT_EMPTY)
        return S_OK;
    if ((src.vt & VT_ARRAY) || (vt & VT_ARRAY))
        return (src.vt & VT_ARRAY) && (vt & VT_ARRAY) ? convertArray(src, vt, loc, flags, out) : DISP_E_TYPEMISMATCH;
    if (vt == VT_NULL) {
        if (src.vt != VT_NULL && src.vt != VT_EMPTY)
            return DISP_E_TYPEMISMATCH;
        out.vt = VT_NULL;
        return S_OK;
    }
    if (src.vt == VT_NULL)
        return DISP_E_TYPEMISMATCH;
    if (src.vt == vt)
        return VariantCopy(&out, &src);

    IntRange range{};
    if (integerRange(vt, range)) {
        if (src.vt == VT_BOOL) {
            storeInteger(out, vt, src.boolVal);
            return S_OK;
        }
        Num n;
        i128 v = 0;
        HRESULT hr = numberOf(src, loc, n);
        if (SUCCEEDED(hr))
            hr = numToInteger(n, range.lo, range.hi, v);
        if (SUCCEEDED(hr))
            storeInteger(out, vt, v);
        return hr;
    }
    switch (vt) {
    case VT_R4:
    case VT_R8: {
        Num n;
        double d = 0.0;
        HRESULT hr = numberOf(src, loc, n);
        if (SUCCEEDED(hr))
            hr = numToDouble(n, d);
        if (FAILED(hr))
            return hr;
        if (vt == VT_R4) {
            if (std::isfinite(d) && std::fabs(d) > FLT_MAX)
                return DISP_E_OVERFLOW;
            out.fltVal = static_cast<float>(d);
        } else {
            out.dblVal = d;
        }
        out.vt = vt;
        return S_OK;
    }
    case VT_CY: {
        Num n;
        LONGLONG c = 0;
        HRESULT hr = numberOf(src, loc, n);
        if (SUCCEEDED(hr))
            hr = numToCurrency(n, c);
        if (SUCCEEDED(hr)) {
            out.cyVal.int64 = c;
            out.vt = VT_CY;
        }
        return hr;
    }
    case VT_DECIMAL: {
        Num n;
        DECIMAL d{};
        HRESULT hr = numberOf(src, loc, n);
        if (SUCCEEDED(hr))
            hr = numToDecimal(n, d);
        if (SUCCEEDED(hr)) {
            out.decVal = d;
            out.vt = VT_DECIMAL;  // after decVal, whose first word is vt
        }
        return hr;
    }
    case VT_DATE: {
        double d = 0.0;
        const HRESULT hr = toDate(src, loc, d);
        if (SUCCEEDED(hr)) {
            out.date = d;
            out.vt = VT_DATE;
        }
        return hr;
    }
    case VT_BOOL: {
        bool b = false;
        const HRESULT hr = toBool(src, loc, b);
        if (SUCCEEDED(hr)) {
            out.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
            out.vt = VT_BOOL;
        }
        return hr;
    }
    case VT_BSTR: {
        std::string text;
        const HRESULT hr = toText(src, loc, flags, text);
        if (FAILED(hr))
            return hr;
        const std::u16string w = plat::utf8ToUtf16(text);
        out.bstrVal = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
        if (!out.bstrVal)
            return E_OUTOFMEMORY;
        out.vt = VT_BSTR;
        return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH:
        return toInterface(src, vt, out);
    default:
        return DISP_E_TYPEMISMATCH;  // VT_ERROR from anything else
    }
}

bool isValidTarget(VARTYPE vt)
{
    if (vt & (VT_BYREF | VT_VECTOR | VT_RESERVED))
        return false;
    if (vt == VT_EMPTY || vt == VT_NULL)
        return true;
    return com::isValidVariantType(vt);
}

// The value a by-reference variant points at, as a non-owning VARIANT.
HRESULT dereference(const VARIANT& src, VARIANT& view)
{
    view = src;
    if (!(src.vt & VT_BYREF))
        return S_OK;
    if (!src.byref)
        return E_INVALIDARG;
    const VARTYPE vt = src.vt & ~VT_BYREF;
    VariantInit(&view);
    if (vt == VT_VARIANT) {
        view = *src.pvarVal;
        return view.vt & VT_BYREF ? DISP_E_BADVARTYPE : S_OK;
    }
    if (vt & VT_ARRAY)
        view.parray = *src.pparray;
    else if (vt == VT_DECIMAL)
        view.decVal = *src.pdecVal;
    else if (vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH)
        view.byref = *static_cast<void**>(src.byref);
    else if (vt == VT_I1 || vt == VT_UI1)
        view.bVal = *src.pbVal;
    else if (vt == VT_I2 || vt == VT_UI2 || vt == VT_BOOL)
        view.uiVal = *src.puiVal;
    else if (vt == VT_I8 || vt == VT_UI8 || vt == VT_R8 || vt == VT_DATE || vt == VT_CY)
        view.ullVal = *src.pullVal;
    else
        view.ulVal = *src.pulVal;
    view.vt = vt;
    return S_OK;
}

// Validates the source, follows a reference and converts into out (VT_EMPTY); on failure out
// stays VT_EMPTY.
HRESULT changeType(const VARIANT& src, VARTYPE vt, const com::ProcessLocale& loc, USHORT flags, VARIANT& out)
{
    if (!com::isValidVariantType(src.vt))
        return DISP_E_BADVARTYPE;
    VARIANT view;
    HRESULT hr = dereference(src, view);
    if (SUCCEEDED(hr) && !com::isValidVariantType(view.vt))
        hr = DISP_E_BADVARTYPE;
    if (SUCCEEDED(hr))
        hr = convert(view, vt, loc, flags, out);
    if (FAILED(hr))
        VariantClear(&out);
    return hr;
}

}  // namespace

HRESULT VariantChangeTypeEx(VARIANT* pvargDest, const VARIANT* pvarSrc, LCID lcid, USHORT wFlags, VARTYPE vt)
{
    (void)lcid;  // one process-wide locale; see locale.h
    if (!pvargDest || !pvarSrc)
        return E_INVALIDARG;
    if (!isValidTarget(vt) || !com::isValidVariantType(pvarSrc->vt))
        return DISP_E_BADVARTYPE;
    VARIANT out;
    VariantInit(&out);
    HRESULT hr = changeType(*pvarSrc, vt, com::processLocale(), wFlags, out);
    if (FAILED(hr))
        return hr;
    // The result is complete before the destination (perhaps the source itself) is cleared.
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&out);
        return hr;
    }
    *pvargDest = out;
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags, VARTYPE vt)
{
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}
