#pragma once

#include <string>
#include <string_view>

// The command protocol: one request text in, one response text out. Responses are a single
// JSON object with no whitespace, starting with "ok".
namespace halvern {

// Runs one request under controllerMutex. May throw: an out-of-range "offset"/"maxBytes"
// raises std::out_of_range("stoll argument out of range"); the lock is released either way.
std::string dispatchCommand(std::string_view request);

// dispatchCommand, with any exception answered as makeErrorResponse of its message. This is
// what the control endpoint calls, so that no request can end its thread.
std::string answerRequest(std::string_view request);

// {"ok":true} or {"ok":true,<fields>}.
std::string makeOkResponse(std::string_view fields);

// {"ok":false,"error":<quoted message>}.
std::string makeErrorResponse(std::string_view message);

}  // namespace halvern
