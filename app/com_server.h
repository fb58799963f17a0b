#pragma once
// The program as a local COM server: the registry file it registers its classes in, how the
// session bus starts it for a client, and the end of a run started by COM when its last
// client lets go.
#include <QObject>
#include <functional>
#include <string>
#include <vector>

namespace vos {

// The file that stands in for HKEY_CLASSES_ROOT: the path of "--registry PATH" or
// "--registry=PATH" (the last one given), made absolute; else the user's registry file, which
// client processes read too; without a home folder the file beside settingsFile. Throws
// std::invalid_argument for "--registry" without a path.
std::string RegistryFilePath(const std::vector<std::string>& args, const std::string& settingsFile);

// What a start by the session bus gets after "-Embedding": the settings file and the registry
// file, each when the command line named it, so that a client's start serves what this run
// serves.
std::vector<std::u16string> ActivationArguments(const std::vector<std::string>& args, const std::string& settingsFile,
                                                const std::string& registryFile);

// While it lives, the last release of the process's last COM object runs end (by default the
// event loop quits), once the loop is back and no new object came meanwhile.
class TEndAfterLastRelease {
public:
    explicit TEndAfterLastRelease(std::function<void()> end = {});
    ~TEndAfterLastRelease();
    TEndAfterLastRelease(const TEndAfterLastRelease&) = delete;
    TEndAfterLastRelease& operator=(const TEndAfterLastRelease&) = delete;

private:
    std::function<void()> end_;
    // Receives the queued check; what is still queued when this goes is dropped with it.
    QObject context_;
};

}  // namespace vos
