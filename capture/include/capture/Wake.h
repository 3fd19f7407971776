// Where a user's capture service keeps its run-time files, and the "look again"
// message that tells a running service to read the settings store now.
//
// Header-only on purpose: the capture filter module includes it without linking
// the service's library.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace Capture {

// $XDG_RUNTIME_DIR/tessaline, or /tmp/tessaline-<uid> without a runtime folder.
inline std::string RuntimeFolder()
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/')
        return std::string(runtime) + "/tessaline";
    return "/tmp/tessaline-" + std::to_string(getuid());
}

// The service's datagram socket: any datagram on it means "look again".
inline std::string WakeSocketPath() { return RuntimeFolder() + "/capture.sock"; }
// Held locked (flock) by the running service.
inline std::string InstanceLockPath() { return RuntimeFolder() + "/capture.lock"; }

// Makes the run-time folder (mode 0700); false when it cannot be had or belongs to
// someone else.
inline bool MakeRuntimeFolder()
{
    std::string folder = RuntimeFolder();
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st;
    return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

// Tells a running service to look again. false when none listens; never blocks.
inline bool WakeCaptureService()
{
    std::string path = WakeSocketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const char message = 'R';
    bool sent = sendto(fd, &message, 1, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 1;
    close(fd);
    return sent;
}

}  // namespace Capture
