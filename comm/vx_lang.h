#pragma once
// The built-in Czech/English message catalogue. Texts are returned as UTF-8.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace vx {

// Catalogue ids the code asks for by role.
enum : std::int32_t {
    // Names of new objects, followed by their ID.
    kMsgNewStationName = 0,   // "Device"
    kMsgNewFolderName = 1,    // "Branch"
    kMsgNewVariableName = 2,  // "Item"
    // A port that would not open: the first text, the port number, the second text.
    kMsgPortNotFound = 103,      // "Port COM"
    kMsgPortNotFoundTail = 104,  // " was not found, or port is busy!"
};

// The text of a message id in the current Language (0 Czech, 1 English), read at every
// call. Unknown ids, and any other Language, give the empty text.
std::string GetLangText(std::int32_t id);

// printf-style filling of a catalogue text: "%s" and "%S" take a text, "%d" a number.
// A "%" that starts no placeholder stays as it is; arguments beyond the placeholders are
// ignored (the two languages of one text need not have the same placeholders), and a
// placeholder without an argument gives nothing.
using FormatArg = std::variant<std::string, std::int64_t>;
std::string FormatText(std::string_view format, std::initializer_list<FormatArg> args);

}  // namespace vx
