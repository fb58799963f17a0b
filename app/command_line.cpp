#include "command_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>
#include <algorithm>
#include <climits>

#include "vx_version.h"

namespace vos {

namespace {

constexpr char kProgram[] = "VornOPCServer";

struct TOptionLine {
    const char* shown;  // as the help lists it
    const char* text;
};

// The help, one line per option; the COM server's switches are taken before the parser sees
// the rest, so they are listed here only.
constexpr TOptionLine kHelpLines[] = {
    {"--settings <file>", "the settings file (default: VornOPCServer.ini beside the program, or in ~/.config/VornOPCServer)"},
    {"--registry <file>", "the registry file the classes are registered in (default: the user's)"},
    {"--headless", "run without a window, every message to stderr (the default without a display)"},
    {"--quit-after <ms>", "end after so many milliseconds (tests, demonstrations)"},
    {"-RegServer", "register the server's classes and end (also /RegServer, any letter case)"},
    {"-UnregServer", "remove the server's registration and end (also /UnregServer, any letter case)"},
    {"-Embedding", "started by activation for a client: end after the last client's last release"},
    {"-Automation", "the same as -Embedding"},
    {"-h, --help", "show this text and end"},
    {"-v, --version", "show the program's version and end"},
};

std::string HelpText()
{
    std::size_t width = 0;
    for (const auto& line : kHelpLines)
        width = std::max(width, std::string(line.shown).size());
    std::string text = std::string("Usage: ") + kProgram + " [options]\n" +
                       "Vorn OPC server: an OPC Data Access 2.0 server for the PLCs of one family.\n\nOptions:\n";
    for (const auto& line : kHelpLines) {
        std::string shown = line.shown;
        shown.resize(width, ' ');
        text += "  " + shown + "  " + line.text + "\n";
    }
    return text;
}

std::string VersionText()
{
    return std::string(kProgram) + " " + std::to_string(VX_VERSION_MAJOR) + "." + std::to_string(VX_VERSION_MINOR) + "." +
           std::to_string(VX_VERSION_PATCH) + "." + std::to_string(VX_VERSION_TWEAK) + "\n";
}

// A COM server switch: "-" or "/" and one of its names, in any letter case.
bool IsComServerSwitch(const std::string& arg, opc::TComServerSwitches& switches)
{
    const opc::TComServerSwitches one = opc::ParseComServerSwitches({std::string(), arg});
    if (!one.Automation && !one.Embedding && !one.RegServer && !one.UnregServer)
        return false;
    switches.Automation |= one.Automation;
    switches.Embedding |= one.Embedding;
    switches.RegServer |= one.RegServer;
    switches.UnregServer |= one.UnregServer;
    return true;
}

TCommandLineResult Fail(std::string text)
{
    TCommandLineResult r;
    r.kind = TCommandLineResult::Error;
    r.text = std::string(kProgram) + ": " + text + "\nTry '" + kProgram + " --help' for the options.\n";
    return r;
}

}  // namespace

TCommandLineResult ParseCommandLine(const std::vector<std::string>& args)
{
    TCommandLineResult result;
    QStringList rest{QString::fromLatin1(kProgram)};
    for (std::size_t i = 1; i < args.size(); ++i)
        if (!IsComServerSwitch(args[i], result.line.Switches))
            rest << QString::fromStdString(args[i]);

    const QCommandLineOption settings(QStringLiteral("settings"), {}, QStringLiteral("file"));
    const QCommandLineOption registry(QStringLiteral("registry"), {}, QStringLiteral("file"));
    const QCommandLineOption headless(QStringLiteral("headless"));
    const QCommandLineOption quitAfter(QStringLiteral("quit-after"), {}, QStringLiteral("ms"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    QCommandLineParser parser;
    // "-Embeding" is one mistyped word, not eight unknown letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({settings, registry, headless, quitAfter, help, version});
    if (!parser.parse(rest))
        return Fail(parser.errorText().toStdString());
    if (parser.isSet(help)) {
        result.kind = TCommandLineResult::Help;
        result.text = HelpText();
        return result;
    }
    if (parser.isSet(version)) {
        result.kind = TCommandLineResult::Version;
        result.text = VersionText();
        return result;
    }
    if (!parser.positionalArguments().isEmpty())
        return Fail("unexpected argument '" + parser.positionalArguments().first().toStdString() + "'");
    for (const auto* option : {&settings, &registry})
        if (parser.isSet(*option) && parser.values(*option).contains(QString()))
            return Fail("--" + option->names().first().toStdString() + " needs the path of a file");
    if (parser.isSet(quitAfter)) {
        const QString value = parser.value(quitAfter);
        bool ok = false;
        const qlonglong ms = value.toLongLong(&ok);
        if (!ok || ms < 0 || ms > INT_MAX)
            return Fail("--quit-after needs a number of milliseconds from 0 to " + std::to_string(INT_MAX) +
                        ", not '" + value.toStdString() + "'");
        result.line.QuitAfterMs = static_cast<int>(ms);
    }
    result.line.Headless = parser.isSet(headless);
    return result;
}

}  // namespace vos
