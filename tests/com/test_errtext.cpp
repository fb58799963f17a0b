#include <gtest/gtest.h>

#include "platform/com/errtext.h"
#include "platform/com/opcda.h"
#include "platform/com/registry.h"

namespace {

TEST(SystemMessageText, EnglishTextsOfTheSystemTable)
{
    struct Case {
        HRESULT code;
        const char16_t* text;
    };
    const Case cases[] = {
        {S_OK, u"The operation completed successfully."},
        {E_FAIL, u"Unspecified error"},
        {E_NOTIMPL, u"Not implemented"},
        {E_NOINTERFACE, u"No such interface supported"},
        {E_POINTER, u"Invalid pointer"},
        {E_UNEXPECTED, u"Catastrophic failure"},
        {E_OUTOFMEMORY, u"Not enough memory resources are available to complete this operation."},
        {E_INVALIDARG, u"The parameter is incorrect."},
        {E_ACCESSDENIED, u"Access is denied."},
        {DISP_E_TYPEMISMATCH, u"Type mismatch."},
        {DISP_E_OVERFLOW, u"Out of present range."},
        {DISP_E_BADVARTYPE, u"Bad variable type."},
        {REGDB_E_CLASSNOTREG, u"Class not registered"},
        {CLASS_E_NOAGGREGATION, u"Class does not support aggregation (or class object is remote)"},
        {CLASS_E_CLASSNOTAVAILABLE, u"ClassFactory cannot supply requested class"},
        {CO_E_NOTINITIALIZED, u"CoInitialize has not been called."},
        {CONNECT_E_NOCONNECTION, u"There is no connection for this connection ID"},
        {CONNECT_E_ADVISELIMIT, u"This implementation's limit for advisory connections has been reached"},
        {CONNECT_E_CANNOTCONNECT, u"Connection attempt failed"},
        // A Win32 code and its HRESULT share the text; S_FALSE is Win32 code 1.
        {5, u"Access is denied."},
        {87, u"The parameter is incorrect."},
        {S_FALSE, u"Incorrect function."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << static_cast<DWORD>(c.code));
        EXPECT_EQ(com::systemMessageText(c.code), std::u16string(c.text));
    }
}

TEST(SystemMessageText, NoTextForCodesTheSystemDoesNotKnow)
{
    for (HRESULT code : {MAKE_HR(0xC0040002), OPC_E_INVALIDHANDLE, OPC_S_UNSUPPORTEDRATE, MAKE_HR(0x80070999), MAKE_HR(0x12345678)}) {
        SCOPED_TRACE(testing::Message() << std::hex << static_cast<DWORD>(code));
        EXPECT_EQ(com::systemMessageText(code), std::nullopt);
    }
}

TEST(SystemMessageText, NoLineEndAtTheEnd)
{
    for (HRESULT code : {S_OK, E_FAIL, E_INVALIDARG, REGDB_E_CLASSNOTREG}) {
        const auto text = com::systemMessageText(code);
        ASSERT_TRUE(text);
        EXPECT_NE(text->back(), u'\n');
        EXPECT_NE(text->back(), u'\r');
    }
}

}  // namespace
