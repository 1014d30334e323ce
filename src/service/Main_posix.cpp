#include <cstring>
#include <iostream>

#include "service/ServiceEntry.h"

// halvern-service: a verb manages the systemd unit; no verb serves in the foreground until
// SIGTERM or SIGINT. The exit code is the only report of a verb. "--version" is the one
// argument that prints: it tells which build a package installed. (The Windows entry has no
// such argument, since there anything but a verb runs the service; its version is in the
// executable's file properties.)
int main(int argc, char* argv[]) {
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "halvern-service " HALVERN_VERSION "\n";
        return 0;
    }
    return static_cast<int>(halvern::runCommandLine<char>(argc, argv));
}
