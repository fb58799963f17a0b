#include "vx_modem.h"

#include "vx_def.h"

namespace vx {

TModem::TModem(TTreeObject* owner) : TCOM(owner) { ObjectType = otModem; }

TModem::~TModem() { ShuttingDown = true; }

TModem* TModemList::AddModem()
{
    items_.push_back(std::make_unique<TModem>(CommServer));
    return items_.back().get();
}

void TModemList::HangUpAll()
{
    for (auto& modem : items_)
        modem->StartHangUp();
}

void TModemList::Clear()
{
    HangUpAll();
    while (!items_.empty())
        items_.pop_back();
}

}  // namespace vx
