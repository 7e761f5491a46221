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
// complete, just before the rename, with the staging file's path; what it
// throws leaves the target as it was. The new file gets mode when it is given
// (a private key: 0600, readable by nobody else at any moment); else a new
// file gets 0644 and an existing one keeps its permission bits, unless it is
// a link (a link planted at the target is replaced, and what it points at
// neither read nor changed).
void replaceFile(const std::string& target, const std::string& text,
                 const std::function<void(const std::string& staged)>& before_rename = {}, int mode = -1);

// Removes the staging files of target that an interrupted replacement left
// beside it; a warning for one that cannot be removed.
void removeStagingLeftovers(const std::string& target);

}  // namespace trl
