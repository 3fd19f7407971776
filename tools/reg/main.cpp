// tessaline-reg: the settings store from the command line.
#include "RegText.h"

#include <ambry/FaultInject.h>
#include <tessaline/Version.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: tessaline-reg COMMAND ...\n"
    "Works on the settings store (%s).\n"
    "\n"
    "  query KEY [/v NAME] [/s]   list the values and subkeys of KEY (/s: all levels);\n"
    "                             /v: only the value NAME (\"\" or /ve: the default value)\n"
    "  export [KEY] [FILE]        write KEY (default: everything) as REGEDIT4 text to FILE\n"
    "                             (default or \"-\": standard output)\n"
    "  import FILE                apply a REGEDIT4 text file (\"-\": standard input); a file\n"
    "                             with any error changes nothing\n"
    "  delete KEY [/v NAME] [/f]  delete KEY with its subkeys, or only its value NAME\n"
    "  --help                     show this text\n"
    "  --version                  show the version\n"
    "\n"
    "KEY starts with its root: HKEY_CURRENT_USER (HKCU) or HKEY_CLASSES_ROOT (HKCR),\n"
    "e.g. HKEY_CURRENT_USER\\SOFTWARE\\Teluvo\\Tessaline\\Devices.\n"
    "The store is $TESSALINE_STORE, else $XDG_CONFIG_HOME/tessaline/registry.db.\n";

int Usage(FILE *out, int code)
{
    std::fprintf(out, kUsage, StorePath().c_str());
    return code;
}

// Reads file ("-": standard input) whole, counting what it reads against the import
// cap rather than trusting a size, so pipes and endless devices stop at the cap too.
bool ReadAll(const std::string &file, std::string *text, std::string *problem)
{
    const bool standardInput = file == "-";
    int fd = standardInput ? STDIN_FILENO : open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *problem = std::string("cannot read ") + file + ": " + std::strerror(errno);
        return false;
    }
    struct stat info;
    bool ok = true;
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        *problem = "cannot read " + file + ": it is a folder";
        ok = false;
    }
    text->clear();
    std::vector<char> buffer(1 << 16);
    while (ok) {
        ssize_t n = Ambry::FaultHit(Ambry::FaultKind::FileRead) ? (errno = EIO, -1) : read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *problem = std::string("cannot read ") + file + ": " + std::strerror(errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if (text->size() + static_cast<size_t>(n) > RegText::MAX_IMPORT_BYTES) {
            *problem = file + " is larger than " + std::to_string(RegText::MAX_IMPORT_BYTES >> 20) + " MiB";
            ok = false;
        } else {
            text->append(buffer.data(), static_cast<size_t>(n));
        }
    }
    if (!standardInput)
        close(fd);
    return ok;
}

// Writes text to file ("-": standard output); code, or 1 when it cannot be written.
int Output(const std::string &text, const std::string &file, int code)
{
    if (file == "-") {
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
            std::fprintf(stderr, "tessaline-reg: cannot write to standard output\n");
            return 1;
        }
        return code;
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())) || !out.flush()) {
        std::fprintf(stderr, "tessaline-reg: cannot write %s\n", file.c_str());
        return 1;
    }
    return code;
}

// An answer the walk could not complete is still shown, but the exit code and a
// message say so. Keys below the depth limit are only in stores of older versions.
int Incomplete(const RegText::WalkReport &report)
{
    if (report.deepKeys)
        std::fprintf(stderr, "tessaline-reg: %zu keys at level %zu were left out with everything below them\n",
                     report.deepKeys, STORE_MAX_KEY_DEPTH + 1);
    if (report.error != STORE_ERROR_SUCCESS)
        std::fprintf(stderr, "tessaline-reg: the settings store could not be read in full (error %ld)\n",
                     report.error);
    return report.Complete() ? 0 : 1;
}

int Missing(const std::string &key, const RegText::WalkReport &report)
{
    if (report.error != STORE_ERROR_SUCCESS)
        return Incomplete(report);
    std::fprintf(stderr, "tessaline-reg: no such key: %s\n", key.c_str());
    return 1;
}

int KeyError(const char *text)
{
    std::fprintf(stderr, "tessaline-reg: not a key name: %s (start with HKEY_CURRENT_USER or HKEY_CLASSES_ROOT)\n",
                 text);
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return Usage(stderr, 2);
    const std::string command = args[0];
    if (command == "--help" || command == "-h" || command == "/?")
        return Usage(stdout, 0);
    if (command == "--version") {
        std::printf("tessaline-reg %s\n", TESSALINE_VERSION);
        return 0;
    }

    // Options of query and delete.
    std::string valueName;
    bool haveValue = false, recursive = false;
    std::vector<std::string> positional;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &a = args[i];
        if ((a == "/v" || a == "-v") && i + 1 < args.size()) {
            valueName = args[++i];
            haveValue = true;
        } else if (a == "/ve" || a == "-ve") {
            valueName.clear();
            haveValue = true;
        } else if (a == "/s" || a == "-s") {
            recursive = true;
        } else if (a == "/f" || a == "-f") {
            // deletions never ask
        } else {
            positional.push_back(a);
        }
    }

    if (command == "query" || command == "delete") {
        if (positional.size() != 1)
            return Usage(stderr, 2);
        HKEY root;
        std::string path;
        if (!RegText::ParseKeyPath(positional[0], &root, &path))
            return KeyError(positional[0].c_str());
        if (command == "query") {
            std::string text;
            if (haveValue) {
                if (!RegText::QueryValue(root, path, valueName, &text)) {
                    std::fprintf(stderr, "tessaline-reg: no such value\n");
                    return 1;
                }
                return Output(text, "-", 0);
            }
            RegText::WalkReport report;
            if (!RegText::QueryKey(root, path, recursive, &text, &report))
                return Missing(positional[0], report);
            return Output(text, "-", Incomplete(report));
        }
        if (haveValue) {
            CKey key(OpenKey(root, path.c_str(), KEY_ALL_ACCESS));
            if (!key || !DeleteValue(key.get(), valueName.c_str())) {
                std::fprintf(stderr, "tessaline-reg: no such value\n");
                return 1;
            }
            return 0;
        }
        if (path.empty()) {
            std::fprintf(stderr, "tessaline-reg: a root cannot be deleted\n");
            return 1;
        }
        if (!DeleteKeyTree(root, path.c_str())) {
            std::fprintf(stderr, "tessaline-reg: cannot delete %s (error %ld)\n", positional[0].c_str(),
                         StoreLastError());
            return 1;
        }
        return 0;
    }

    if (command == "export") {
        if (positional.size() > 2)
            return Usage(stderr, 2);
        std::string text = "REGEDIT4\n\n";
        RegText::WalkReport report;
        if (positional.empty()) {
            // Both roots from one committed state.
            CStoreReadTransaction view;
            RegText::ExportKey(HKEY_CURRENT_USER, "", &text, &report);
            RegText::ExportKey(HKEY_CLASSES_ROOT, "", &text, &report);
        } else {
            HKEY root;
            std::string path;
            if (!RegText::ParseKeyPath(positional[0], &root, &path))
                return KeyError(positional[0].c_str());
            if (!RegText::ExportKey(root, path, &text, &report))
                return Missing(positional[0], report);
        }
        return Output(text, positional.size() < 2 ? "-" : positional[1], Incomplete(report));
    }

    if (command == "import") {
        if (positional.size() != 1)
            return Usage(stderr, 2);
        std::string text, problem;
        if (!ReadAll(positional[0], &text, &problem)) {
            std::fprintf(stderr, "tessaline-reg: %s; nothing was changed\n", problem.c_str());
            return 1;
        }
        std::vector<RegText::Op> ops;
        RegText::ParseError error;
        if (!RegText::ParseImport(text, &ops, &error)) {
            std::fprintf(stderr, "tessaline-reg: %s:%d: %s; nothing was changed\n", positional[0].c_str(), error.line,
                         error.message.c_str());
            return 1;
        }
        std::string message;
        if (!RegText::ApplyImport(ops, &message)) {
            std::fprintf(stderr, "tessaline-reg: %s; nothing was changed\n", message.c_str());
            return 1;
        }
        return 0;
    }

    std::fprintf(stderr, "tessaline-reg: unknown command: %s\n", command.c_str());
    return Usage(stderr, 2);
}
