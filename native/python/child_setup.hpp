// What a child process the monitor starts does between fork and exec.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "host.hpp"

namespace corvane::bindings {

// A preexec_fn for the host's subprocess: the child gets `signum` when the thread that
// started it ends, so a monitor that dies without a word (SIGKILL, the OOM killer) leaves
// nothing it started running.
inline nb::object parent_death_signal(int signum) {
  pid_t parent = ::getpid();
  return nb::cpp_function([parent, signum] {
    ::prctl(PR_SET_PDEATHSIG, signum);
    if (::getppid() != parent) ::raise(signum);  // the monitor died before that
  });
}

}  // namespace corvane::bindings
