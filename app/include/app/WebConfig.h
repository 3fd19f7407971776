// Opening a device's web administration page with the user's browser.
//
// The browser comes from the store's HKEY_CLASSES_ROOT\http\shell\open\command when that
// value is present, otherwise xdg-open. The command is split into an argument vector
// and started with posix_spawnp, never through a shell; the page address always
// travels as one argument of its own, whatever characters the address text holds.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct BrowserLaunch {
    std::string program;           // first token of the command, quotes removed
    std::vector<std::string> argv; // argv[0] is the program
};

// "http://" + address text + "/admin", the address text percent-encoded wherever it
// holds a character that has no place in a host and port ("a b" becomes "a%20b").
std::string MakeAdminUrl(std::string_view addressText);

// Splits a registered browser command and puts the URL in: the first "%1" that is not
// the command's first character is replaced by the URL, otherwise the URL is appended
// as a final argument. Returns none for a command without a program.
std::optional<BrowserLaunch> BuildBrowserLaunch(std::string_view command, std::string_view url);

// The launch used when no command is registered: xdg-open with the URL.
BrowserLaunch DefaultBrowserLaunch(std::string_view url);

// Starts a launch without waiting for it; the child is reaped by a detached thread.
// Returns the child's process id, or -1 when it could not be started.
int SpawnBrowser(const BrowserLaunch &launch);

// Reads the registered command from the settings store (none when absent or unreadable).
std::optional<std::string> ReadRegisteredBrowserCommand();

// Whatever starts the browser; tests replace it to record launches instead.
using BrowserSpawner = std::function<int(const BrowserLaunch &)>;
void SetBrowserSpawner(BrowserSpawner spawner); // empty restores SpawnBrowser
int LaunchBrowser(const BrowserLaunch &launch);

// The whole command: builds the URL and the launch from the store and starts it.
// Returns the spawner's result (-1 when nothing was started).
int OpenAdminPage(std::string_view addressText);
