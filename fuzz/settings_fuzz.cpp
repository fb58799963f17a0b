// The settings file's reader on any bytes: reading every key the program reads never fails,
// and what is written then reads back, in the same object and after parsing its bytes again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/inifile.h"
#include "fuzz_check.h"
#include "platform/text.h"

namespace {

constexpr std::string_view kSections[] = {"Main", "ConfigTree", "ConfigList", "Communication",
                                          "DataFlowControl", "Modem", "Ports"};

// The value from the input that the round trip writes: valid UTF-8 without line breaks only,
// the text a caller of WriteString gives.
bool Writable(std::string_view text)
{
    return text.size() <= vos::IniFile::kMaxStringLength && text.find_first_of("\r\n") == std::string_view::npos &&
           plat::utf16ToUtf8(plat::utf8ToUtf16(text)) == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    vos::IniFile ini = vos::IniFile::FromBytes(bytes);
    FUZZ_CHECK(ini.Content() == bytes);

    // As many keys per section as the program reads at most: every read walks the lines.
    for (const std::string_view section : kSections) {
        (void)ini.SectionExists(section);
        const std::vector<std::string> keys = ini.ReadSection(section);
        for (std::size_t i = 0; i < keys.size() && i < 32; ++i) {
            const std::string& key = keys[i];
            (void)ini.ReadString(section, key, "");
            (void)ini.ReadInteger(section, key, 0);
            (void)ini.ReadBool(section, key, false);
        }
    }

    // The value is the input's last line, when it is text.
    const std::size_t lastBreak = bytes.find_last_of("\r\n");
    const std::string_view tail = lastBreak == std::string_view::npos ? bytes : bytes.substr(lastBreak + 1);
    const std::string text = Writable(tail) ? std::string(tail) : std::string(" \"Příliš\" ");
    ini.WriteString("Main", "CfgFileName", text);
    ini.WriteInteger("Communication", "ServerAddress", -2147483647 - 1);
    ini.WriteBool("Fuzz New Section", "Flag", true);
    ini.DeleteKey("Modem", "timSameCall");

    const vos::IniFile again = vos::IniFile::FromBytes(ini.Content());
    for (const vos::IniFile* file : {static_cast<const vos::IniFile*>(&ini), &again}) {
        FUZZ_CHECK(file->ReadString("Main", "CfgFileName", "absent") == text);
        FUZZ_CHECK(file->ReadInteger("Communication", "ServerAddress", 0) == -2147483647 - 1);
        FUZZ_CHECK(file->ReadBool("Fuzz New Section", "Flag", false));
    }
    FUZZ_CHECK(again.Content() == ini.Content());
    return 0;
}
