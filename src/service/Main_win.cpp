#include "service/ServiceEntry.h"

// The wide-character process entry: the exit code is the only report, nothing is printed.
int wmain(int argc, wchar_t* argv[]) {
    return static_cast<int>(halvern::runCommandLine<wchar_t>(argc, argv));
}
