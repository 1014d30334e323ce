#pragma once

#include <string>
#include <string_view>

namespace halvern {

// The outcome of one request. When the service could not be reached, or refused to answer,
// `reached` is false and `failure` says why in words meant for the user.
struct ControlExchange {
    bool reached = false;
    std::string failure{};
    std::string response{};
};

// Opens one connection to the service's control endpoint, sends `request` followed by a line
// feed, and returns the service's whole answer. Waits as long as the command takes.
ControlExchange exchangeRequest(std::string_view request);

// Whether standard output is a terminal, which acts on control bytes, rather than a file or pipe.
bool standardOutputIsTerminal();

}  // namespace halvern
