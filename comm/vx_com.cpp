#include "vx_com.h"

namespace vx {

TCOM::TCOM(TTreeObject* owner) : TParentTreeObject(owner) { ObjectType = otSerialChannel; }

TCOM::~TCOM() { DestroyChildren(); }

void TCOM::Start() { Polling = true; }

void TCOM::Stop() { Polling = false; }

void TComList::Clear()
{
    for (auto& channel : items_)
        channel->Stop();
    while (!items_.empty())
        items_.pop_back();
}

}  // namespace vx
