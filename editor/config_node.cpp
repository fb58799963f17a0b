#include "config_node.h"

#include "platform/com/variant.h"

namespace vos {

TConfigNodeRec TConfigNodeRec::WithDefaults(TConfigNodeKind kind)
{
    TConfigNodeRec r;
    r.Kind = kind;
    r.Valid = 1;
    r.Saved = 0;
    r.Editable = 1;
    r.ComPort = 1;
    r.BaudRate = 19200;
    r.Parity = 2;
    r.ConnectionType = 0;
    r.Timeout = 2000;
    r.Marker = 1;
    r.VarType = VT_UI2;
    r.Readable = 1;
    r.Writable = 1;
    r.CloseLabel = "True";
    r.OpenLabel = "False";
    r.ScaledVarType = VT_R4;
    r.SimulationMax = 1000;
    r.SimulationGain = 10;
    r.SimulationPeriod = 1000;
    r.IpAddress = kDefaultIpAddress;
    r.StandbyComPort = 1;
    r.StandbyBaudRate = 19200;
    r.StandbyParity = 2;
    r.StandbyConnectionType = -1;
    r.StandbyTimeout = 2000;
    r.StandbyIpAddress = kDefaultStandbyIpAddress;
    if (kind == nkServer) {
        r.Name = kServerNodeName;
        r.Ordinal = 1;
        r.Saved = 1;
        r.Editable = 0;
    }
    return r;
}

}  // namespace vos
