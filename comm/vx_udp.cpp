#include "vx_udp.h"

namespace vx {

TUdpSocket::TUdpSocket(TTreeObject* owner) : TSocket(owner) { Name = "Socket"; }

}  // namespace vx
