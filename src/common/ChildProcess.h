#pragma once

// The system's owner of one child process of ours (`ChildProcess`) and the service's handle on
// the file that takes the child's output (`ChildLog`). Only the types differ by platform: a
// process handle in a job object on Windows, a pid leading its own process group on POSIX.
#ifdef _WIN32
#include "common/ChildProcess_win.h"
#else
#include "common/ChildProcess_posix.h"
#endif
