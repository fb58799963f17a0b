#pragma once
// The client's view of OPC values: VARIANTs, qualities, times and result codes as text for
// people and as JSON for scripts, and the values a user types in turned into VARIANTs of an
// item's type.
#include <QJsonValue>
#include <string>

#include "platform/com/filetime.h"
#include "platform/com/variant.h"

namespace opcclient {

// "VT_I2", "VT_ARRAY|VT_R4"; an unknown type as its number.
std::string VarTypeName(VARTYPE vt);
// "good", "good (local override)", "bad (comm failure)", ... ; limit bits are added.
std::string QualityText(WORD quality);
// ISO 8601 in UTC with milliseconds ("2026-12-10T17:20:01.123Z"); empty for the zero time.
std::string FileTimeText(const FILETIME& time);
// A date-time of a VT_DATE value (local, as the server keeps it), ISO 8601 without a zone.
std::string DateText(DATE date);
// "0xC0040007".
std::string HResultText(HRESULT code);

// null for VT_EMPTY and VT_NULL, numbers, Booleans, strings (dates as DateText), arrays of
// one dimension as arrays; anything else as a text naming its type.
QJsonValue VariantJson(const VARIANT& value);
// What VariantJson gives, written for people: strings bare at the top, quoted inside arrays.
std::string VariantText(const VARIANT& value);

// text as a value of type: numbers in C notation (no locale), Booleans as true/false, 1/0,
// yes/no or on/off, dates as ISO 8601 local date-times, strings as they are; an array type
// takes a JSON array ("[1, 2, 3]", "[\"a\", \"b\"]") of such values. false with the reason in
// *why when text is no such value or does not fit the type.
bool ParseValue(const std::string& text, VARTYPE type, com::Variant& value, std::string* why);

}  // namespace opcclient
