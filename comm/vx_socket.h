#pragma once
// The Ethernet channels: the shared base, UDP and TCP.
#include "vx_ethernet.h"
#include "vx_tcp.h"
#include "vx_udp.h"
