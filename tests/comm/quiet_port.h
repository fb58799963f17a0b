#pragma once
// A serial line that opens and hears nothing, for tests that build channels but exchange no
// telegrams; it can count how often it was opened.
#include <cstddef>
#include <cstdint>

#include "comm/vx_channel.h"

namespace chantest {

class QuietPort final : public vx::TComPort {
public:
    // opens, when given, counts every opening of every such port sharing it.
    explicit QuietPort(int* opens = nullptr) : opens_(opens) {}
    int ComNumber() const override { return com_; }
    void SetComNumber(int n) override { com_ = n; }
    int Baud() const override { return baud_; }
    void SetBaud(int baud) override { baud_ = baud; }
    int Parity() const override { return parity_; }
    void SetParity(int parity) override { parity_ = parity; }
    int StopBits() const override { return stopBits_; }
    void SetStopBits(int bits) override { stopBits_ = bits; }
    unsigned HWFlowOptions() const override { return flow_; }
    void SetHWFlowOptions(unsigned bits) override { flow_ = bits; }
    bool RS485Mode() const override { return rs485_; }
    void SetRS485Mode(bool on) override { rs485_ = on; }
    bool Open() const override { return open_; }
    void SetOpen(bool on) override
    {
        if (on && !open_ && opens_)
            ++*opens_;
        open_ = on;
    }
    void ReleaseDevice() override { open_ = false; }
    void PutBlock(const void*, std::size_t) override {}
    std::uint8_t GetChar() override { return 0; }
    void FlushInBuffer() override {}

private:
    int* opens_;
    int com_ = 1, baud_ = 19200, parity_ = 2, stopBits_ = 1;
    unsigned flow_ = 0;
    bool rs485_ = false, open_ = false;
};

}  // namespace chantest
