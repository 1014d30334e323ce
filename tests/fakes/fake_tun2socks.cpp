// Stand-in for the tunnel bridge (tun2socks) in tests. It takes the real program's command line,
//   tun2socks -device tun://NAME -proxy socks5://127.0.0.1:PORT
// and follows a behaviour script (see FakeBehaviour.h) read from the file STEM.behaviour beside
// the executable (STEM being its name without .exe), for example
//   "print starting\n;exit 5"        a bridge that fails at once
//   "args;cwd"                       a bridge that reports how it was started and stays up
// Without that file it writes its arguments and stays up. It creates no adapter and forwards
// nothing. Copy it under the real name ("tun2socks", "tun2socks.exe") into a directory of the
// test's own, together with its behaviour file, so that parallel tests never share one.
#include <cstdio>
#include <string>

#include "FakeBehaviour.h"

int main(int argc, char** argv) {
    using namespace halvern::fakes;
    prepareStandardStreams();
    if (argc < 5 || std::string(argv[1]) != "-device" || std::string(argv[3]) != "-proxy") {
        std::fputs("usage: tun2socks -device tun://NAME -proxy socks5://HOST:PORT\n", stderr);
        return 2;
    }
    std::string script;
    if (!readWholeFile(ownDirectory() / (ownStem() + ".behaviour"), script)) {
        script = "args";
    }
    runBehaviour(script, argc, argv);
    return 2;
}
