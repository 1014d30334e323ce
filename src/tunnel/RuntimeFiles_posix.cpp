#include "tunnel/RuntimeFiles.h"

namespace halvern {

const char* proxyCoreFileName() {
    return "xray";
}
const char* tunnelBridgeFileName() {
    return "tun2socks";
}
const char* driverLibraryFileName() {
    return "";
}

}  // namespace halvern
