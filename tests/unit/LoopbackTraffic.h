#pragma once

#include <cstddef>

namespace halvern {

// Sends `totalBytes` of UDP payload from one loopback socket to another, receiving it all, and
// returns how many payload bytes arrived. Every datagram crosses the loopback adapter once.
std::size_t sendLoopbackDatagrams(std::size_t totalBytes);

}  // namespace halvern
