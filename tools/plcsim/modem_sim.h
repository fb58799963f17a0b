#pragma once
// A dial-up modem on the master side of a pseudo-terminal, with the PLC simulator behind the
// line it connects: AT command lines in command mode, answered per a script; after CONNECT
// the telegrams go to the simulator; "+++" framed by guard silence returns to command mode.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/plcsim/simulator.h"
#include "tools/plcsim/telegram.h"

class QObject;
class QSocketNotifier;
class QTimer;

namespace plcsim {

class ModemPty {
public:
    struct Reply {
        int delayMs = 0;
        std::string text;  // without the CR LF framing; empty: silence
    };

    explicit ModemPty(Simulator& sim);
    ~ModemPty();
    ModemPty(const ModemPty&) = delete;
    ModemPty& operator=(const ModemPty&) = delete;

    // std::runtime_error when the system has no pseudo-terminal to give.
    void open();
    const std::string& slavePath() const { return slave_; }

    // Replies by command ("ATD", "ATH", "AT" for any other command line).
    void setReply(const std::string& command, Reply reply) { script_[command] = std::move(reply); }
    // Sends NO CARRIER and returns to command mode.
    void dropCarrier();

    bool dataMode() const { return dataMode_; }
    // Every command line received, and "+++" for each escape taken.
    const std::vector<std::string>& commands() const { return commands_; }
    int guardMs = 1000;

private:
    void readable();
    void commandBytes(const std::uint8_t* data, std::size_t n);
    void reply(const Reply& r);
    void send(const std::string& text);

    Simulator& sim_;
    std::unique_ptr<QObject> ctx_;
    int master_ = -1;
    int heldSlave_ = -1;
    std::string slave_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* escape_ = nullptr;
    std::map<std::string, Reply> script_;
    std::vector<std::string> commands_;
    std::string line_;
    FrameExtractor frames_;
    bool dataMode_ = false;
    std::int64_t lastByteMs_ = 0;
    int escapeSeen_ = 0;  // "+" bytes after a guard silence
};

}  // namespace plcsim
