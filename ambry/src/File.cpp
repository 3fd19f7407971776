#include "ambry/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Transfer.h"
#include "ambry/FaultInject.h"

namespace Ambry {

int FileOpenRegular(const char *path, uint64_t max_bytes, uint64_t *size, bool follow_links)
{
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow_links ? 0 : O_NOFOLLOW);
    int fd;
    do {
        // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one.
        fd = open(path, flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st {};
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (uint64_t(st.st_size) > max_bytes)
        error = EFBIG;
    else if (int flags = fcntl(fd, F_GETFL); flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        error = errno;
    if (error) {
        close(fd);
        errno = error;
        return -1;
    }
    if (size)
        *size = uint64_t(st.st_size);
    return fd;
}

long FileReadSome(int fd, void *data, size_t size)
{
    return InterruptibleTransfer(FaultKind::FileRead, [&] { return read(fd, data, size); });
}

bool FileReadExact(int fd, void *data, size_t size)
{
    auto *out = static_cast<unsigned char *>(data);
    size_t done = 0;
    while (done < size) {
        const long n = FileReadSome(fd, out + done, size - done);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace Ambry
