// The reader's private work folder and the way every file in it is written.
//
// The folder is per user: a real directory (never a symlink), owned by the user, mode
// 0700. Candidates are tried in order; one is accepted when it exists as such or can be
// created (one level). Files are written without ever following a symlink, so a link
// planted in the folder cannot redirect a write elsewhere.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/exception.h"

// A file operation failed; carries the system error number.
class EInOutError : public Exception {
 public:
  EInOutError(int error, const std::string& what);
  int ErrorCode() const { return error_; }

 private:
  int error_;
};

// The Linux candidates, from the environment: $XDG_CACHE_HOME/talking-reader/ (or
// ~/.cache/talking-reader/), $TMPDIR/talking-reader-UID/, /tmp/talking-reader-UID/,
// /var/tmp/talking-reader-UID/.
std::vector<std::string> WorkFolderCandidates();

// The first acceptable candidate, with a trailing '/'. Raises Exception whose message is
// the system's text for the reason the last candidate was refused.
std::string FindWorkFolder(const std::vector<std::string>& candidates);

// Replaces `path` with `data`: written to a temporary file beside it and renamed over it,
// so a crash never leaves a half-written file. Never follows a symlink. Raises
// EInOutError.
void WriteFileAtomically(const std::string& path, std::string_view data);

// Writes `data` to `path` only when no file of that name exists (an existing one is
// never examined or rewritten). Atomic and symlink-safe as above; a concurrent writer
// of the same name does not make it fail.
void WriteFileIfMissing(const std::string& path, std::string_view data);

// Creates `path` empty, truncating a regular file of that name. Refuses a symlink, and a
// FIFO or device at once, without blocking.
void CreateEmptyFile(const std::string& path);
