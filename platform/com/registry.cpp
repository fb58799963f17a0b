#include "registry.h"

#include <QString>
#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/savefile.h"
#include "platform/text.h"

namespace com {

struct RegValue {
    std::u16string name;  // empty: the key's default value
    std::u16string folded;
    std::u16string data;
};

struct RegistryNode {
    std::u16string name;
    std::u16string folded;
    std::vector<RegValue> values;
    std::vector<RegistryNode> children;
};

namespace {

constexpr std::size_t maxKeyName = 255;
// As deep as a Windows registry tree may go. The limit also bounds the recursion of copying,
// writing and freeing a tree, and the work of loading one key line.
constexpr std::size_t maxKeyDepth = 512;
constexpr std::size_t maxValueName = 16383;
constexpr std::string_view fileHeader = "VornRegistry 1";

// The registry compares names by their upper-case form, as Windows does.
std::u16string fold(std::u16string_view s)
{
    const QString upper = QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size())).toUpper();
    return std::u16string(reinterpret_cast<const char16_t*>(upper.constData()), static_cast<std::size_t>(upper.size()));
}

// Folded path components; nullopt for a malformed path. The empty path is the root.
std::optional<std::vector<std::u16string>> splitPath(std::u16string_view path)
{
    std::vector<std::u16string> parts;
    if (path.empty())
        return parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(path.find(u'\\', start), path.size());
        const std::u16string_view part = path.substr(start, end - start);
        if (part.empty() || part.size() > maxKeyName || parts.size() == maxKeyDepth)
            return std::nullopt;
        if (std::any_of(part.begin(), part.end(), [](char16_t c) { return c < 0x20; }))
            return std::nullopt;
        parts.push_back(fold(part));
        if (end == path.size())
            break;
        start = end + 1;
    }
    return parts;
}

// The original spelling of the last component, for a key about to be created.
std::u16string_view component(std::u16string_view path, std::size_t index)
{
    std::size_t start = 0;
    for (std::size_t i = 0; i < index; ++i)
        start = path.find(u'\\', start) + 1;
    const std::size_t end = std::min(path.find(u'\\', start), path.size());
    return path.substr(start, end - start);
}

RegistryNode* child(RegistryNode& node, const std::u16string& folded)
{
    auto it = std::find_if(node.children.begin(), node.children.end(), [&](const RegistryNode& c) { return c.folded == folded; });
    return it == node.children.end() ? nullptr : &*it;
}

const RegistryNode* child(const RegistryNode& node, const std::u16string& folded)
{
    return child(const_cast<RegistryNode&>(node), folded);
}

const RegistryNode* find(const RegistryNode& root, const std::vector<std::u16string>& parts)
{
    const RegistryNode* node = &root;
    for (const auto& p : parts) {
        node = child(*node, p);
        if (!node)
            return nullptr;
    }
    return node;
}

RegistryNode* find(RegistryNode& root, const std::vector<std::u16string>& parts)
{
    return const_cast<RegistryNode*>(find(const_cast<const RegistryNode&>(root), parts));
}

RegistryNode& create(RegistryNode& root, std::u16string_view path, const std::vector<std::u16string>& parts)
{
    RegistryNode* node = &root;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        RegistryNode* next = child(*node, parts[i]);
        if (!next) {
            node->children.push_back(RegistryNode{std::u16string(component(path, i)), parts[i], {}, {}});
            next = &node->children.back();
        }
        node = next;
    }
    return *node;
}

RegValue* findValue(RegistryNode& node, const std::u16string& folded)
{
    auto it = std::find_if(node.values.begin(), node.values.end(), [&](const RegValue& v) { return v.folded == folded; });
    return it == node.values.end() ? nullptr : &*it;
}

void setValueOf(RegistryNode& node, std::u16string_view name, std::u16string_view data)
{
    std::u16string folded = fold(name);
    if (RegValue* v = findValue(node, folded))
        v->data = data;
    else
        node.values.push_back(RegValue{std::u16string(name), std::move(folded), std::u16string(data)});
}

template <class T>
std::vector<const T*> sortedByFold(const std::vector<T>& items)
{
    std::vector<const T*> out;
    for (const T& i : items)
        out.push_back(&i);
    std::sort(out.begin(), out.end(), [](const T* a, const T* b) { return a->folded < b->folded; });
    return out;
}

// Names as created, in case-insensitive order. The empty name, which only the default value
// has (a key's never is), is left out.
template <class T>
std::vector<std::u16string> namesInOrder(const std::vector<T>& items)
{
    std::vector<std::u16string> out;
    for (const T* i : sortedByFold(items))
        if (!i->name.empty())
            out.push_back(i->name);
    return out;
}

// --- file format: UTF-8 lines "K\t<path>" and "V\t<name>\t<data>" after a header line, ended
// by "E\t<lines>\t<crc32>" so that a truncated or altered file is recognised. Control
// characters, '%' and lone surrogates are written as %XX or %uXXXX.

std::string encode(std::u16string_view s)
{
    std::u16string esc;
    char buf[8];
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            esc += c;
            esc += s[++i];
        } else if (high || low) {
            std::snprintf(buf, sizeof buf, "%%u%04X", static_cast<unsigned>(c));
            esc.append(buf, buf + 6);
        } else if (c < 0x20 || c == u'%') {
            std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned>(c));
            esc.append(buf, buf + 3);
        } else {
            esc += c;
        }
    }
    return plat::utf16ToUtf8(esc);
}

std::optional<std::u16string> decode(std::string_view utf8)
{
    const std::u16string s = plat::utf8ToUtf16(utf8);
    if (plat::utf16ToUtf8(s) != utf8)
        return std::nullopt;  // not valid UTF-8
    auto hex = [&](std::size_t pos, std::size_t digits) -> std::optional<char16_t> {
        if (pos + digits > s.size())
            return std::nullopt;
        unsigned v = 0;
        for (std::size_t i = pos; i < pos + digits; ++i) {
            const char16_t c = s[i];
            const int d = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;
            if (d < 0)
                return std::nullopt;
            v = v * 16 + static_cast<unsigned>(d);
        }
        return static_cast<char16_t>(v);
    };
    std::u16string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != u'%') {
            out += s[i];
            continue;
        }
        const bool wide = i + 1 < s.size() && s[i + 1] == u'u';
        const auto c = wide ? hex(i + 2, 4) : hex(i + 1, 2);
        if (!c)
            return std::nullopt;
        out += *c;
        i += wide ? 5 : 2;
    }
    return out;
}

}  // namespace

std::uint32_t registryChecksum(std::string_view data)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char ch : data)
        crc = table[(crc ^ static_cast<std::uint8_t>(ch)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

namespace {

void serializeValues(const RegistryNode& node, std::string& out, std::size_t& lines)
{
    for (const RegValue* v : sortedByFold(node.values)) {
        out += "V\t" + encode(v->name) + "\t" + encode(v->data) + "\n";
        ++lines;
    }
}

void serializeKeys(const RegistryNode& node, const std::u16string& path, std::string& out, std::size_t& lines)
{
    for (const RegistryNode* c : sortedByFold(node.children)) {
        const std::u16string sub = path.empty() ? c->name : path + u"\\" + c->name;
        out += "K\t" + encode(sub) + "\n";
        ++lines;
        serializeValues(*c, out, lines);
        serializeKeys(*c, sub, out, lines);
    }
}

std::string serialize(const RegistryNode& root)
{
    std::string out = std::string(fileHeader) + "\n";
    std::size_t lines = 0;
    serializeValues(root, out, lines);
    serializeKeys(root, {}, out, lines);
    char trailer[40];
    std::snprintf(trailer, sizeof trailer, "E\t%zu\t%08X\n", lines, registryChecksum(out));
    return out + trailer;
}

bool parse(std::string_view bytes, RegistryNode& root, std::string& why)
{
    if (bytes.empty() || bytes.back() != '\n') {
        why = "it does not end with a complete line";
        return false;
    }
    const std::size_t lastStart = bytes.rfind('\n', bytes.size() - 2);
    if (lastStart == std::string_view::npos) {
        why = "it has no content";
        return false;
    }
    const std::string_view body = bytes.substr(0, lastStart + 1);
    const std::string_view trailer = bytes.substr(lastStart + 1, bytes.size() - lastStart - 2);
    if (body.substr(0, fileHeader.size() + 1) != std::string(fileHeader) + "\n") {
        why = "it is not a registry file";
        return false;
    }
    std::size_t lines = 0;
    unsigned crc = 0;
    char end = 0;
    if (trailer.size() > 32 || std::sscanf(std::string(trailer).c_str(), "E\t%zu\t%8X%c", &lines, &crc, &end) != 2) {
        why = "its end mark is missing (the file is truncated)";
        return false;
    }
    if (crc != registryChecksum(body)) {
        why = "its checksum does not match";
        return false;
    }

    RegistryNode* current = &root;
    std::size_t count = 0;
    std::size_t pos = fileHeader.size() + 1;
    while (pos < body.size()) {
        const std::size_t eol = body.find('\n', pos);
        const std::string_view line = body.substr(pos, eol - pos);
        pos = eol + 1;
        ++count;
        const std::size_t tab2 = line.find('\t', 2);
        if (line.substr(0, 2) == "K\t" && tab2 == std::string_view::npos) {
            const auto path = decode(line.substr(2));
            const auto parts = path ? splitPath(*path) : std::nullopt;
            if (!parts || parts->empty()) {
                why = "line " + std::to_string(count + 1) + " names an invalid key";
                return false;
            }
            current = &create(root, *path, *parts);
        } else if (line.substr(0, 2) == "V\t" && tab2 != std::string_view::npos) {
            const auto name = decode(line.substr(2, tab2 - 2));
            const auto data = decode(line.substr(tab2 + 1));
            if (!name || !data || name->size() > maxValueName) {
                why = "line " + std::to_string(count + 1) + " holds an invalid value";
                return false;
            }
            setValueOf(*current, *name, *data);
        } else {
            why = "line " + std::to_string(count + 1) + " is not understood";
            return false;
        }
    }
    if (count != lines) {
        why = "its line count does not match";
        return false;
    }
    return true;
}

bool writeFile(const std::filesystem::path& file, const RegistryNode& root, std::string& error)
{
    try {
        plat::SaveFile(file, serialize(root), {.createFolders = true});
        return true;
    } catch (const plat::SaveFileError& e) {
        error = e.what();
        return false;
    }
}

}  // namespace

Registry::Registry() : root_(std::make_unique<RegistryNode>()) {}

Registry::~Registry() = default;

template <class Change>
RegResult Registry::change(Change&& apply)
{
    std::lock_guard lock(mutex_);
    RegistryNode next = *root_;
    const RegResult r = apply(next);
    if (r != RegResult::ok)
        return r;
    if (!file_.empty()) {
        std::string error;
        if (!writeFile(file_, next, error)) {
            lastError_ = error;
            return RegResult::writeFailed;
        }
    }
    *root_ = std::move(next);
    return RegResult::ok;
}

bool Registry::attachFile(const std::filesystem::path& file, std::string* error)
{
    std::lock_guard lock(mutex_);
    *root_ = RegistryNode{};
    file_.clear();
    auto fail = [&](std::string text) {
        if (error)
            *error = std::move(text);
        return false;
    };

    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        file_ = file;
        return true;
    }
    std::ifstream in(file, std::ios::binary);
    if (ec || status.type() != std::filesystem::file_type::regular || !in)
        return fail("The registry file " + file.string() + " cannot be read; the registry stays in memory only.");
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        return fail("The registry file " + file.string() + " cannot be read; the registry stays in memory only.");
    in.close();

    RegistryNode loaded;
    std::string why;
    if (parse(content.str(), loaded, why)) {
        *root_ = std::move(loaded);
        file_ = file;
        return true;
    }
    std::filesystem::path aside = file;
    aside += ".damaged";
    std::filesystem::rename(file, aside, ec);
    if (ec)
        return fail("The registry file " + file.string() + " is damaged (" + why + ") and cannot be moved aside (" +
                    ec.message() + "); the registry is empty and stays in memory only.");
    file_ = file;
    return fail("The registry file " + file.string() + " is damaged (" + why + "); the registry starts empty and the old file is kept as " +
                aside.string() + ".");
}

bool Registry::loadBytes(std::string_view bytes, std::string* error)
{
    RegistryNode loaded;
    std::string why;
    if (!parse(bytes, loaded, why)) {
        if (error)
            *error = why;
        return false;
    }
    std::lock_guard lock(mutex_);
    *root_ = std::move(loaded);
    return true;
}

std::string Registry::fileBytes() const
{
    std::lock_guard lock(mutex_);
    return serialize(*root_);
}

void Registry::detachFile()
{
    std::lock_guard lock(mutex_);
    file_.clear();
}

std::filesystem::path Registry::file() const
{
    std::lock_guard lock(mutex_);
    return file_;
}

std::string Registry::lastError() const
{
    std::lock_guard lock(mutex_);
    return lastError_;
}

RegResult Registry::createKey(std::u16string_view key)
{
    const auto parts = splitPath(key);
    if (!parts)
        return RegResult::badName;
    return change([&](RegistryNode& root) {
        create(root, key, *parts);
        return RegResult::ok;
    });
}

bool Registry::keyExists(std::u16string_view key) const
{
    const auto parts = splitPath(key);
    std::lock_guard lock(mutex_);
    return parts && find(*root_, *parts);
}

RegResult Registry::setValue(std::u16string_view key, std::u16string_view name, std::u16string_view data)
{
    const auto parts = splitPath(key);
    if (!parts || name.size() > maxValueName)
        return RegResult::badName;
    return change([&](RegistryNode& root) {
        setValueOf(create(root, key, *parts), name, data);
        return RegResult::ok;
    });
}

std::optional<std::u16string> Registry::value(std::u16string_view key, std::u16string_view name) const
{
    const auto parts = splitPath(key);
    std::lock_guard lock(mutex_);
    RegistryNode* node = parts ? find(*root_, *parts) : nullptr;
    const RegValue* v = node ? findValue(*node, fold(name)) : nullptr;
    if (!v)
        return std::nullopt;
    return v->data;
}

RegResult Registry::deleteValue(std::u16string_view key, std::u16string_view name)
{
    const auto parts = splitPath(key);
    if (!parts)
        return RegResult::badName;
    return change([&](RegistryNode& root) {
        RegistryNode* node = find(root, *parts);
        if (!node)
            return RegResult::notFound;
        const std::u16string folded = fold(name);
        const auto it = std::find_if(node->values.begin(), node->values.end(), [&](const RegValue& v) { return v.folded == folded; });
        if (it == node->values.end())
            return RegResult::notFound;
        node->values.erase(it);
        return RegResult::ok;
    });
}

namespace {

RegResult removeKey(RegistryNode& root, const std::vector<std::u16string>& parts, bool withSubkeys)
{
    const std::vector<std::u16string> parentParts(parts.begin(), parts.end() - 1);
    RegistryNode* parent = find(root, parentParts);
    RegistryNode* node = parent ? child(*parent, parts.back()) : nullptr;
    if (!node)
        return RegResult::notFound;
    if (!withSubkeys && !node->children.empty())
        return RegResult::hasSubkeys;
    parent->children.erase(parent->children.begin() + (node - parent->children.data()));
    return RegResult::ok;
}

}  // namespace

RegResult Registry::deleteKey(std::u16string_view key)
{
    const auto parts = splitPath(key);
    if (!parts || parts->empty())
        return RegResult::badName;
    return change([&](RegistryNode& root) { return removeKey(root, *parts, false); });
}

RegResult Registry::deleteTree(std::u16string_view key)
{
    const auto parts = splitPath(key);
    if (!parts)
        return RegResult::badName;
    return change([&](RegistryNode& root) {
        if (!parts->empty())
            return removeKey(root, *parts, true);
        root = RegistryNode{};
        return RegResult::ok;
    });
}

std::vector<std::u16string> Registry::subkeys(std::u16string_view key) const
{
    const auto parts = splitPath(key);
    std::lock_guard lock(mutex_);
    const RegistryNode* node = parts ? find(*root_, *parts) : nullptr;
    return node ? namesInOrder(node->children) : std::vector<std::u16string>{};
}

std::vector<std::u16string> Registry::valueNames(std::u16string_view key) const
{
    const auto parts = splitPath(key);
    std::lock_guard lock(mutex_);
    const RegistryNode* node = parts ? find(*root_, *parts) : nullptr;
    return node ? namesInOrder(node->values) : std::vector<std::u16string>{};
}

Registry& classesRoot()
{
    static Registry registry;
    return registry;
}

namespace {

std::mutex typeLibMutex;
std::vector<TypeLibRegistration> typeLibs;

bool sameLib(const TypeLibRegistration& r, REFGUID libid, WORD major, WORD minor, LCID lcid)
{
    return r.libid == libid && r.majorVersion == major && r.minorVersion == minor && r.lcid == lcid;
}

}  // namespace

HRESULT registerTypeLib(const TypeLibRegistration& lib)
{
    std::lock_guard lock(typeLibMutex);
    const auto it = std::find_if(typeLibs.begin(), typeLibs.end(), [&](const TypeLibRegistration& r) {
        return sameLib(r, lib.libid, lib.majorVersion, lib.minorVersion, lib.lcid);
    });
    if (it != typeLibs.end())
        *it = lib;
    else
        typeLibs.push_back(lib);
    return S_OK;
}

HRESULT unregisterTypeLib(REFGUID libid, WORD majorVersion, WORD minorVersion, LCID lcid)
{
    std::lock_guard lock(typeLibMutex);
    const auto removed = std::erase_if(typeLibs, [&](const TypeLibRegistration& r) { return sameLib(r, libid, majorVersion, minorVersion, lcid); });
    return removed ? S_OK : TYPE_E_REGISTRYACCESS;
}

std::vector<TypeLibRegistration> registeredTypeLibs()
{
    std::lock_guard lock(typeLibMutex);
    return typeLibs;
}

}  // namespace com

UINT RegisterClipboardFormatW(LPCWSTR name)
{
    static std::mutex mutex;
    static std::vector<std::u16string> formats;
    if (!name || !*name)
        return 0;
    const std::u16string folded = com::fold(name);
    std::lock_guard lock(mutex);
    auto it = std::find(formats.begin(), formats.end(), folded);
    if (it == formats.end()) {
        if (formats.size() > 0xFFFF - 0xC000)
            return 0;  // the system's atom range is used up
        formats.push_back(folded);
        it = formats.end() - 1;
    }
    return 0xC000 + static_cast<UINT>(it - formats.begin());
}
