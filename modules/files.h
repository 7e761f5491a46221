// Reading and replacing whole files. A replacement is written to a staging
// file created exclusively beside its target (same directory, so the rename
// cannot cross file systems and no other user can plant a link there), then
// renamed over the target: readers see the old file or the new one, never half.
#pragma once

#include <functional>
#include <string>

namespace trl {

// The whole file; "constructing input stream on PATH failed" when it cannot be read.
std::string readWholeFile(const std::string& path);

// Replaces target with text. before_rename runs after the staging file is
// complete, just before the rename. The new file gets mode when it is given
// (a private key: 0600, readable by nobody else at any moment), else the
// target's permission bits (0644 for a new file).
void replaceFile(const std::string& target, const std::string& text,
                 const std::function<void()>& before_rename = {}, int mode = -1);

}  // namespace trl
