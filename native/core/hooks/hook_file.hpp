// One pass over the ranks' report file by its path: opened, checked and read with plain
// file calls, each run through `blocking` (so the caller can let other threads run while a
// slow or stuck filesystem keeps it waiting).
#pragma once

#include <functional>
#include <string>

#include "file_tail.hpp"

namespace corvane::monitor {

using Blocking = std::function<void(const std::function<void()>& call)>;

// Reads what was appended since the last pass into `take`. A file not written yet is no
// error. Returns what to warn about (empty when nothing): the file is tried again at the
// next pass.
std::string read_hook_file(FileTail& tail, const std::string& path, const Blocking& blocking,
                           const FileTail::TakeLine& take);

}  // namespace corvane::monitor
