// Our stand-ins for xray (fake_xray, FAKE_PROXY_CORE) and tun2socks, run under the real names.
// The core insists on "run -c CONFIG" (else code 2), a readable CONFIG (else 23). The script: the
// core's CONFIG "fakeBehaviour", else STEM.behaviour beside it, else "listen 10807" (core) or
// "args" (bridge). Steps, ';' apart, each flushed; a script that runs out holds:
//   print TEXT, eprint TEXT (stdout, stderr)   fill N (fillPattern)   sleep MS
//   listen PORT (on 127.0.0.1)   args   cwd   fds (POSIX: " N=TARGET" per open descriptor)
//   exit CODE (0x-hex too; 32 bits on Windows)   raise SIGNAL (POSIX)   hold   stray (POSIX; else
//   none) tun (POSIX, bridge: creates the "-device tun://NAME" device, which ends with the program)
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/ExecutablePath.h"
#include "control/JsonText.h"
#include "network/CommandRunner.h"
#include "processes/SocketCalls.h"
#include "support/TestSupport.h"

#include <fcntl.h>

#ifdef _WIN32
#include <winsock2.h>

#include <io.h>
#else
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

void writeOut(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// The listening socket is never closed: it lives as long as the program.
bool listenOn(int port) {
    halvern::ensureWinsock();
    const auto listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#ifndef _WIN32
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
           listen(listener, 64) == 0;
}

// The device of "-device tun://NAME", never closed: it goes with the program, as the real one's.
bool createTun(int argc, char** argv) {
#ifdef _WIN32
    return argc < 0 && argv == nullptr;
#else
    const std::string device = argc > 2 ? argv[2] : "";
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    device.copy(request.ifr_name, IFNAMSIZ - 1, std::string("tun://").size());
    const int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    return device.starts_with("tun://") && fd >= 0 && ::ioctl(fd, TUNSETIFF, &request) == 0;
#endif
}

[[noreturn]] void runBehaviour(const std::string& script, int argc, char** argv) {
    std::istringstream steps(script);
    for (std::string step; std::getline(steps, step, ';');) {
        const auto space = step.find(' ');
        const std::string verb = step.substr(0, space);
        const std::string argument = space == std::string::npos ? "" : step.substr(space + 1);
        if (verb == "print" || verb == "eprint") {
            writeOut(verb == "print" ? stdout : stderr, argument);
        } else if (verb == "fill") {
            writeOut(stdout, halvern::testing::fillPattern(std::stoul(argument)));
        } else if (verb == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(argument)));
        } else if (verb == "listen" && !listenOn(std::stoi(argument))) {
            writeOut(stderr, "fake: cannot listen on port " + argument + "\n");
            std::_Exit(3);
        } else if (verb == "args") {
            writeOut(stdout, halvern::joinCommandLine({argv + 1, argv + argc}) + "\n");
        } else if (verb == "cwd") {
            writeOut(stdout, std::filesystem::current_path().string() + "\n");
        } else if (verb == "fds") {  // all but the one reading the list, whose target is in /proc
            std::string line = "fds:";
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
                const std::string target =
                    std::filesystem::read_symlink(entry.path(), error).string();
                if (target.rfind("/proc/", 0) != 0) {
                    line += " " + entry.path().filename().string() + "=" + target;
                }
            }
            writeOut(stdout, line + "\n");
        } else if (verb == "tun" && !createTun(argc, argv)) {
            writeOut(stderr, "fake: cannot create the device\n");
            std::_Exit(4);
        } else if (verb == "stray") {  // a child in a session of its own: only a sweep finds it
#ifndef _WIN32
            const pid_t stray = ::fork();
            for (bool own = stray == 0 && ::setsid() > 0; own;) {
                ::pause();
            }
            for (; ::getsid(stray) != stray; std::this_thread::yield()) {
            }
#endif
        } else if (verb == "raise") {
            std::raise(std::stoi(argument));
        } else if (verb == "exit") {
            // All 32 bits reach ExitProcess on Windows; POSIX keeps the low 8.
            std::_Exit(static_cast<int>(std::stoul(argument, nullptr, 0)));
        } else if (verb == "hold") {
            break;
        } else if (verb != "listen" && verb != "tun") {
            writeOut(stderr, "fake: unknown step '" + step + "'\n");
            std::_Exit(2);
        }
    }
    for (;;) {  // held, as the real programs stay up
        std::this_thread::sleep_for(std::chrono::seconds(60));
    }
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    const std::filesystem::path self = halvern::executablePath();
    std::string script;
#ifdef FAKE_PROXY_CORE
    if (argc != 4 || std::string(argv[1]) != "run" || std::string(argv[2]) != "-c") {
        std::fputs("usage: xray run -c CONFIG\n", stderr);
        return 2;
    }
    if (!std::ifstream(argv[3])) {
        std::fprintf(stderr, "fake xray: cannot read %s\n", argv[3]);
        return 23;
    }
    halvern::getJsonString(halvern::testing::readFileBytes(argv[3]), "fakeBehaviour", script);
    const char* fallback = "listen 10807";
#else
    const char* fallback = "args";
#endif
    if (script.empty()) {
        script = halvern::testing::readFileBytes(self.parent_path() /
                                                 (self.stem().string() + ".behaviour"));
    }
    runBehaviour(script.empty() ? fallback : script, argc, argv);
}
