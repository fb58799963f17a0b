#pragma once
// The completion hook from the communication core to the OPC layer.
#include <functional>

namespace vx {

class TVariable;

// Called once for every entry of a request packet when the packet is freed (answered,
// failed or dropped), so that the OPC transactions waiting on the variable can end.
// Empty until the OPC registry installs its handler.
using TVariableRequestDone = std::function<void(TVariable*)>;
extern TVariableRequestDone OnVariableRequestDone;

}  // namespace vx
