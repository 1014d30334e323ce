#pragma once

#include <sys/un.h>

namespace halvern {

// `address` set to the socket at controlEndpointAddress(); false when its path does not fit.
// The endpoint and its clients all fill the address here.
bool controlSocketAddress(sockaddr_un& address);

}  // namespace halvern
