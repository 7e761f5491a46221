// Reading a large file in one go: its size from fstat, then one read into
// a buffer of that size (more only if the file grows meanwhile), with no
// intermediate copies. For the leases file, which an append-only log makes
// many megabytes long and which every rescan reads whole.
#pragma once

#include <string>

namespace trl {

// The whole file; "constructing input stream on PATH failed" when it cannot be read.
std::string readSized(const std::string& path);

}  // namespace trl
