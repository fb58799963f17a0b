#pragma once
// Stand-in for HKEY_CLASSES_ROOT: a tree of keys, each with a default value and named string
// values, kept in a file of its own. Key paths are relative to the root and use "\" between
// names; key and value names compare without regard to case but keep the case they were
// created with.
//
// Also the two other system tables the server writes at registration, type libraries and
// clipboard formats, which are only recorded.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "types.h"

inline constexpr HRESULT REGDB_E_READREGDB = MAKE_HR(0x80040150);
inline constexpr HRESULT REGDB_E_WRITEREGDB = MAKE_HR(0x80040151);
inline constexpr HRESULT TYPE_E_REGISTRYACCESS = MAKE_HR(0x8002801C);

namespace com {

struct RegistryNode;

enum class RegResult {
    ok,
    notFound,     // the key or value does not exist
    hasSubkeys,   // deleteKey of a key that still has subkeys
    badName,      // empty path component, a name longer than 255 characters or with a control character, a path of
                  // more than 512 levels, or the root itself
    writeFailed,  // the backing file could not be written; nothing was changed (lastError says why)
};

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Loads the file and writes every later change through to it, atomically. A missing file
    // is an empty registry. A damaged or unreadable one also leaves the registry empty and
    // gives false with the reason in *error; a damaged file is first moved aside to
    // "<file>.damaged" so that the next change cannot overwrite what it held.
    bool attachFile(const std::filesystem::path& file, std::string* error = nullptr);
    // Keeps the content in memory only from now on.
    void detachFile();
    // The registry file's parser on bytes in memory: replaces the content with what bytes
    // hold, reading and writing no file. Damaged bytes leave the content as it was and give
    // false with the reason in *error.
    bool loadBytes(std::string_view bytes, std::string* error = nullptr);
    // The bytes of the registry file for the current content.
    std::string fileBytes() const;
    std::filesystem::path file() const;
    // Why the last change gave writeFailed.
    std::string lastError() const;

    // Creates the key and every missing key above it; an existing key is fine.
    RegResult createKey(std::u16string_view key);
    bool keyExists(std::u16string_view key) const;
    // An empty name is the key's default value. Creates the key when it is missing.
    RegResult setValue(std::u16string_view key, std::u16string_view name, std::u16string_view data);
    std::optional<std::u16string> value(std::u16string_view key, std::u16string_view name = {}) const;
    RegResult deleteValue(std::u16string_view key, std::u16string_view name);
    // Like RegDeleteKey: fails with hasSubkeys while the key has subkeys.
    RegResult deleteKey(std::u16string_view key);
    // Like RegDeleteTree: the key with everything below it. The empty path empties the whole
    // registry (the root itself stays).
    RegResult deleteTree(std::u16string_view key);
    // Names as created, in case-insensitive order; empty for a missing key.
    std::vector<std::u16string> subkeys(std::u16string_view key) const;
    // Named values only (the default value is not listed), in case-insensitive order.
    std::vector<std::u16string> valueNames(std::u16string_view key) const;

private:
    template <class Change>
    RegResult change(Change&& apply);

    mutable std::mutex mutex_;
    std::unique_ptr<RegistryNode> root_;
    std::filesystem::path file_;
    std::string lastError_;
};

// The CRC-32 that ends a registry file's text (the file's trailer line), for tools that
// build such files.
std::uint32_t registryChecksum(std::string_view data);

// The process's HKEY_CLASSES_ROOT; in memory until the program attaches a file.
Registry& classesRoot();

// What a type-library registration asked for.
struct TypeLibRegistration {
    GUID libid = GUID_NULL;
    WORD majorVersion = 0;
    WORD minorVersion = 0;
    LCID lcid = 0;
    std::u16string path;
    std::u16string helpDir;
};

// Records the registration, replacing one of the same library, version and locale. S_OK.
HRESULT registerTypeLib(const TypeLibRegistration& lib);
// TYPE_E_REGISTRYACCESS when no such registration was recorded.
HRESULT unregisterTypeLib(REFGUID libid, WORD majorVersion, WORD minorVersion, LCID lcid);
std::vector<TypeLibRegistration> registeredTypeLibs();

}  // namespace com

// A stable format number from 0xC000 on per name, the same for any letter case; 0 for a null
// or empty name.
UINT RegisterClipboardFormatW(LPCWSTR name);
