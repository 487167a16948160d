// Starting the program under test inside the testbed.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace kyrsim {

/// Holds the caller's LD_PRELOAD while kyrsim runs under umockdev's preload
/// library; the child gets the original back.
inline constexpr const char* ORIGINAL_PRELOAD_VARIABLE = "KYRSIM_ORIGINAL_LD_PRELOAD";

struct ChildSetup {
    std::vector<std::string> command;  // program and arguments
    std::string szControlPath;         // exported as KYRSIM_CONTROL
    bool bDropPermissionOverride = false;
};

/// Forks and execs "umockdev-wrapper PROGRAM ARGS...". The child dies with
/// kyrsim (SIGKILL on parent death). @throws std::system_error
pid_t StartChild(const ChildSetup& setup);

/// Exit status in the shell's convention: the code, or 128 + signal.
int ShellStatus(int nWaitStatus);

}  // namespace kyrsim
