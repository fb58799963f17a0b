#include "com_server.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaObject>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include "platform/com/runtime.h"
#include "platform/com/userfiles.h"
#include "platform/text.h"

namespace vos {
namespace {

Q_LOGGING_CATEGORY(lcComServer, "vx.app.com")

namespace fs = std::filesystem;

// The value of the last "--NAME PATH" or "--NAME=PATH"; empty when the option is not given.
std::string LastPathOption(const std::vector<std::string>& args, std::string_view option)
{
    std::string chosen;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == option) {
            if (i + 1 >= args.size() || args[i + 1].empty())
                throw std::invalid_argument(std::string(option) + " needs the path of a " +
                                            (option == "--registry" ? "registry" : "settings") + " file");
            chosen = args[++i];
        } else if (arg.starts_with(option) && arg.size() > option.size() && arg[option.size()] == '=') {
            chosen = arg.substr(option.size() + 1);
            if (chosen.empty())
                throw std::invalid_argument(std::string(option) + " needs the path of a file");
        }
    }
    return chosen;
}

std::string Absolute(const std::string& path)
{
    std::error_code ec;
    const auto absolute = fs::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

}  // namespace

std::string RegistryFilePath(const std::vector<std::string>& args, const std::string& settingsFile)
{
    const std::string chosen = LastPathOption(args, "--registry");
    if (!chosen.empty())
        return Absolute(chosen);
    const fs::path shared = com::defaultClassesRootFile();
    if (!shared.empty())
        return shared.string();
    return (fs::path(settingsFile).parent_path() / com::kClassesRootFileName).string();
}

std::vector<std::u16string> ActivationArguments(const std::vector<std::string>& args, const std::string& settingsFile,
                                                const std::string& registryFile)
{
    std::vector<std::u16string> out;
    if (!LastPathOption(args, "--settings").empty()) {
        out.push_back(u"--settings");
        out.push_back(plat::utf8ToUtf16(settingsFile));
    }
    if (!LastPathOption(args, "--registry").empty()) {
        out.push_back(u"--registry");
        out.push_back(plat::utf8ToUtf16(registryFile));
    }
    return out;
}

TEndAfterLastRelease::TEndAfterLastRelease(std::function<void()> end) : end_(std::move(end))
{
    if (!end_)
        end_ = [] { QCoreApplication::quit(); };
    com::setLastServerReferenceHook([this] {
        // The count may drop inside a call that is still on its way back; the loop decides.
        QMetaObject::invokeMethod(
            &context_,
            [this] {
                if (com::serverProcessCount() != 0)
                    return;
                qCInfo(lcComServer, "The last client released its last object: the program ends");
                end_();
            },
            Qt::QueuedConnection);
    });
}

TEndAfterLastRelease::~TEndAfterLastRelease() { com::setLastServerReferenceHook({}); }

}  // namespace vos
