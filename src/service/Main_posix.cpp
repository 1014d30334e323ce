#include "service/ServiceEntry.h"

// halvern-service: a verb manages the systemd unit; no verb serves in the foreground until
// SIGTERM or SIGINT. The exit code is the only report of a verb.
int main(int argc, char* argv[]) {
    return static_cast<int>(halvern::runCommandLine<char>(argc, argv));
}
