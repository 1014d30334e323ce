#pragma once

#include <functional>
#include <string>
#include <string_view>

// The command protocol: one request text in, one response text out. Responses are a single
// JSON object with no whitespace, starting with "ok".
namespace halvern {

class TunnelService;

// Takes the response piece by piece, in order; false when the client has gone, after which
// nothing more is written.
using ResponseWriter = std::function<bool(std::string_view)>;

// Runs one request on the service's controller, under its lock, and hands its response to `write`:
// in one piece, but for "readLogDelta", whose content is escaped and written as the log is read, so
// that the response is never whole in memory (see streamLogDelta), and which reads no part of the
// controller: it streams once the lock is released again. May throw: an out-of-range
// "offset"/"maxBytes" raises std::out_of_range("stoll argument out of range") before anything
// is written; the lock is released either way.
void dispatchCommand(TunnelService& service, std::string_view request, const ResponseWriter& write);

// The same, with the response gathered into one text.
std::string dispatchCommand(TunnelService& service, std::string_view request);

// dispatchCommand, with an exception answered as makeErrorResponse of its message while nothing
// has been written yet (and the response cut short otherwise). This is what the control
// server calls, so that no request can end its thread.
void answerRequest(TunnelService& service, std::string_view request, const ResponseWriter& write);

// {"ok":true,<fields>}.
std::string makeOkResponse(std::string_view fields);

// {"ok":false,"error":<quoted message>}.
std::string makeErrorResponse(std::string_view message);

}  // namespace halvern
