// The text description: header directives, then one node per line, children indented by two
// spaces per level, fields as Name=value.
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <set>

#include "platform/text.h"
#include "tools/cfggen/cfggen.h"
#include "tools/cfggen/fields.h"

namespace cfggen {

DescriptionError::DescriptionError(int line, const std::string& message)
    : Error("line " + std::to_string(line) + ": " + message), line_(line), message_(message)
{
}

namespace {

using detail::FieldDef;
using detail::FieldType;

struct Token {
    std::string key;    // before "=", or the whole token
    std::string value;  // raw, quotes and escapes still in
    bool hasValue = false;
};

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::size_t utf8Length(unsigned char lead)
{
    return lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    Config run()
    {
        std::size_t pos = 0;
        while (pos <= text_.size()) {
            std::size_t eol = text_.find('\n', pos);
            if (eol == std::string_view::npos)
                eol = text_.size();
            std::string_view line = text_.substr(pos, eol - pos);
            ++line_;
            parseLine(line);
            pos = eol + 1;
        }
        return std::move(cfg_);
    }

private:
    struct Frame {
        Node* node = nullptr;  // nullptr for a services line
        std::uint8_t kind = 0;
    };

    [[noreturn]] void fail(const std::string& message) const { throw DescriptionError(line_, message); }

    void parseLine(std::string_view line)
    {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        std::size_t indent = 0;
        while (indent < line.size() && (line[indent] == ' ' || line[indent] == '\t')) {
            if (line[indent] == '\t')
                fail("a tab in the indentation; indent with two spaces per level");
            ++indent;
        }
        if (indent == line.size() || line[indent] == '#')
            return;
        if (indent % 2 != 0)
            fail("indentation of " + std::to_string(indent) + " spaces is not a multiple of two");
        std::vector<Token> tokens = tokenize(line.substr(indent));
        const std::string& word = tokens.front().key;
        if (word == "header" || word == "tree" || word == "standby" || word == "append") {
            if (seenNode_)
                fail("'" + word + "' must come before the first node");
            if (indent != 0)
                fail("'" + word + "' must not be indented");
            directive(word, tokens);
            return;
        }
        nodeLine(indent / 2, tokens);
    }

    std::vector<Token> tokenize(std::string_view s)
    {
        std::vector<Token> out;
        std::size_t i = 0;
        while (i < s.size()) {
            if (s[i] == ' ' || s[i] == '\t') {
                ++i;
                continue;
            }
            const std::size_t start = i;
            bool quoted = false;
            while (i < s.size() && (quoted || (s[i] != ' ' && s[i] != '\t'))) {
                if (s[i] == '\\' && i + 1 < s.size())
                    ++i;
                else if (s[i] == '"')
                    quoted = !quoted;
                ++i;
            }
            if (quoted)
                fail("a quoted value has no closing quote");
            const std::string_view raw = s.substr(start, i - start);
            Token t;
            const std::size_t eq = raw.find('=');
            if (eq == std::string_view::npos) {
                t.key = std::string(raw);
            } else {
                t.key = std::string(raw.substr(0, eq));
                t.value = std::string(raw.substr(eq + 1));
                t.hasValue = true;
            }
            if (t.key.empty())
                fail("'" + std::string(raw) + "' has no name before '='");
            out.push_back(std::move(t));
        }
        return out;
    }

    // Pieces of a value: text runs in UTF-8 and single raw bytes from \xNN.
    template <typename OnText, typename OnByte>
    void decode(const std::string& raw, OnText onText, OnByte onByte)
    {
        std::string_view v = raw;
        if (!v.empty() && v.front() == '"') {
            if (v.size() < 2 || v.back() != '"')
                fail("stray quote in " + raw);
            v = v.substr(1, v.size() - 2);
        }
        for (std::size_t i = 0; i < v.size();) {
            const char c = v[i];
            if (c == '"') {
                fail("a quote inside " + raw + " must be written \\\"");
            } else if (c == '\\') {
                if (i + 1 >= v.size())
                    fail("a lone backslash ends " + raw);
                const char e = v[i + 1];
                if (e == 'x') {
                    const int h = i + 2 < v.size() ? hexDigit(v[i + 2]) : -1;
                    const int l = i + 3 < v.size() ? hexDigit(v[i + 3]) : -1;
                    if (h < 0 || l < 0)
                        fail("\\x needs two hex digits in " + raw);
                    onByte(static_cast<unsigned char>(h * 16 + l));
                    i += 4;
                    continue;
                }
                const char* plain = e == 'n' ? "\n" : e == 'r' ? "\r" : e == 't' ? "\t" : e == '\\' ? "\\"
                                                                            : e == '"' ? "\"" : nullptr;
                if (!plain)
                    fail(std::string("unknown escape \\") + e + " in " + raw);
                onText(std::string_view(plain));
                i += 2;
            } else {
                const std::size_t len = utf8Length(static_cast<unsigned char>(c));
                if (len == 0 || i + len > v.size())
                    fail("malformed UTF-8 in " + raw);
                onText(v.substr(i, len));
                i += len;
            }
        }
    }

    // Windows-1250 bytes of a text value.
    std::string text(const std::string& raw)
    {
        std::string out;
        decode(
            raw,
            [&](std::string_view utf8) {
                const std::string b = plat::utf8ToCp1250(utf8);
                if (b == "?" && utf8 != "?")
                    fail("'" + std::string(utf8) + "' in " + raw + " is not in Windows-1250; write its byte as \\xNN");
                out += b;
            },
            [&](unsigned char b) { out += static_cast<char>(b); });
        return out;
    }

    std::u16string text16(const std::string& raw)
    {
        std::u16string out;
        decode(
            raw, [&](std::string_view utf8) { out += plat::utf8ToUtf16(utf8); },
            [&](unsigned char b) { out += static_cast<char16_t>(b); });
        return out;
    }

    std::int64_t integer(const std::string& raw, std::int64_t min, std::int64_t max)
    {
        const std::string s = text(raw);
        std::string_view v = s;
        bool negative = false;
        if (!v.empty() && v.front() == '-') {
            negative = true;
            v.remove_prefix(1);
        }
        int base = 10;
        if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
            base = 16;
            v.remove_prefix(2);
        }
        std::int64_t n = 0;
        const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n, base);
        if (v.empty() || v.front() == '-' || ec != std::errc() || end != v.data() + v.size())
            fail("'" + s + "' is not a whole number");
        if (negative)
            n = -n;
        if (n < min || n > max)
            fail(s + " is outside " + std::to_string(min) + ".." + std::to_string(max));
        return n;
    }

    // i32 fields also take the unsigned spelling of their bit pattern, for damaged values.
    std::int32_t int32(const std::string& raw)
    {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(integer(raw, INT32_MIN, UINT32_MAX)));
    }
    std::uint32_t uint32(const std::string& raw) { return static_cast<std::uint32_t>(integer(raw, 0, UINT32_MAX)); }
    std::uint8_t uint8(const std::string& raw) { return static_cast<std::uint8_t>(integer(raw, 0, 255)); }

    double float64(const std::string& raw)
    {
        const std::string s = text(raw);
        double d = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
        if (s.empty() || ec != std::errc() || end != s.data() + s.size())
            fail("'" + s + "' is not a number");
        return d;
    }

    std::string hexBytes(const std::string& raw, std::size_t exact = 0)
    {
        std::string b;
        try {
            b = fromHex(text(raw));
        } catch (const Error& e) {
            fail(e.what());
        }
        if (exact && b.size() != exact)
            fail("'" + raw + "' must be " + std::to_string(exact) + " bytes");
        return b;
    }

    void needValue(const Token& t)
    {
        if (!t.hasValue)
            fail("'" + t.key + "' needs a value (" + t.key + "=...)");
    }

    void directive(const std::string& word, const std::vector<Token>& tokens)
    {
        if (word == "standby" || word == "append") {
            if (tokens.size() != 2 || tokens[1].hasValue)
                fail("'" + word + "' takes one word");
            if (word == "append") {
                cfg_.trailer += hexBytes(tokens[1].key);
                return;
            }
            const std::string& v = tokens[1].key;
            if (v == "auto")
                cfg_.standby = Standby::Auto;
            else if (v == "yes")
                cfg_.standby = Standby::Yes;
            else if (v == "no")
                cfg_.standby = Standby::No;
            else
                fail("standby is auto, yes or no, not '" + v + "'");
            return;
        }
        if (word == "header" && tokens.size() == 2 && tokens[1].key == "none" && !tokens[1].hasValue) {
            cfg_.header = false;
            return;
        }
        for (std::size_t i = 1; i < tokens.size(); ++i) {
            const Token& t = tokens[i];
            needValue(t);
            if (word == "header" && t.key == "version")
                cfg_.version = uint32(t.value);
            else if (word == "header" && t.key == "signature")
                cfg_.signature = text(t.value);
            else if (word == "header" && t.key == "count")
                cfg_.nodeCount = uint32(t.value);
            else if (word == "header" && t.key == "offset")
                cfg_.dataOffset = uint32(t.value);
            else if (word == "tree" && t.key == "version")
                cfg_.treeVersion = static_cast<std::uint16_t>(integer(t.value, 0, 0xFFFF));
            else if (word == "tree" && t.key == "count")
                cfg_.topCount = uint32(t.value);
            else if (word == "tree" && t.key == "magic")
                cfg_.magic = hexBytes(t.value);
            else
                fail("'" + word + "' has no setting '" + t.key + "'");
        }
    }

    void nodeLine(std::size_t level, const std::vector<Token>& tokens)
    {
        const std::string& word = tokens.front().key;
        if (tokens.front().hasValue)
            fail("a node line begins with its kind, not '" + word + "='");
        if (level > stack_.size())
            fail("indented more than one level below the line above");
        stack_.resize(level);
        Frame* parent = level ? &stack_.back() : nullptr;
        if (parent && !parent->node)
            fail("'services' takes no children");
        seenNode_ = true;

        if (word == "services") {
            services(parent, tokens);
            stack_.push_back(Frame{nullptr, 0});
            return;
        }
        std::uint8_t k = 0;
        if (word == "server")
            k = kind::Server;
        else if (word == "station")
            k = kind::Station;
        else if (word == "variable")
            k = kind::Variable;
        else if (word == "folder")
            k = kind::Folder;
        else if (word == "modem")
            k = kind::Modem;
        else
            fail("unknown node kind '" + word + "' (server, station, folder, variable, modem, services)");

        Node n = makeNode(k, counters_);
        n.line = line_;
        bool named = false;
        bool numbered = false;
        std::set<std::string> seen;
        for (std::size_t i = 1; i < tokens.size(); ++i) {
            const Token& t = tokens[i];
            std::string lower = t.key;
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (lower != "@chunk" && !seen.insert(lower).second)
                fail("'" + t.key + "' is given twice");
            if (t.key.front() == '@') {
                option(n, t);
                continue;
            }
            needValue(t);
            const FieldDef* f = detail::findField(t.key);
            if (!f) {
                if (lower == "valid" || lower == "saved" || lower == "treenode")
                    fail("'" + t.key + "' is not stored in the file");
                fail("unknown field '" + t.key + "'");
            }
            named = named || f->name == "Name";
            numbered = numbered || f->name == "Ordinal";
            void* p = f->ref(n.rec);
            switch (f->type) {
            case FieldType::I32:
                *static_cast<std::int32_t*>(p) = int32(t.value);
                break;
            case FieldType::U8:
            case FieldType::KindByte:
            case FieldType::MarkerByte:
                *static_cast<std::uint8_t*>(p) = uint8(t.value);
                break;
            case FieldType::F64:
                *static_cast<double*>(p) = float64(t.value);
                break;
            case FieldType::Text:
                *static_cast<std::string*>(p) = text(t.value);
                break;
            }
        }
        if (numbered && !named)
            n.rec.Name = detail::defaultName(k, n.rec.Ordinal, Lang::English);

        std::vector<Node>& siblings = parent ? parent->node->children : cfg_.nodes;
        siblings.push_back(std::move(n));
        stack_.push_back(Frame{&siblings.back(), k});
    }

    void option(Node& n, const Token& t)
    {
        const std::string& o = t.key;
        const bool flag = o == "@nopayload" || o == "@extrabase" || o == "@nocaption";
        if (flag) {
            if (t.hasValue)
                fail("'" + o + "' takes no value");
            if (o == "@nopayload")
                n.payload = false;
            else if (o == "@extrabase")
                n.extraBase = true;
            else
                n.noCaption = true;
            return;
        }
        needValue(t);
        const std::string& v = t.value;
        if (o == "@height")
            n.height = uint32(v);
        else if (o == "@states")
            n.states = static_cast<std::uint16_t>(integer(v, 0, 0xFFFF));
        else if (o == "@align")
            n.align = uint8(v);
        else if (o == "@checkstate")
            n.checkState = uint8(v);
        else if (o == "@checktype")
            n.checkType = uint8(v);
        else if (o == "@basereserved")
            n.baseReserved = uint32(v);
        else if (o == "@children")
            n.childCount = uint32(v);
        else if (o == "@fields")
            n.payloadFields = static_cast<int>(integer(v, 0, kPayloadFieldCount));
        else if (o == "@caption")
            n.caption = text16(v);
        else if (o == "@nodesize")
            n.nodeSize = int32(v);
        else if (o == "@basesize")
            n.baseSize = int32(v);
        else if (o == "@usersize")
            n.userSize = int32(v);
        else if (o == "@captionsize")
            n.captionSize = int32(v);
        else if (o == "@kindpad" || o == "@markerpad") {
            const std::string b = hexBytes(v, 3);
            std::array<std::uint8_t, 3> pad{};
            for (std::size_t i = 0; i < 3; ++i)
                pad[i] = static_cast<std::uint8_t>(b[i]);
            if (o == "@kindpad")
                n.rec.KindPad = pad;
            else
                n.rec.MarkerPad = pad;
        } else if (o == "@chunk") {
            const std::string s = text(v);
            const std::size_t colon = s.find(':');
            if (colon == std::string::npos)
                fail("@chunk is TYPE:HEX");
            n.extraChunks.push_back(Chunk{int32(s.substr(0, colon)), hexBytes(s.substr(colon + 1))});
        } else {
            fail("unknown option '" + o + "'");
        }
    }

    void services(Frame* parent, const std::vector<Token>& tokens)
    {
        if (!parent || (parent->kind != kind::Station && parent->kind != kind::Modem))
            fail("'services' belongs under a station or a modem");
        Lang lang = Lang::English;
        for (std::size_t i = 1; i < tokens.size(); ++i) {
            const Token& t = tokens[i];
            if (t.key != "lang" || !t.hasValue || (t.value != "en" && t.value != "cz"))
                fail("'services' takes only lang=en or lang=cz");
            lang = t.value == "cz" ? Lang::Czech : Lang::English;
        }
        addServiceItems(*parent->node, counters_, lang);
    }

    std::string_view text_;
    int line_ = 0;
    Config cfg_;
    Counters counters_;
    std::vector<Frame> stack_;
    bool seenNode_ = false;
};

bool allDigits(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

Node* byIndex(std::vector<Node>& nodes, std::size_t& left)
{
    for (Node& n : nodes) {
        if (left == 0)
            return &n;
        --left;
        if (Node* found = byIndex(n.children, left))
            return found;
    }
    return nullptr;
}

}  // namespace

Config parseDescription(std::string_view text)
{
    return Parser(text).run();
}

Node* findNode(Config& cfg, std::string_view which)
{
    if (allDigits(which)) {
        std::size_t index = 0;
        std::from_chars(which.data(), which.data() + which.size(), index);
        return byIndex(cfg.nodes, index);
    }
    std::vector<Node>* level = &cfg.nodes;
    Node* found = nullptr;
    while (!which.empty()) {
        const std::size_t dot = which.find('.');
        const std::string name = plat::utf8ToCp1250(which.substr(0, dot));
        which = dot == std::string_view::npos ? std::string_view() : which.substr(dot + 1);
        found = nullptr;
        for (Node& n : *level)
            if (n.rec.Name == name) {
                found = &n;
                break;
            }
        if (!found)
            return nullptr;
        level = &found->children;
    }
    return found;
}

}  // namespace cfggen
