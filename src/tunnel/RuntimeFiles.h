#pragma once

namespace halvern {

// File names of the outside programs as this platform spells them. The driver library is
// Windows-only; elsewhere its name is empty and nothing is looked for or copied.
const char* proxyCoreFileName();
const char* tunnelBridgeFileName();
const char* driverLibraryFileName();

}  // namespace halvern
