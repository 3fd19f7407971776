// Reading files named by users or by stored settings. Such a path may name a FIFO, a
// device or a huge file; opening it must neither block nor commit to reading
// without limit. The file is opened non-blocking, checked on the open descriptor
// (no window between check and use), and only then read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Ambry {

// A read-only descriptor (close-on-exec, blocking reads) of path when it names a
// regular file of at most max_bytes; its size goes to *size when given. Otherwise -1
// with errno: that of open or fstat, EINVAL when it is no regular file, EFBIG when it
// is larger than max_bytes. With follow_links false a symbolic link as the last part
// of path is refused (ELOOP), for files that must be the user's own.
[[nodiscard]] int FileOpenRegular(const char *path, uint64_t max_bytes, uint64_t *size, bool follow_links = true);

// read() that retries on EINTR: the bytes read, 0 at the end, -1 with errno on failure.
long FileReadSome(int fd, void *data, size_t size);
// Exactly size bytes or false (failure or early end).
[[nodiscard]] bool FileReadExact(int fd, void *data, size_t size);

}  // namespace Ambry
