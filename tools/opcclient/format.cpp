#include "format.h"

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTime>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/opcda.h"
#include "platform/com/safearray.h"
#include "platform/text.h"

namespace opcclient {
namespace {

// 100 ns ticks from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000;
constexpr std::int64_t kMsPerDay = 86400000;
const QDate kDateZero(1899, 12, 30);

struct NamedType {
    VARTYPE vt;
    const char* name;
};
constexpr std::array<NamedType, 21> kTypeNames = {{
    {VT_EMPTY, "VT_EMPTY"}, {VT_NULL, "VT_NULL"},   {VT_I2, "VT_I2"},     {VT_I4, "VT_I4"},     {VT_R4, "VT_R4"},
    {VT_R8, "VT_R8"},       {VT_CY, "VT_CY"},       {VT_DATE, "VT_DATE"}, {VT_BSTR, "VT_BSTR"}, {VT_ERROR, "VT_ERROR"},
    {VT_BOOL, "VT_BOOL"},   {VT_VARIANT, "VT_VARIANT"}, {VT_UNKNOWN, "VT_UNKNOWN"}, {VT_I1, "VT_I1"}, {VT_UI1, "VT_UI1"},
    {VT_UI2, "VT_UI2"},     {VT_UI4, "VT_UI4"},     {VT_I8, "VT_I8"},     {VT_UI8, "VT_UI8"},   {VT_INT, "VT_INT"},
    {VT_UINT, "VT_UINT"},
}};

template <class T>
std::string Shortest(T value)
{
    std::array<char, 64> buf{};
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), value);
    return std::string(buf.data(), r.ptr);
}

bool SameLetters(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (x != b[i])
            return false;
    }
    return true;
}

// One element of a scalar type, read from where the VARIANT or the array keeps it.
QJsonValue ScalarJson(VARTYPE vt, const void* p)
{
    switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
        return QJsonValue::Null;
    case VT_I1:
        return *static_cast<const signed char*>(p);
    case VT_UI1:
        return *static_cast<const BYTE*>(p);
    case VT_I2:
        return *static_cast<const SHORT*>(p);
    case VT_UI2:
        return *static_cast<const USHORT*>(p);
    case VT_I4:
    case VT_INT:
        return *static_cast<const LONG*>(p);
    case VT_UI4:
    case VT_UINT:
        return static_cast<qint64>(*static_cast<const ULONG*>(p));
    case VT_ERROR:
        return QString::fromStdString(HResultText(*static_cast<const SCODE*>(p)));
    case VT_I8:
        return static_cast<qint64>(*static_cast<const LONGLONG*>(p));
    case VT_UI8:
        return static_cast<double>(*static_cast<const ULONGLONG*>(p));
    case VT_R4: {
        // Through its shortest text, so that 20.1f shows as 20.1 and not 20.100000381.
        const std::string text = Shortest(*static_cast<const FLOAT*>(p));
        double d = 0;
        std::from_chars(text.data(), text.data() + text.size(), d);
        return d;
    }
    case VT_R8:
        return *static_cast<const DOUBLE*>(p);
    case VT_CY:
        return static_cast<double>(*static_cast<const LONGLONG*>(p)) / 10000.0;
    case VT_BOOL:
        return *static_cast<const VARIANT_BOOL*>(p) != VARIANT_FALSE;
    case VT_DATE:
        return QString::fromStdString(DateText(*static_cast<const DATE*>(p)));
    case VT_BSTR: {
        const BSTR s = *static_cast<const BSTR*>(p);
        return QString::fromUtf16(s ? s : u"", s ? static_cast<qsizetype>(SysStringLen(s)) : 0);
    }
    case VT_VARIANT:
        return VariantJson(*static_cast<const VARIANT*>(p));
    default:
        return QString::fromStdString("<" + VarTypeName(vt) + ">");
    }
}

QJsonValue ArrayJson(VARTYPE element, SAFEARRAY* array)
{
    if (!array || SafeArrayGetDim(array) != 1)
        return QString::fromStdString("<" + VarTypeName(static_cast<VARTYPE>(VT_ARRAY | element)) + ">");
    LONG low = 0;
    LONG high = -1;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    const UINT size = SafeArrayGetElemsize(array);
    void* data = nullptr;
    QJsonArray out;
    if (FAILED(SafeArrayAccessData(array, &data)))
        return out;
    for (LONG i = 0; i <= high - low; ++i)
        out.append(ScalarJson(element, static_cast<const BYTE*>(data) + static_cast<std::size_t>(i) * size));
    SafeArrayUnaccessData(array);
    return out;
}

std::string JsonText(const QJsonValue& v)
{
    if (v.isArray())
        return QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact).toStdString();
    // A lone value through a one-element array, then without its brackets.
    const std::string text = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact).toStdString();
    return text.substr(1, text.size() - 2);
}

bool Fail(std::string* why, const std::string& text)
{
    if (why)
        *why = text;
    return false;
}

template <class T>
bool ParseInteger(const std::string& text, T& out)
{
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, out);
    return r.ec == std::errc() && r.ptr == end;
}

bool ParseDouble(const std::string& text, double& out)
{
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, out);
    return r.ec == std::errc() && r.ptr == end && std::isfinite(out);
}

bool ParseDate(const std::string& text, DATE& out)
{
    const QString s = QString::fromStdString(text);
    QDateTime t = QDateTime::fromString(s, Qt::ISODateWithMs);
    if (!t.isValid())
        t = QDateTime::fromString(s, Qt::ISODate);
    if (!t.isValid()) {
        const QDate d = QDate::fromString(s, Qt::ISODate);
        if (!d.isValid())
            return false;
        t = QDateTime(d, QTime(0, 0));
    }
    // The server keeps local date-times; a time with a zone is taken in the local zone.
    t = t.toLocalTime();
    const qint64 days = kDateZero.daysTo(t.date());
    const double dayPart = static_cast<double>(t.time().msecsSinceStartOfDay()) / kMsPerDay;
    out = days >= 0 ? static_cast<double>(days) + dayPart : static_cast<double>(days) - dayPart;
    return true;
}

bool ParseScalar(const std::string& text, VARTYPE vt, com::Variant& value, std::string* why)
{
    const std::string bad = "\"" + text + "\" is no value of type " + VarTypeName(vt);
    switch (vt) {
    case VT_BSTR:
        value.setString(std::string_view(text));
        return true;
    case VT_BOOL:
        for (std::string_view t : {"true", "1", "yes", "on"})
            if (SameLetters(text, t))
                return value.setBool(true), true;
        for (std::string_view f : {"false", "0", "no", "off"})
            if (SameLetters(text, f))
                return value.setBool(false), true;
        return Fail(why, bad);
    case VT_DATE: {
        DATE d = 0;
        if (!ParseDate(text, d))
            return Fail(why, bad + " (want an ISO 8601 date-time such as 2026-12-10T08:30:00)");
        value.setDate(d);
        return true;
    }
    case VT_R4:
    case VT_R8: {
        double d = 0;
        if (!ParseDouble(text, d))
            return Fail(why, bad);
        if (vt == VT_R4) {
            if (std::fabs(d) > std::numeric_limits<float>::max())
                return Fail(why, bad + " (out of range)");
            value.setR4(static_cast<float>(d));
        } else {
            value.setR8(d);
        }
        return true;
    }
    case VT_UI8: {
        ULONGLONG u = 0;
        if (!ParseInteger(text, u))
            return Fail(why, bad);
        value.setUI8(u);
        return true;
    }
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8: {
        LONGLONG n = 0;
        if (!ParseInteger(text, n)) {
            // A whole number written with a fraction part ("12.0") is still that number.
            double d = 0;
            if (!ParseDouble(text, d) || d != std::trunc(d) || std::fabs(d) > 9.0e18)
                return Fail(why, bad);
            n = static_cast<LONGLONG>(d);
        }
        com::Variant wide;
        wide.setI8(n);
        if (FAILED(wide.changeType(vt)))
            return Fail(why, bad + " (out of range)");
        value = std::move(wide);
        return true;
    }
    default:
        return Fail(why, "values of type " + VarTypeName(vt) + " cannot be written from text");
    }
}

std::string ElementText(const QJsonValue& v)
{
    if (v.isString())
        return v.toString().toStdString();
    if (v.isBool())
        return v.toBool() ? "true" : "false";
    if (v.isDouble())
        return Shortest(v.toDouble());
    return {};
}

}  // namespace

std::string VarTypeName(VARTYPE vt)
{
    std::string prefix;
    if (vt & VT_ARRAY)
        prefix += "VT_ARRAY|";
    if (vt & VT_BYREF)
        prefix += "VT_BYREF|";
    const VARTYPE base = vt & VT_TYPEMASK;
    for (const NamedType& t : kTypeNames)
        if (t.vt == base && (vt & ~(VT_ARRAY | VT_BYREF | VT_TYPEMASK)) == 0)
            return prefix + t.name;
    return std::to_string(vt);
}

std::string QualityText(WORD quality)
{
    static constexpr std::array<std::pair<WORD, const char*>, 15> kStatus = {{
        {OPC_QUALITY_GOOD, "good"},
        {OPC_QUALITY_LOCAL_OVERRIDE, "good (local override)"},
        {OPC_QUALITY_UNCERTAIN, "uncertain"},
        {OPC_QUALITY_LAST_USABLE, "uncertain (last usable value)"},
        {OPC_QUALITY_SENSOR_CAL, "uncertain (sensor not accurate)"},
        {OPC_QUALITY_EGU_EXCEEDED, "uncertain (units exceeded)"},
        {OPC_QUALITY_SUB_NORMAL, "uncertain (sub-normal)"},
        {OPC_QUALITY_BAD, "bad"},
        {OPC_QUALITY_CONFIG_ERROR, "bad (configuration error)"},
        {OPC_QUALITY_NOT_CONNECTED, "bad (not connected)"},
        {OPC_QUALITY_DEVICE_FAILURE, "bad (device failure)"},
        {OPC_QUALITY_SENSOR_FAILURE, "bad (sensor failure)"},
        {OPC_QUALITY_LAST_KNOWN, "bad (last known value)"},
        {OPC_QUALITY_COMM_FAILURE, "bad (communication failure)"},
        {OPC_QUALITY_OUT_OF_SERVICE, "bad (out of service)"},
    }};
    std::string text;
    const WORD status = quality & OPC_STATUS_MASK;
    for (const auto& [code, name] : kStatus)
        if (code == status)
            text = name;
    if (text.empty()) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02X", status);
        text = ((status & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD      ? "good "
                : (status & OPC_QUALITY_MASK) == OPC_QUALITY_UNCERTAIN ? "uncertain "
                                                                       : "bad ") +
               std::string(buf);
    }
    switch (quality & OPC_LIMIT_MASK) {
    case OPC_LIMIT_LOW:
        return text + ", low limited";
    case OPC_LIMIT_HIGH:
        return text + ", high limited";
    case OPC_LIMIT_CONST:
        return text + ", constant";
    default:
        return text;
    }
}

std::string FileTimeText(const FILETIME& time)
{
    const std::int64_t ticks = (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    if (ticks == 0)
        return {};
    const std::int64_t ms = (ticks - kUnixEpochTicks) / 10000;
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs).toStdString();
}

std::string DateText(DATE date)
{
    if (!std::isfinite(date) || std::fabs(date) > 2958466.0)
        return Shortest(date);
    // Before 1899-12-30 the day counts back and the fraction still runs forward.
    const double whole = std::trunc(date);
    std::int64_t ms = std::llround(std::fabs(date - whole) * kMsPerDay);
    std::int64_t days = static_cast<std::int64_t>(whole);
    if (ms >= kMsPerDay) {
        ms -= kMsPerDay;
        ++days;
    }
    const QDateTime t(kDateZero.addDays(days), QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms)));
    return t.toString(Qt::ISODateWithMs).toStdString();
}

std::string HResultText(HRESULT code)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(code));
    return buf;
}

QJsonValue VariantJson(const VARIANT& value)
{
    if (value.vt & VT_BYREF)
        return QString::fromStdString("<" + VarTypeName(value.vt) + ">");
    if (value.vt & VT_ARRAY)
        return ArrayJson(value.vt & VT_TYPEMASK, value.parray);
    if (value.vt == VT_VARIANT)
        return QString::fromStdString("<" + VarTypeName(value.vt) + ">");
    return ScalarJson(value.vt, &value.llVal);
}

std::string VariantText(const VARIANT& value)
{
    const QJsonValue v = VariantJson(value);
    if (v.isString())
        return v.toString().toStdString();
    if (v.isNull())
        return "(empty)";
    return JsonText(v);
}

bool ParseValue(const std::string& text, VARTYPE type, com::Variant& value, std::string* why)
{
    if (!(type & VT_ARRAY))
        return ParseScalar(text, type, value, why);
    const VARTYPE element = type & VT_TYPEMASK;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    if (!doc.isArray())
        return Fail(why, "\"" + text + "\" is no JSON array for type " + VarTypeName(type));
    const QJsonArray items = doc.array();
    SAFEARRAY* array = SafeArrayCreateVector(element, 0, static_cast<ULONG>(items.size()));
    if (!array)
        return Fail(why, "no array of type " + VarTypeName(type) + " can be made");
    com::Variant result;
    result.setArray(array);
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
        const std::string elementText = ElementText(items[i]);
        com::Variant v;
        if (!ParseScalar(elementText, element, v, why))
            return false;
        void* slot = element == VT_BSTR ? static_cast<void*>(v.get()->bstrVal) : static_cast<void*>(&v.get()->llVal);
        if (FAILED(SafeArrayPutElement(array, &i, slot)))
            return Fail(why, "element " + std::to_string(i) + " cannot be stored");
    }
    value = std::move(result);
    return true;
}

}  // namespace opcclient
