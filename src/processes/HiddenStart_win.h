#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/ChildProcess.h"

// Windows only: the one place the service creates a process, for its children and for its short
// commands alike. Every process starts hidden (CREATE_NO_WINDOW, SW_HIDE) and never through a
// command shell: the first token of its line is found by the process creation's own search.
namespace halvern {

struct HiddenStartPlan {
    std::string commandLine;
    // For a command: a line that is not pure ASCII is read as UTF-8 and started through
    // CreateProcessW (interface names in a localized system's script), with no directory and no
    // token. Otherwise the line goes to the ANSI call as it stands, as paths in the ANSI code
    // page must.
    bool lineIsUtf8 = false;
    std::optional<std::string> directory;  // nothing: the service's own
    void* output = nullptr;       // standard output and error, with no input; null: none is set
    bool inheritHandles = false;  // on for the children, whose log handle is inherited
    void* token = nullptr;        // CreateProcessAsUserA on this token; null: the service's
    // Not empty: the process starts suspended and joins a job of its own, which ends its tree
    // when it is stopped or the service dies, before it runs; the name is the refusal's.
    std::string jobFor;
};

// Starts the plan's process. With a job, `beforeRun(pid)` is called while the process is still
// suspended, so that the crash journal holds it before it does anything; a `beforeRun` that
// throws ends it first. Returns the process, or an empty owner with `error` set to the system's
// code when it cannot be created or resumed.
ChildProcess startHidden(const HiddenStartPlan& plan, std::uint32_t& error,
                         const std::function<void(std::uint32_t pid)>& beforeRun = {});

}  // namespace halvern
