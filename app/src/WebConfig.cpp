#include "app/WebConfig.h"

#include <ambry/Thread.h>
#include <store/Registry.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <utility>

extern char **environ;

namespace {

// Characters of one token with the offsets they had in the command, so that a "%1"
// can be matched against its place in the whole command.
struct Token {
    std::string text;
    std::vector<size_t> offsets;
};

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Whitespace separates tokens; double quotes group and are dropped.
std::vector<Token> Tokenize(std::string_view command)
{
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < command.size()) {
        while (i < command.size() && IsSpace(command[i]))
            ++i;
        if (i >= command.size())
            break;
        Token token;
        bool quoted = false;
        bool any = false;
        for (; i < command.size(); ++i) {
            char c = command[i];
            if (c == '"') {
                quoted = !quoted;
                any = true;
                continue;
            }
            if (!quoted && IsSpace(c))
                break;
            token.text.push_back(c);
            token.offsets.push_back(i);
            any = true;
        }
        if (any)
            tokens.push_back(std::move(token));
    }
    return tokens;
}

std::mutex g_spawnerLock;
BrowserSpawner g_spawner;

} // namespace

std::string MakeAdminUrl(std::string_view addressText)
{
    // Letters, digits and the characters a host (with port or bracketed address) may
    // hold pass; everything else, '%' included, is percent-encoded byte by byte, so
    // no '@', '/', '?', '#' or white space in the stored text can change where the
    // page address leads.
    static constexpr std::string_view kHostPunctuation = "-._~!$&'()*+,;=:[]";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string url = "http://";
    for (const char c : addressText) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            kHostPunctuation.find(c) != std::string_view::npos) {
            url.push_back(c);
        } else {
            url.push_back('%');
            url.push_back(kHex[byte >> 4]);
            url.push_back(kHex[byte & 15]);
        }
    }
    url.append("/admin");
    return url;
}

std::optional<BrowserLaunch> BuildBrowserLaunch(std::string_view command, std::string_view url)
{
    std::vector<Token> tokens = Tokenize(command);
    if (tokens.empty() || tokens.front().text.empty())
        return std::nullopt;

    // The first "%1" past the command's first character.
    const size_t marker = command.size() > 1 ? command.find("%1", 1) : std::string_view::npos;

    bool substituted = false;
    BrowserLaunch launch;
    launch.program = tokens.front().text;
    for (Token &token : tokens) {
        if (!substituted && marker != std::string_view::npos) {
            for (size_t k = 0; k + 1 < token.offsets.size(); ++k) {
                if (token.offsets[k] == marker && token.offsets[k + 1] == marker + 1) {
                    token.text.replace(k, 2, url);
                    substituted = true;
                    break;
                }
            }
        }
        launch.argv.push_back(std::move(token.text));
    }
    if (!substituted)
        launch.argv.emplace_back(url);
    return launch;
}

BrowserLaunch DefaultBrowserLaunch(std::string_view url)
{
    return BrowserLaunch{"xdg-open", {"xdg-open", std::string(url)}};
}

int SpawnBrowser(const BrowserLaunch &launch)
{
    if (launch.program.empty() || launch.argv.empty())
        return -1;
    std::vector<char *> argv;
    argv.reserve(launch.argv.size() + 1);
    for (const std::string &arg : launch.argv)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    if (posix_spawnp(&pid, launch.program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    // Nobody waits for the browser; a detached reaper keeps it from lingering as a zombie.
    Ambry::StartThread("browser-reaper", [pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return pid;
}

void SetBrowserSpawner(BrowserSpawner spawner)
{
    std::lock_guard<std::mutex> lock(g_spawnerLock);
    g_spawner = std::move(spawner);
}

int LaunchBrowser(const BrowserLaunch &launch)
{
    BrowserSpawner spawner;
    {
        std::lock_guard<std::mutex> lock(g_spawnerLock);
        spawner = g_spawner;
    }
    return spawner ? spawner(launch) : SpawnBrowser(launch);
}

int OpenAdminPage(std::string_view addressText)
{
    const std::string url = MakeAdminUrl(addressText);
    std::optional<std::string> command = ReadRegisteredBrowserCommand();
    if (!command)
        return LaunchBrowser(DefaultBrowserLaunch(url));
    std::optional<BrowserLaunch> launch = BuildBrowserLaunch(*command, url);
    if (!launch)
        return -1;
    return LaunchBrowser(*launch);
}

std::optional<std::string> ReadRegisteredBrowserCommand()
{
    // The command value is read into a buffer of 260 bytes; a longer one does not fit
    // and counts as unreadable.
    constexpr size_t kMaxCommandBytes = 260;
    CKey key(OpenKey(HKEY_CLASSES_ROOT, "http\\shell\\open\\command", KEY_READ));
    if (!key)
        return std::nullopt;
    std::string command;
    if (!ReadText(key.get(), nullptr, &command) || command.size() >= kMaxCommandBytes)
        return std::nullopt;
    return command;
}
