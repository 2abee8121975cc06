// Starting a program without a shell and without waiting for it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace karvo {

struct SpawnSpec {
  std::string program;            // a path; or a bare name looked up in PATH when search_path is set
  bool search_path = false;
  std::vector<std::string> args;  // the arguments after argv[0] (argv[0] is `program`)
  bool null_stdin_stdout = false;  // standard input and output on the null device
  bool null_stderr = false;        // standard error on the null device as well
  bool new_session = false;        // the child leads a session of its own (detached from the caller)
};

// Starts the program with the caller's environment and working directory, in the caller's process group
// unless a new session is asked for. Only descriptors 0, 1 and 2 reach the child: every descriptor of
// this program is close-on-exec, and any other that it inherited is closed in the child. The child's signal mask is empty and SIGPIPE is back
// to its default action, whatever the caller does with them. The child is never waited for here.
// Returns its process id, or nothing when it could not be started (the program is missing, not
// executable, ...), errno then telling why.
std::optional<pid_t> spawn_process(const SpawnSpec& spec);

}  // namespace karvo
