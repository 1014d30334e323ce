#pragma once

#include <unistd.h>

#include "common/UniqueResource.h"

namespace halvern {

// Sole owner of a POSIX file descriptor; -1 means none. close() is not retried on EINTR: on
// Linux the descriptor is gone either way.
using UniqueFd = UniqueResource<int, ::close, -1>;

}  // namespace halvern
