#include "app/CaptureService.h"

#include <capture/Wake.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

bool CaptureServiceRunning()
{
    // Non-blocking: whatever sits at that path must not hold the window.
    int fd = open(Capture::InstanceLockPath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;  // never ran
    bool running = flock(fd, LOCK_SH | LOCK_NB) != 0;
    close(fd);
    return running;
}

bool StartCaptureService(const std::string &programPath)
{
    if (std::getenv("TESSALINE_NO_CAPTURE_SERVICE") || CaptureServiceRunning())
        return true;
    std::string folder = programPath.substr(0, programPath.rfind('/') + 1);
    std::vector<std::string> candidates = {folder + "tessaline-capture", folder + "../../bin/tessaline-capture"};
    std::string program = "tessaline-capture";  // from PATH
    for (const std::string &c : candidates) {
        if (!folder.empty() && access(c.c_str(), X_OK) == 0) {
            program = c;
            break;
        }
    }
    char *argv[] = {program.data(), nullptr};
    // Twice forked, in its own session: it outlives this program and leaves no zombie.
    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        setsid();
        if (fork() == 0) {
            execvp(argv[0], argv);
            _exit(127);
        }
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
