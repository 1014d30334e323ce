// Stand-in for the proxy core (xray) in tests. It takes the real program's command line,
//   xray run -c CONFIG
// reads CONFIG like the real core would (an unreadable file ends it with code 23 and a message on
// standard error) and then follows a behaviour script (see FakeBehaviour.h) found, in this order:
//   1. in the configuration text, as the string value of the key "fakeBehaviour", e.g.
//        {"fakeBehaviour": "print starting\n;sleep 300;listen 10807", "outbounds": [...]}
//      (the value is taken up to the next double quote; the fake does not decode JSON);
//   2. in the file STEM.behaviour beside the executable (STEM being its name without .exe);
//   3. otherwise "listen 10807": serve the SOCKS5 port like a healthy core, and stay up.
// Copy it under the real name ("xray", "xray.exe") into a directory of the test's own, so that
// parallel tests never share a behaviour file.
#include <cstdio>
#include <string>

#include "FakeBehaviour.h"

namespace {

std::string behaviourInConfig(const std::string& config) {
    const std::string key = "\"fakeBehaviour\"";
    const auto keyAt = config.find(key);
    if (keyAt == std::string::npos) {
        return {};
    }
    const auto open = config.find('"', config.find(':', keyAt + key.size()) + 1);
    const auto close = open == std::string::npos ? open : config.find('"', open + 1);
    if (close == std::string::npos) {
        return {};
    }
    return config.substr(open + 1, close - open - 1);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace halvern::fakes;
    prepareStandardStreams();
    std::string configPath;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "-c") {
            configPath = argv[i + 1];
        }
    }
    if (argc < 2 || std::string(argv[1]) != "run" || configPath.empty()) {
        std::fputs("usage: xray run -c CONFIG\n", stderr);
        return 2;
    }
    std::string config;
    if (!readWholeFile(configPath, config)) {
        std::fprintf(stderr, "fake xray: cannot read %s\n", configPath.c_str());
        exitWith(23);
    }
    std::string script = behaviourInConfig(config);
    if (script.empty() && !readWholeFile(ownDirectory() / (ownStem() + ".behaviour"), script)) {
        script = "listen 10807";
    }
    runBehaviour(script, argc, argv);
    return 2;
}
