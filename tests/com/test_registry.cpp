#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/com/registry.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;
using com::Registry;
using com::RegResult;

std::string readAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeAll(const fs::path& p, const std::string& bytes)
{
    std::ofstream(p, std::ios::binary) << bytes;
}

// Every key with its values, "path|name=data" per line, to compare two registries.
std::string dump(const Registry& reg, const std::u16string& key = {})
{
    std::u16string out;
    for (const auto& name : reg.valueNames(key))
        out += key + u"|" + name + u"=" + *reg.value(key, name) + u"\n";
    if (const auto d = reg.value(key))
        out += key + u"|(default)=" + *d + u"\n";
    std::string text = plat::utf16ToUtf8(out);
    for (const auto& sub : reg.subkeys(key)) {
        const std::u16string path = key.empty() ? sub : key + u"\\" + sub;
        text += plat::utf16ToUtf8(path) + "\n" + dump(reg, path);
    }
    return text;
}

// A registry file with the given K and V lines, ended by a correct end mark.
std::string registryFile(const std::vector<std::string>& lines)
{
    std::string body = "VornRegistry 1\n";
    for (const auto& l : lines)
        body += l + "\n";
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char ch : body) {
        crc ^= static_cast<std::uint8_t>(ch);
        for (int k = 0; k < 8; ++k)
            crc = crc & 1 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    char end[40];
    std::snprintf(end, sizeof end, "E\t%zu\t%08X\n", lines.size(), crc ^ 0xFFFFFFFFu);
    return body + end;
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vx_registry_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        file_ = dir_ / "classes.reg";
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
    fs::path file_;
};

TEST_F(RegistryTest, KeysAndValuesIgnoreCaseButKeepIt)
{
    Registry reg;
    EXPECT_EQ(reg.setValue(u"CLSID\\{ABC}", u"", u"Server"), RegResult::ok);
    EXPECT_EQ(reg.setValue(u"clsid\\{abc}", u"ThreadingModel", u"Apartment"), RegResult::ok);
    EXPECT_EQ(reg.createKey(u"CLSID\\{abc}\\LocalServer32"), RegResult::ok);
    EXPECT_EQ(reg.createKey(u"Clsid"), RegResult::ok);  // exists: fine

    EXPECT_EQ(reg.value(u"Clsid\\{Abc}"), u"Server");
    EXPECT_EQ(reg.value(u"CLSID\\{ABC}", u"threadingmodel"), u"Apartment");
    EXPECT_EQ(reg.value(u"CLSID\\{ABC}", u"Missing"), std::nullopt);
    EXPECT_EQ(reg.value(u"CLSID\\{ABC}\\LocalServer32"), std::nullopt) << "a key without a default value";
    EXPECT_EQ(reg.subkeys(u""), std::vector<std::u16string>{u"CLSID"});
    EXPECT_EQ(reg.subkeys(u"CLSID"), std::vector<std::u16string>{u"{ABC}"});
    EXPECT_EQ(reg.valueNames(u"CLSID\\{ABC}"), std::vector<std::u16string>{u"ThreadingModel"});

    // Overwriting keeps one value; an empty string is a value too.
    EXPECT_EQ(reg.setValue(u"CLSID\\{ABC}", u"THREADINGMODEL", u""), RegResult::ok);
    EXPECT_EQ(reg.valueNames(u"CLSID\\{ABC}").size(), 1u);
    EXPECT_EQ(reg.value(u"CLSID\\{ABC}", u"ThreadingModel"), u"");

    EXPECT_EQ(reg.deleteValue(u"CLSID\\{ABC}", u"threadingModel"), RegResult::ok);
    EXPECT_EQ(reg.deleteValue(u"CLSID\\{ABC}", u"threadingModel"), RegResult::notFound);
    EXPECT_EQ(reg.deleteValue(u"NoSuchKey", u"x"), RegResult::notFound);
}

TEST_F(RegistryTest, MalformedNamesAreRefused)
{
    const std::u16string longName(256, u'k');
    const std::u16string paths[] = {u"A\\\\B", u"\\A", u"A\\", longName, u"Bad\tName", u"A\\" + longName};
    Registry reg;
    for (const auto& p : paths) {
        SCOPED_TRACE(std::string(p.begin(), p.end()));
        EXPECT_EQ(reg.createKey(p), RegResult::badName);
        EXPECT_EQ(reg.setValue(p, u"", u"x"), RegResult::badName);
        EXPECT_FALSE(reg.keyExists(p));
    }
    EXPECT_EQ(reg.createKey(std::u16string(255, u'k')), RegResult::ok);
    EXPECT_EQ(reg.setValue(u"A", std::u16string(16384, u'v'), u"x"), RegResult::badName);
    EXPECT_EQ(reg.deleteKey(u""), RegResult::badName) << "the root cannot go";
    EXPECT_EQ(reg.subkeys(u"").size(), 1u) << "nothing else was created";
}

TEST_F(RegistryTest, KeysGoAtMost512LevelsDeep)
{
    auto chain = [](std::size_t levels) {
        std::u16string path = u"k";
        for (std::size_t i = 1; i < levels; ++i)
            path += u"\\k";
        return path;
    };
    Registry reg;
    EXPECT_EQ(reg.createKey(chain(512)), RegResult::ok);
    EXPECT_EQ(reg.createKey(chain(513)), RegResult::badName);
    EXPECT_EQ(reg.setValue(chain(513), u"", u"x"), RegResult::badName);
    EXPECT_FALSE(reg.keyExists(chain(513)));

    // A file with a far deeper key, whose end mark is right, is damaged all the same: loading it
    // must neither take quadratic time nor run out of stack.
    writeAll(file_, registryFile({"K\t" + plat::utf16ToUtf8(chain(200'000)), "V\tname\tdata"}));
    Registry loaded;
    std::string error;
    EXPECT_FALSE(loaded.attachFile(file_, &error));
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    EXPECT_TRUE(loaded.subkeys(u"").empty());

    writeAll(file_, registryFile({"K\t" + plat::utf16ToUtf8(chain(512)), "V\tname\tdata"}));
    EXPECT_TRUE(loaded.attachFile(file_, &error)) << error;
    EXPECT_EQ(loaded.value(chain(512), u"name"), u"data");
}

TEST_F(RegistryTest, DeleteKeyNeedsALeafAndDeleteTreeTakesEverything)
{
    Registry reg;
    reg.setValue(u"Vorn OPC Server\\Clsid", u"", u"{806F6780-14F5-4D43-BF45-BB508ED2B724}");
    reg.createKey(u"Vorn OPC Server\\OPC");
    reg.setValue(u"Other", u"", u"kept");

    EXPECT_EQ(reg.deleteKey(u"Vorn OPC Server"), RegResult::hasSubkeys);
    EXPECT_TRUE(reg.keyExists(u"Vorn OPC Server\\Clsid"));
    EXPECT_EQ(reg.deleteKey(u"vorn opc server\\opc"), RegResult::ok);
    EXPECT_EQ(reg.deleteKey(u"Vorn OPC Server\\OPC"), RegResult::notFound);

    EXPECT_EQ(reg.deleteTree(u"VORN OPC SERVER"), RegResult::ok);
    EXPECT_FALSE(reg.keyExists(u"Vorn OPC Server"));
    EXPECT_FALSE(reg.keyExists(u"Vorn OPC Server\\Clsid"));
    EXPECT_EQ(reg.deleteTree(u"Vorn OPC Server"), RegResult::notFound);
    EXPECT_EQ(reg.value(u"Other"), u"kept");

    EXPECT_EQ(reg.deleteTree(u""), RegResult::ok);
    EXPECT_TRUE(reg.subkeys(u"").empty());
    EXPECT_TRUE(reg.keyExists(u""));
}

TEST_F(RegistryTest, ContentSurvivesAReloadInAFreshRegistry)
{
    {
        Registry reg;
        ASSERT_TRUE(reg.attachFile(file_));  // missing: empty
        EXPECT_FALSE(fs::exists(file_));
        reg.setValue(u"Vorn OPC Server", u"", u"VORN Data Access Server Version 2.0");
        reg.createKey(u"Vorn OPC Server\\OPC");
        reg.setValue(u"CLSID\\{X}\\LocalServer32", u"", u"/opt/vorn/bin/vornopc");
        reg.setValue(u"Tricky", u"tab\there", u"line\r\nbreak % 100%25 \\ back");
        reg.setValue(u"Tricky", u"unicode", u"Řídicí systém \U0001F527");
        reg.setValue(u"Tricky", u"lone", std::u16string{u'a', char16_t(0xD800), u'b', u'\0', u'c'});
        reg.setValue(u"Tricky", u"", u"");
        reg.setValue(u"", u"rootvalue", u"at the root");
        reg.createKey(u"Empty\\Deep\\Chain");
        reg.deleteTree(u"Empty\\Deep\\Chain");
    }
    EXPECT_FALSE(fs::exists(file_.string() + ".tmp"));

    Registry again;
    std::string error;
    ASSERT_TRUE(again.attachFile(file_, &error)) << error;
    EXPECT_EQ(again.value(u"vorn opc server"), u"VORN Data Access Server Version 2.0");
    EXPECT_TRUE(again.keyExists(u"Vorn OPC Server\\OPC"));
    EXPECT_EQ(again.value(u"Tricky", u"tab\there"), u"line\r\nbreak % 100%25 \\ back");
    EXPECT_EQ(again.value(u"Tricky", u"unicode"), u"Řídicí systém \U0001F527");
    EXPECT_EQ(again.value(u"Tricky", u"lone"), (std::u16string{u'a', char16_t(0xD800), u'b', u'\0', u'c'}));
    EXPECT_EQ(again.value(u"Tricky"), u"");
    EXPECT_EQ(again.value(u"", u"rootvalue"), u"at the root");
    EXPECT_TRUE(again.keyExists(u"Empty\\Deep"));
    EXPECT_FALSE(again.keyExists(u"Empty\\Deep\\Chain"));

    Registry third;
    ASSERT_TRUE(third.attachFile(file_));
    EXPECT_EQ(dump(third), dump(again));
    EXPECT_FALSE(dump(third).empty());
}

TEST_F(RegistryTest, DamagedFileGivesAnEmptyRegistryAndKeepsTheDamagedBytes)
{
    {
        Registry reg;
        ASSERT_TRUE(reg.attachFile(file_));
        reg.setValue(u"Vorn OPC Server\\Clsid", u"", u"{806F6780-14F5-4D43-BF45-BB508ED2B724}");
        reg.setValue(u"CLSID\\{806F6780-14F5-4D43-BF45-BB508ED2B724}", u"", u"VORN OPC Data Access 2.0");
    }
    const std::string good = readAll(file_);
    ASSERT_GT(good.size(), 40u);

    std::mt19937 rng(20240611);
    std::string noise(300, '\0');
    for (char& c : noise)
        c = static_cast<char>(rng());
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x20;
    std::string lostLine = good;
    const std::size_t keyLine = good.find("\nK\t") + 1;
    lostLine.erase(keyLine, good.find('\n', keyLine) + 1 - keyLine);

    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"random bytes", noise},
        {"empty", ""},
        {"cut in the middle", good.substr(0, good.size() / 2)},
        {"last byte missing", good.substr(0, good.size() - 1)},
        {"end mark missing", good.substr(0, good.rfind("E\t"))},
        {"one byte changed", flipped},
        {"a line missing", lostLine},
        {"trailing garbage", good + "K\tExtra\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeAll(file_, c.bytes);
        Registry reg;
        std::string error;
        EXPECT_FALSE(reg.attachFile(file_, &error));
        EXPECT_NE(error.find("damaged"), std::string::npos) << error;
        EXPECT_TRUE(reg.subkeys(u"").empty());
        EXPECT_EQ(readAll(file_.string() + ".damaged"), c.bytes) << "the damaged content is kept";

        // The registry goes on working and its next change makes a good file again.
        EXPECT_EQ(reg.setValue(u"Fresh", u"", u"start"), RegResult::ok);
        Registry reloaded;
        EXPECT_TRUE(reloaded.attachFile(file_));
        EXPECT_EQ(reloaded.value(u"Fresh"), u"start");
        EXPECT_EQ(readAll(file_.string() + ".damaged"), c.bytes);
    }
}

// The parser the file feeds, on bytes in memory: what a registry's file holds loads into
// another registry with no file, and damaged bytes change nothing.
TEST_F(RegistryTest, TheFileParserTakesBytesInMemory)
{
    Registry reg;
    ASSERT_TRUE(reg.attachFile(file_));
    reg.setValue(u"CLSID\\{X}\\LocalServer32", u"", u"/opt/vorn/bin/vornopc");
    reg.setValue(u"Tricky", u"lone", std::u16string{u'a', char16_t(0xD800), u'%', u'\n'});
    EXPECT_EQ(reg.fileBytes(), readAll(file_));

    Registry copy;
    std::string error;
    ASSERT_TRUE(copy.loadBytes(reg.fileBytes(), &error)) << error;
    EXPECT_EQ(dump(copy), dump(reg));
    EXPECT_TRUE(copy.file().empty());

    const std::string before = dump(copy);
    const std::string damaged[] = {"", "VornRegistry 1\n", registryFile({"K\tA\\\\B"}), registryFile({"X\ty"}),
                                   registryFile({"V\tname"}), reg.fileBytes().substr(1)};
    for (const std::string& bytes : damaged) {
        error.clear();
        EXPECT_FALSE(copy.loadBytes(bytes, &error)) << bytes;
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(dump(copy), before);
    }
    ASSERT_TRUE(copy.loadBytes(registryFile({"V\troot\tvalue", "K\tA\\B", "V\t\tdefault"})));
    EXPECT_EQ(copy.value(u"", u"root"), u"value");
    EXPECT_EQ(copy.value(u"a\\b"), u"default");
}

TEST_F(RegistryTest, UnreadableFileIsNotOverwritten)
{
    fs::create_directory(file_);  // a folder where the file should be
    Registry reg;
    std::string error;
    EXPECT_FALSE(reg.attachFile(file_, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(reg.file().empty()) << "stays in memory only";
    EXPECT_EQ(reg.setValue(u"A", u"", u"b"), RegResult::ok);
    EXPECT_TRUE(fs::is_directory(file_));
}

TEST_F(RegistryTest, FailedWriteChangesNothing)
{
    writeAll(dir_ / "plain", "not a folder");
    Registry reg;
    ASSERT_TRUE(reg.attachFile(dir_ / "plain" / "classes.reg"));
    EXPECT_EQ(reg.setValue(u"A", u"", u"b"), RegResult::writeFailed);
    EXPECT_FALSE(reg.lastError().empty());
    EXPECT_FALSE(reg.keyExists(u"A"));

    reg.detachFile();
    EXPECT_EQ(reg.setValue(u"A", u"", u"b"), RegResult::ok);
    EXPECT_EQ(reg.value(u"A"), u"b");
}

TEST(ClipboardFormats, OneStableNumberPerNameInAnyCase)
{
    const UINT data = RegisterClipboardFormatW(u"OPCSTMFORMATDATA");
    const UINT time = RegisterClipboardFormatW(u"OPCSTMFORMATDATATIME");
    const UINT write = RegisterClipboardFormatW(u"OPCSTMFORMATWRITECOMPLETE");
    EXPECT_GE(data, 0xC000u);
    EXPECT_NE(data, time);
    EXPECT_NE(time, write);
    EXPECT_NE(data, write);
    EXPECT_EQ(RegisterClipboardFormatW(u"OPCSTMFORMATDATA"), data);
    EXPECT_EQ(RegisterClipboardFormatW(u"opcstmformatdata"), data);
    EXPECT_EQ(RegisterClipboardFormatW(u""), 0u);
    EXPECT_EQ(RegisterClipboardFormatW(nullptr), 0u);
}

TEST(TypeLibraries, RegistrationIsRecordedOnce)
{
    const GUID libid = {0x499F44E9, 0xF6DA, 0x49C7, {0xAF, 0x70, 0x68, 0x8F, 0x79, 0x46, 0x03, 0xCE}};
    const auto before = com::registeredTypeLibs().size();
    EXPECT_EQ(com::registerTypeLib({libid, 2, 0, 0x409, u"/old/path", u""}), S_OK);
    EXPECT_EQ(com::registerTypeLib({libid, 2, 0, 0x409, u"/new/path", u""}), S_OK);
    const auto libs = com::registeredTypeLibs();
    ASSERT_EQ(libs.size(), before + 1);
    EXPECT_EQ(libs.back().path, u"/new/path");

    EXPECT_EQ(com::unregisterTypeLib(libid, 2, 1, 0x409), TYPE_E_REGISTRYACCESS) << "another version";
    EXPECT_EQ(com::unregisterTypeLib(libid, 2, 0, 0x409), S_OK);
    EXPECT_EQ(com::unregisterTypeLib(libid, 2, 0, 0x409), TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(com::registeredTypeLibs().size(), before);
}

}  // namespace
