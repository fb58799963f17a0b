#include "tools/plcsim/modem_sim.h"

#include "tools/plcsim/transports.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace plcsim {

namespace {

std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

ModemPty::ModemPty(Simulator& sim) : sim_(sim), ctx_(std::make_unique<QObject>())
{
    script_["ATD"] = {200, "CONNECT 9600"};
    script_["ATH"] = {50, "OK"};
    script_["AT"] = {10, "OK"};
}

ModemPty::~ModemPty()
{
    ctx_.reset();
    if (heldSlave_ >= 0)
        ::close(heldSlave_);
    if (master_ >= 0)
        ::close(master_);
}

void ModemPty::open()
{
    if (master_ >= 0)
        return;
    const RawPty pty = OpenRawPty();
    master_ = pty.master;
    heldSlave_ = pty.heldSlave;
    slave_ = pty.slave;
    notifier_ = new QSocketNotifier(master_, QSocketNotifier::Read, ctx_.get());
    QObject::connect(notifier_, &QSocketNotifier::activated, ctx_.get(), [this] { readable(); });
    escape_ = new QTimer(ctx_.get());
    escape_->setSingleShot(true);
    QObject::connect(escape_, &QTimer::timeout, ctx_.get(), [this] {
        // Silence after "+++": back to command mode.
        if (escapeSeen_ == 3 && dataMode_) {
            dataMode_ = false;
            frames_.reset();
            commands_.push_back("+++");
            send("OK");
        }
        escapeSeen_ = 0;
    });
}

void ModemPty::readable()
{
    std::uint8_t buf[512];
    ssize_t n;
    while ((n = ::read(master_, buf, sizeof buf)) > 0) {
        const std::int64_t now = nowMs();
        const bool silentBefore = now - lastByteMs_ >= guardMs - 100;
        lastByteMs_ = now;
        const auto count = static_cast<std::size_t>(n);
        if (!dataMode_) {
            // Command mode: an escape framed by silence is nothing to answer.
            commandBytes(buf, count);
            continue;
        }
        if (std::memcmp(buf, "+++", std::min<std::size_t>(count, 3)) == 0 && count <= 3 &&
            (silentBefore || escapeSeen_ > 0)) {
            escapeSeen_ += static_cast<int>(count);
            if (escapeSeen_ == 3)
                escape_->start(guardMs - 100);
            continue;
        }
        escapeSeen_ = 0;
        escape_->stop();
        frames_.feed(std::span(buf, count));
        while (auto frame = frames_.next()) {
            const Bytes a = sim_.answer(*frame);
            if (!a.empty())
                (void)!::write(master_, a.data(), a.size());
        }
    }
}

void ModemPty::commandBytes(const std::uint8_t* data, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c != '\r') {
            if (c != '\n' && line_.size() < 256)
                line_ += c;
            continue;
        }
        std::string line = std::exchange(line_, std::string());
        const std::size_t at = line.find("AT");
        if (at == std::string::npos)
            continue;
        line.erase(0, at);
        commands_.push_back(line);
        const std::string key = line.rfind("ATD", 0) == 0 ? "ATD" : line.rfind("ATH", 0) == 0 ? "ATH" : "AT";
        reply(script_[key]);
    }
}

void ModemPty::reply(const Reply& r)
{
    if (r.text.empty())
        return;
    const std::string text = r.text;
    QTimer::singleShot(r.delayMs, ctx_.get(), [this, text] {
        send(text);
        if (text.rfind("CONNECT", 0) == 0) {
            dataMode_ = true;
            frames_.reset();
            lastByteMs_ = nowMs();
        }
    });
}

void ModemPty::send(const std::string& text)
{
    const std::string framed = "\r\n" + text + "\r\n";
    (void)!::write(master_, framed.data(), framed.size());
}

void ModemPty::dropCarrier()
{
    dataMode_ = false;
    frames_.reset();
    send("NO CARRIER");
}

}  // namespace plcsim
