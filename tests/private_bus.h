#pragma once
// A message bus of a test's own, never the user's session bus: a dbus-daemon on a temporary
// configuration, with the caller's folder of service files or one of its own, ended with this
// object and, whatever way the test program ends, with the program. Its standard error, where
// the programs it starts log too, goes to a file that log() reads.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

namespace vxtest {

class PrivateBus {
public:
    // The daemon's program, or empty when it is not installed.
    static QString daemon() { return QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")); }

    // serviceDir empty: a folder of its own. environment: what the daemon and the programs it
    // starts get; none: this process's.
    explicit PrivateBus(const QString& serviceDir = {}, const std::optional<QProcessEnvironment>& environment = std::nullopt,
                        int boundMs = 60000)
    {
        const QString program = daemon();
        if (program.isEmpty()) {
            error_ = "dbus-daemon is not installed";
            return;
        }
        if (!dir_.isValid()) {
            error_ = "no temporary folder";
            return;
        }
        serviceDir_ = serviceDir;
        if (serviceDir_.isEmpty()) {
            serviceDir_ = dir_.filePath(QStringLiteral("services"));
            if (!QDir().mkpath(serviceDir_)) {
                error_ = "no service folder";
                return;
            }
        }
        QFile config(dir_.filePath(QStringLiteral("bus.conf")));
        if (!config.open(QIODevice::WriteOnly)) {
            error_ = "cannot write the bus configuration";
            return;
        }
        config.write(QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%2</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <limit name="max_incoming_bytes">1000000000</limit>
  <limit name="max_outgoing_bytes">1000000000</limit>
  <limit name="max_message_size">1000000000</limit>
  <limit name="max_replies_per_connection">50000</limit>
  <limit name="max_match_rules_per_connection">50000</limit>
  <limit name="service_start_timeout">120000</limit>
</busconfig>
)")
                         .arg(dir_.path().toHtmlEscaped(), serviceDir_.toHtmlEscaped())
                         .toUtf8());
        config.close();

        // Everything the child needs is made before the fork: after it, only plain system calls.
        const std::string file = program.toStdString();
        const std::string configArg = "--config-file=" + config.fileName().toStdString();
        std::vector<std::string> envText;
        std::vector<char*> envp;
        if (environment) {
            for (const QString& entry : environment->toStringList())
                envText.push_back(entry.toStdString());
            for (std::string& entry : envText)
                envp.push_back(entry.data());
            envp.push_back(nullptr);
        }
        char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>(configArg.c_str()), const_cast<char*>("--nofork"),
                        const_cast<char*>("--print-address=3"), nullptr};
        logFile_ = dir_.filePath(QStringLiteral("bus.log")).toStdString();
        const int logFd = ::open(logFile_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        const int nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        int out[2];
        if (logFd < 0 || nullFd < 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            error_ = "no log file or pipe";
            for (const int fd : {logFd, nullFd})
                if (fd >= 0)
                    ::close(fd);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            // Ends with the test program, whatever way that ends.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            // The address on a descriptor of its own, so that the programs the bus starts
            // never write into a pipe nobody reads.
            if (out[1] == 3)
                ::fcntl(3, F_SETFD, 0);
            else
                ::dup2(out[1], 3);
            ::dup2(nullFd, 0);
            ::dup2(nullFd, 1);
            ::dup2(logFd, 2);
            if (environment)
                ::execve(file.c_str(), argv, envp.data());
            else
                ::execv(file.c_str(), argv);
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(logFd);
        ::close(nullFd);
        if (pid_ < 0) {
            ::close(out[0]);
            error_ = "no fork";
            return;
        }
        std::string line;
        char c = 0;
        QElapsedTimer elapsed;
        elapsed.start();
        pollfd p{out[0], POLLIN, 0};
        while (elapsed.elapsed() < boundMs && ::poll(&p, 1, static_cast<int>(boundMs - elapsed.elapsed())) > 0 &&
               ::read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(out[0]);
        if (line.empty() || c != '\n') {
            error_ = "dbus-daemon gave no address: " + log();
            return;
        }
        address_ = QString::fromStdString(line);
    }
    ~PrivateBus()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the bus did not start (error() says why).
    const QString& address() const { return address_; }
    const std::string& error() const { return error_; }
    const QString& serviceDir() const { return serviceDir_; }
    // What the daemon and the programs it started wrote on their standard error so far.
    std::string log() const
    {
        QFile file(QString::fromStdString(logFile_));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }

private:
    QTemporaryDir dir_;
    QString serviceDir_;
    QString address_;
    std::string error_;
    std::string logFile_;
    pid_t pid_ = -1;
};

}  // namespace vxtest
