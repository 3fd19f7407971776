// tessaline-capture: every registered device as a PipeWire camera, for this user.
#include <ambry/Thread.h>
#include <capture/Service.h>
#include <tessaline/Version.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <thread>

namespace {

const char kUsage[] =
    "Usage: tessaline-capture [--help] [--version]\n"
    "\n"
    "Publishes every device registered in the settings store as a PipeWire camera\n"
    "(media.class \"Video/Source\", media.role \"Camera\", node.name\n"
    "tessaline-<class identifier>), so capture applications find it, and a device\n"
    "with audio also as an audio source (\"Audio/Source\", node.name\n"
    "tessaline-audio-<audio class identifier>). A device is connected only while\n"
    "an application streams from it. The service follows the store while it runs\n"
    "and refuses to run twice for one user.\n"
    "\n"
    "Signals: SIGTERM or SIGINT stop it; SIGHUP reads the store again; SIGUSR1\n"
    "prints one line per node (camera: state, size, frames received from the\n"
    "device, frames queued, live, dropped; audio source: format, samples out,\n"
    "silent, short cycles, dropped).\n"
    "\n"
    "Environment: TESSALINE_STORE (the store file), XDG_CONFIG_HOME (the store's\n"
    "default folder), XDG_DATA_HOME (the password key), XDG_RUNTIME_DIR (the\n"
    "instance lock and the wake-up socket, in tessaline/), PIPEWIRE_RUNTIME_DIR.\n"
    "\n"
    "Exit status: 0 stopped by a signal, 1 could not start or PipeWire went away,\n"
    "2 bad arguments.\n";

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tessaline-capture %s\n", TESSALINE_VERSION);
            return 0;
        }
        std::fprintf(stderr, "tessaline-capture: unknown argument \"%s\"\n%s", argv[i], kUsage);
        return 2;
    }

    // Signals go to one waiting thread; every other thread blocks them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    std::unique_ptr<Capture::Service> service = Capture::Service::Start(Capture::ServiceOptions{}, &error);
    if (!service) {
        std::fprintf(stderr, "tessaline-capture: %s\n", error.c_str());
        return 1;
    }
    std::thread waiter = Ambry::StartThread("TSLCaptureSig", [&service, &signals] {
        for (;;) {
            int sig = 0;
            if (sigwait(&signals, &sig) != 0)
                continue;
            if (sig == SIGHUP) {
                service->Rescan();
                continue;
            }
            if (sig == SIGUSR1) {
                for (const Capture::NodeStatus &n : service->Nodes())
                    std::fprintf(stderr,
                                 "tessaline-capture: %s \"%s\": %s, %dx%d, %s, %llu received, %llu frames queued, "
                                 "%llu live, %llu dropped\n",
                                 n.nodeName.c_str(), n.displayName.c_str(), n.state.c_str(), n.width, n.height,
                                 n.streaming ? "streaming" : "idle", (unsigned long long)n.framesReceived,
                                 (unsigned long long)n.framesQueued,
                                 (unsigned long long)n.liveQueued, (unsigned long long)n.framesDropped);
                for (const Capture::AudioStatus &a : service->AudioNodes())
                    std::fprintf(stderr,
                                 "tessaline-capture: %s \"%s\": %u Hz, %u channels, %s, %llu samples out, %llu "
                                 "silent, %llu short cycles, %llu dropped\n",
                                 a.nodeName.c_str(), a.displayName.c_str(), a.rate, a.channels,
                                 a.streaming ? "streaming" : "idle", (unsigned long long)a.samplesOut,
                                 (unsigned long long)a.silentOut, (unsigned long long)a.underruns,
                                 (unsigned long long)a.overruns);
                continue;
            }
            service->Stop();
            return;
        }
    });
    bool stopped = service->Wait();
    if (!stopped)
        pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    service.reset();
    return stopped ? 0 : 1;
}
