#include "FakeBehaviour.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace halvern::fakes {
namespace {

void writeOut(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

std::string decode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        switch (next) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            default:
                out += next;
                break;
        }
    }
    return out;
}

std::vector<std::string> splitSteps(const std::string& script) {
    std::vector<std::string> steps(1);
    for (std::size_t i = 0; i < script.size(); ++i) {
        if (script[i] == '\\' && i + 1 < script.size() && script[i + 1] == ';') {
            steps.back() += "\\;";
            ++i;
        } else if (script[i] == ';') {
            steps.emplace_back();
        } else {
            steps.back() += script[i];
        }
    }
    return steps;
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

void holdForever() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(60));
    }
}

// The listening socket is never closed: it lives as long as the program.
bool listenOn(int port) {
#ifdef _WIN32
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
        return false;
    }
#else
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        return false;
    }
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    return bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
           listen(listener, 64) == 0;
}

std::string openDescriptors() {
    std::string out = "fds:";
#ifndef _WIN32
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        return out + " unknown\n";
    }
    const int own = dirfd(directory);
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || std::stoi(name) == own) {
            continue;
        }
        char target[4096] = {};
        const auto length = readlink(("/proc/self/fd/" + name).c_str(), target, sizeof(target) - 1);
        out += " " + name + "=" + std::string(target, length > 0 ? std::size_t(length) : 0);
    }
    closedir(directory);
#endif
    return out + "\n";
}

}  // namespace

void prepareStandardStreams() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
}

std::filesystem::path ownDirectory() {
#ifdef _WIN32
    wchar_t buffer[32768] = {};
    GetModuleFileNameW(nullptr, buffer, 32768);
    return std::filesystem::path(buffer).parent_path();
#else
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
#endif
}

std::string ownStem() {
#ifdef _WIN32
    wchar_t buffer[32768] = {};
    GetModuleFileNameW(nullptr, buffer, 32768);
    return std::filesystem::path(buffer).stem().string();
#else
    return std::filesystem::read_symlink("/proc/self/exe").stem().string();
#endif
}

bool readWholeFile(const std::filesystem::path& path, std::string& content) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

void exitWith(unsigned long code) {
    std::fflush(stdout);
    std::fflush(stderr);
#ifdef _WIN32
    ExitProcess(static_cast<UINT>(code));
#else
    std::_Exit(static_cast<int>(code & 0xFF));
#endif
}

void runBehaviour(const std::string& script, int argc, char** argv) {
    for (const std::string& rawStep : splitSteps(script)) {
        const std::string step = trim(rawStep);
        if (step.empty()) {
            continue;
        }
        const auto space = step.find(' ');
        const std::string verb = step.substr(0, space);
        const std::string argument = space == std::string::npos ? "" : step.substr(space + 1);
        if (verb == "print") {
            writeOut(stdout, decode(argument));
        } else if (verb == "eprint") {
            writeOut(stderr, decode(argument));
        } else if (verb == "fill") {
            const unsigned long count = std::stoul(argument);
            std::string text(count, '\0');
            for (unsigned long i = 0; i < count; ++i) {
                text[i] = static_cast<char>('0' + i % 10);
            }
            writeOut(stdout, text);
        } else if (verb == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(argument)));
        } else if (verb == "listen") {
            if (!listenOn(std::stoi(argument))) {
                writeOut(stderr, "fake: cannot listen on port " + argument + "\n");
                exitWith(3);
            }
        } else if (verb == "args") {
            std::string line;
            for (int i = 1; i < argc; ++i) {
                line += (i > 1 ? " " : "") + std::string(argv[i]);
            }
            writeOut(stdout, line + "\n");
        } else if (verb == "cwd") {
            writeOut(stdout, std::filesystem::current_path().string() + "\n");
        } else if (verb == "fds") {
            writeOut(stdout, openDescriptors());
        } else if (verb == "raise") {
#ifndef _WIN32
            std::fflush(stdout);
            signal(std::stoi(argument), SIG_DFL);
            raise(std::stoi(argument));
#endif
        } else if (verb == "exit") {
            exitWith(std::stoul(argument, nullptr, 0));
        } else if (verb == "hold") {
            holdForever();
        } else {
            writeOut(stderr, "fake: unknown step '" + step + "'\n");
            return;
        }
    }
    holdForever();
}

}  // namespace halvern::fakes
