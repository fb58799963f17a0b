// cfggen: writes a configuration file from a description, from parameters, or damaged.
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tools/cfggen/cfggen.h"

namespace {

const char* const kUsage = R"(Usage: cfggen DESCRIPTION.txt -o OUT.cfg [options]
       cfggen --large stations=50,folders=2,depth=2,variables=100000 -o OUT.cfg
       cfggen --deep N -o OUT.cfg
       cfggen --random seed=7,nodes=200 -o OUT.cfg

Writes a configuration file (.cfg). The source is exactly one of:
  DESCRIPTION.txt          a text description (syntax: tools/cfggen/README.md)
  --large PARAMS           stations, folders (per level), depth, variables, services (0/1),
                           arraylength, stringlength; the variables take every type in turn
  --deep N                 a chain N nodes deep: server, station, folders, a variable
  --random PARAMS          seed, nodes: a random tree full of name and address clashes

Format:
  --no-header              no header: a bare tree stream
  --header-version N       the header's file version (128)
  --tree-version N         the tree stream's version (2; 0 and 1 write the old base chunk)
  --standby auto|yes|no    payload fields 46-47 (auto: when the version a reader takes is >= 128)

Damage to one node; NODE is its index in tree order (0 the first top-level node) or its
dotted path of names (Server.PLC1.Service):
  --payload-fields NODE=K  the payload ends after field K (0 to 47)
  --no-payload NODE        no user chunk
  --extra-base NODE        a second base chunk, children included
  --child-count NODE=N     the child count written in the base chunk
  --chunk-size NODE:TYPE=N the size written in a chunk header; TYPE 1 node, 2 base, 3 caption, 4 user

Damage to the written bytes, in the order given:
  --patch OFFSET:HEX       overwrite bytes at OFFSET (decimal or 0x...), e.g. --patch 27:ff000000
  --cut N                  keep only the first N bytes

  --layout                 print every node's offsets (to standard error with -o -)
  -o FILE                  the file to write; "-" writes to standard output
  --help                   this text
)";

struct UsageError : cfggen::Error {
    using cfggen::Error::Error;
};

long long number(const std::string& s, const std::string& what)
{
    std::string_view v = s;
    int base = 10;
    bool negative = false;
    if (!v.empty() && v.front() == '-') {
        negative = true;
        v.remove_prefix(1);
    }
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v.remove_prefix(2);
    }
    long long n = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n, base);
    if (v.empty() || v.front() == '-' || ec != std::errc() || end != v.data() + v.size())
        throw UsageError("'" + s + "' is not a number (" + what + ")");
    return negative ? -n : n;
}

// "LEFT<sep>RIGHT" split at the last separator.
std::pair<std::string, std::string> splitLast(const std::string& s, char sep, const std::string& option)
{
    const std::size_t at = s.rfind(sep);
    if (at == std::string::npos)
        throw UsageError(option + " needs '" + std::string(1, sep) + "' in '" + s + "'");
    return {s.substr(0, at), s.substr(at + 1)};
}

struct NodeDamage {
    std::string option;
    std::string node;
    std::string arg;
};

struct ByteDamage {
    bool isCut = false;
    std::size_t offset = 0;
    std::string data;
};

cfggen::Node& nodeOf(cfggen::Config& cfg, const std::string& which)
{
    cfggen::Node* n = cfggen::findNode(cfg, which);
    if (!n)
        throw UsageError("no node '" + which + "'");
    return *n;
}

void applyNodeDamage(cfggen::Config& cfg, const NodeDamage& d)
{
    cfggen::Node& n = nodeOf(cfg, d.node);
    if (d.option == "--payload-fields") {
        const long long k = number(d.arg, d.option);
        if (k < 0 || k > cfggen::kPayloadFieldCount)
            throw UsageError("--payload-fields takes 0 to 47");
        n.payloadFields = static_cast<int>(k);
    } else if (d.option == "--no-payload") {
        n.payload = false;
    } else if (d.option == "--extra-base") {
        n.extraBase = true;
    } else if (d.option == "--child-count") {
        n.childCount = static_cast<std::uint32_t>(number(d.arg, d.option));
    } else {  // --chunk-size
        const auto [type, size] = splitLast(d.arg, '=', d.option);
        const auto v = static_cast<std::int32_t>(static_cast<std::uint32_t>(number(size, d.option)));
        const long long t = number(type, d.option);
        if (t == 1)
            n.nodeSize = v;
        else if (t == 2)
            n.baseSize = v;
        else if (t == 3)
            n.captionSize = v;
        else if (t == 4)
            n.userSize = v;
        else
            throw UsageError("--chunk-size TYPE is 1 node, 2 base, 3 caption or 4 user");
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw cfggen::Error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void printLayout(std::ostream& out, const cfggen::Output& o)
{
    auto at = [](std::size_t v) { return v == cfggen::npos ? std::string("-") : std::to_string(v); };
    out << "tree stream at " << o.layout.tree << ", top-level count at " << at(o.layout.topCount) << ", "
        << o.bytes.size() << " bytes\n";
    out << "index depth start base user caption end path\n";
    for (std::size_t i = 0; i < o.layout.nodes.size(); ++i) {
        const cfggen::NodeLayout& n = o.layout.nodes[i];
        out << i << ' ' << n.depth << ' ' << at(n.start) << ' ' << at(n.base) << ' ' << at(n.user) << ' '
            << at(n.caption) << ' ' << at(n.end) << ' ' << cfggen::nodePath(o.layout, i) << '\n';
    }
}

int run(const std::vector<std::string>& args)
{
    std::string description, large, random, output;
    int deep = 0;
    bool layout = false, noHeader = false;
    std::optional<std::uint32_t> headerVersion;
    std::optional<std::uint16_t> treeVersion;
    std::optional<cfggen::Standby> standby;
    std::vector<NodeDamage> nodeDamage;
    std::vector<ByteDamage> byteDamage;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw UsageError(a + " needs a value");
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (a == "-o") {
            output = value();
        } else if (a == "--large") {
            large = value();
        } else if (a == "--random") {
            random = value();
        } else if (a == "--deep") {
            deep = static_cast<int>(number(value(), a));
            if (deep < 1)
                throw UsageError("--deep takes 1 or more");
        } else if (a == "--layout") {
            layout = true;
        } else if (a == "--no-header") {
            noHeader = true;
        } else if (a == "--header-version") {
            headerVersion = static_cast<std::uint32_t>(number(value(), a));
        } else if (a == "--tree-version") {
            treeVersion = static_cast<std::uint16_t>(number(value(), a));
        } else if (a == "--standby") {
            const std::string& v = value();
            standby = v == "yes" ? cfggen::Standby::Yes : v == "no" ? cfggen::Standby::No : cfggen::Standby::Auto;
            if (v != "yes" && v != "no" && v != "auto")
                throw UsageError("--standby is auto, yes or no");
        } else if (a == "--no-payload" || a == "--extra-base") {
            nodeDamage.push_back({a, value(), {}});
        } else if (a == "--payload-fields" || a == "--child-count") {
            const auto [node, arg] = splitLast(value(), '=', a);
            nodeDamage.push_back({a, node, arg});
        } else if (a == "--chunk-size") {
            const std::string& v = value();
            const auto [left, size] = splitLast(v, '=', a);
            const auto [node, type] = splitLast(left, ':', a);
            nodeDamage.push_back({a, node, type + "=" + size});
        } else if (a == "--patch") {
            const auto [offset, hex] = splitLast(value(), ':', a);
            const long long at = number(offset, a);
            if (at < 0)
                throw UsageError("--patch offset must not be negative");
            byteDamage.push_back({false, static_cast<std::size_t>(at), cfggen::fromHex(hex)});
        } else if (a == "--cut") {
            const long long n = number(value(), a);
            if (n < 0)
                throw UsageError("--cut length must not be negative");
            byteDamage.push_back({true, static_cast<std::size_t>(n), {}});
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            throw UsageError("unknown option " + a);
        } else if (description.empty()) {
            description = a;
        } else {
            throw UsageError("more than one description: " + description + ", " + a);
        }
    }
    const int sources = !description.empty() + !large.empty() + !random.empty() + (deep > 0);
    if (sources != 1)
        throw UsageError("give exactly one of DESCRIPTION.txt, --large, --deep, --random");
    if (output.empty())
        throw UsageError("-o OUT.cfg is missing");

    cfggen::Config cfg;
    if (!description.empty()) {
        try {
            cfg = cfggen::parseDescription(readFile(description));
        } catch (const cfggen::DescriptionError& e) {
            throw cfggen::Error(description + ":" + std::to_string(e.line()) + ": " + e.message());
        }
    } else if (!large.empty()) {
        cfg = cfggen::largeConfig(cfggen::parseLargeParams(large));
    } else if (!random.empty()) {
        cfg = cfggen::randomConfig(cfggen::parseRandomParams(random));
    } else {
        cfg = cfggen::deepConfig(deep);
    }
    if (noHeader)
        cfg.header = false;
    if (headerVersion)
        cfg.version = *headerVersion;
    if (treeVersion)
        cfg.treeVersion = *treeVersion;
    if (standby)
        cfg.standby = *standby;
    for (const NodeDamage& d : nodeDamage)
        applyNodeDamage(cfg, d);

    cfggen::Output out = cfggen::write(cfg);
    if (layout)
        printLayout(output == "-" ? std::cerr : std::cout, out);
    for (const ByteDamage& d : byteDamage) {
        if (d.isCut)
            cfggen::cut(out.bytes, d.offset);
        else
            cfggen::patch(out.bytes, d.offset, d.data);
    }

    if (output == "-") {
        std::cout.write(out.bytes.data(), static_cast<std::streamsize>(out.bytes.size()));
        return std::cout ? 0 : 1;
    }
    std::ofstream file(output, std::ios::binary | std::ios::trunc);
    file.write(out.bytes.data(), static_cast<std::streamsize>(out.bytes.size()));
    file.close();
    if (!file)
        throw cfggen::Error("cannot write " + output);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "cfggen: " << e.what() << "\n(cfggen --help shows the options)\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "cfggen: " << e.what() << '\n';
        return 1;
    }
}
