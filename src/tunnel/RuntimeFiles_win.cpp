#include "tunnel/RuntimeFiles.h"

namespace halvern {

const char* proxyCoreFileName() {
    return "xray.exe";
}
const char* tunnelBridgeFileName() {
    return "tun2socks.exe";
}
const char* driverLibraryFileName() {
    return "wintun.dll";
}

}  // namespace halvern
