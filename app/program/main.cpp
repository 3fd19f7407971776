// tessaline-setup: the configuration utility's main window.
#include <app/CaptureService.h>
#include <app/ConfigApp.h>
#include <store/Device.h>
#include <tessaline/Version.h>

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

const char kUsage[] =
    "Usage:\n"
    "  tessaline-setup [Qt options]\n"
    "  tessaline-setup --help | --version\n"
    "\n"
    "Opens the configuration utility: the list of network capture appliances, their\n"
    "properties and the capture options. Settings are kept in the store file\n"
    "$TESSALINE_STORE, else $XDG_CONFIG_HOME/tessaline/registry.db.\n"
    "\n"
    "  --help            print this text and exit\n"
    "  --version         print the version and exit\n"
    "  -platform NAME    Qt platform plugin (e.g. offscreen, xcb, wayland)\n"
    "\n"
    "Every other Qt option (-style, -geometry, ...) is understood as well.\n"
    "Exit status: 0 when the window was closed normally (or SIGTERM or SIGINT asked\n"
    "the program to end), 1 when start-up failed,\n"
    "2 for a usage error.\n";

// --help and --version are answered before Qt starts, so they work without a display.
// Returns -1 to go on, else the exit status.
int EarlyArgs(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--version")) {
            std::printf("tessaline-setup %s\n", TESSALINE_VERSION);
            return 0;
        }
    }
    return -1;
}

int g_quitPipe[2] = {-1, -1};

void OnQuitSignal(int)
{
    const char byte = 1;
    const ssize_t written = write(g_quitPipe[1], &byte, 1);
    (void)written;
}

}  // namespace

int main(int argc, char **argv)
{
    if (const int early = EarlyArgs(argc, argv); early >= 0)
        return early;
    CConfigApp application;
    QApplication qt(argc, argv);
    // Qt has taken the options it knows out of argv; anything left is a mistake.
    if (argc > 1) {
        std::fprintf(stderr, "tessaline-setup: unknown option %s\n\n%s", argv[1], kUsage);
        return 2;
    }
    QApplication::setApplicationName(QStringLiteral("Tessaline DirectShow Setup"));
    QApplication::setApplicationVersion(QStringLiteral(TESSALINE_VERSION));
    // Matches the installed desktop entry, so the desktop shows its icon for the window.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.teluvo.Tessaline"));

    // SIGTERM (session end, service stop) and SIGINT end the program the orderly way,
    // through the event loop, instead of killing it in the middle of its work.
    std::unique_ptr<QSocketNotifier> quitNotifier;
    if (pipe2(g_quitPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        quitNotifier = std::make_unique<QSocketNotifier>(g_quitPipe[0], QSocketNotifier::Read);
        QObject::connect(quitNotifier.get(), &QSocketNotifier::activated, [] { QApplication::quit(); });
        struct sigaction action {};
        action.sa_handler = OnQuitSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }

    if (!application.InitInstance())
        return 1;
    (void)StartCaptureService(ProgramPath());
    const int result = QApplication::exec();
    application.ExitInstance();
    return result;
}
