#pragma once
// COM port numbers to Linux device paths. The settings reader fills the map from the
// [Ports] section ("COM3=/dev/ttyUSB0"); a number without an entry is /dev/ttyS<n-1>.
// Main thread only, like everything that opens ports.
#include <string>

namespace plat {

// The device of COM n; empty for n below 1.
std::string comPortDevice(int n);
// Names the device of COM n; a bare name ("ttyUSB0") is taken from /dev. False, and the
// map unchanged, for n below 1 or an empty path.
bool setComPortDevice(int n, std::string path);
void clearComPortDevices();

}  // namespace plat
