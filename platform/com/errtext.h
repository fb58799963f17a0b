#pragma once
// English texts of the system message table for result codes, as the system's message
// formatting gives them for FORMAT_MESSAGE_FROM_SYSTEM, but without the CR LF that ends every
// entry there (callers that show a text in one line would only strip it again).
#include <optional>
#include <string>

#include "types.h"

namespace com {

// nullopt for a code the table has no entry for (the OPC codes among them).
std::optional<std::u16string> systemMessageText(HRESULT code);

}  // namespace com
