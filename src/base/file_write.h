// Writing files: every byte of a buffer to a descriptor, and a whole file replaced
// atomically. Stateless; safe from any thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tr_base {

// Writes all of `data` to `fd`: again after an interrupted call (EINTR) and after a
// partial write. Returns true, or false with errno set.
bool WriteAll(int fd, std::string_view data);

// How WriteFileAtomically treats the file and the name.
struct AtomicWrite {
  mode_t mode = 0600;
  // Flush the data to the disk before the name points at them, so that after a power
  // loss the name never holds a file whose data did not reach the disk.
  bool sync = false;
  // false: a file already at the name stays as it is (and the call succeeds); a writer
  // that gets there first wins.
  bool replace = true;
};

// Writes `data` to a new temporary file beside `path` ("<path>.tmp.XXXXXX", created
// exclusively, never through a symlink) and then gives it the name `path`, so a reader of
// `path` sees the old file or the whole new one, never a part, and a crash leaves at most
// the temporary file. A symlink at `path` is replaced, never written through. Returns 0,
// or the errno of the step that failed; the temporary file is then removed.
int WriteFileAtomically(const std::string& path, std::string_view data,
                        const AtomicWrite& how = {});

// The marker in the name of the temporary files of WriteFileAtomically, for a clean-up of
// files left by a crash.
inline constexpr std::string_view kTemporaryMarker = ".tmp.";

}  // namespace tr_base
