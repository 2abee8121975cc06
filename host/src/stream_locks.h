// The two process-wide locks that guard the host's standard input and standard output.
// A thread that holds both took standard input first.
#pragma once

#include <mutex>

namespace karvo {

using StdinHold = std::unique_lock<std::mutex>;
using StdoutHold = std::unique_lock<std::mutex>;

std::mutex& stdin_mutex() noexcept;
std::mutex& stdout_mutex() noexcept;

inline StdinHold hold_stdin() { return StdinHold(stdin_mutex()); }
inline StdoutHold hold_stdout() { return StdoutHold(stdout_mutex()); }

}  // namespace karvo
