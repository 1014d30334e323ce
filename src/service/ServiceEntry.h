#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

// The process entry's work, shared by wmain (Windows) and main (Linux): one of four verbs
// manages the service's registration and ends the process with a result code; anything else,
// no argument included, runs the service itself.
namespace halvern {

// Implemented per platform. Each returns the process exit code: 0 or the system's error code
// of the failing step.
std::uint32_t installVerb();
std::uint32_t uninstallVerb();
std::uint32_t startVerb();
std::uint32_t stopVerb();  // always 0: stopping what is not there is no failure

// Implemented per platform: hands the process to the service manager (Windows) or serves in the
// foreground until SIGTERM or SIGINT (Linux). Returns the exit code.
std::uint32_t runAsService();

// Only the first argument after the program name is looked at; the rest are ignored.
template <typename Char>
std::uint32_t runCommandLine(int argc, const Char* const* argv) {
    struct VerbEntry {
        std::string_view name;
        std::uint32_t (*run)();
    };
    static constexpr VerbEntry kVerbs[] = {
        {"install", installVerb},
        {"uninstall", uninstallVerb},
        {"start", startVerb},
        {"stop", stopVerb},
    };
    if (argc > 1 && argv[1] != nullptr) {
        const std::basic_string_view<Char> argument(argv[1]);
        for (const VerbEntry& verb : kVerbs) {
            // Whole-argument, case-sensitive: "Install", "/install" or "-install" is no verb.
            if (std::equal(argument.begin(), argument.end(), verb.name.begin(), verb.name.end(),
                           [](Char a, char b) { return a == static_cast<Char>(b); })) {
                return verb.run();
            }
        }
    }
    return runAsService();
}

}  // namespace halvern
