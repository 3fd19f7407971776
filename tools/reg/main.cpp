// tessaline-reg: the settings store from the command line.
#include "RegText.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
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
    "\n"
    "KEY starts with its root: HKEY_CURRENT_USER (HKCU) or HKEY_CLASSES_ROOT (HKCR),\n"
    "e.g. HKEY_CURRENT_USER\\SOFTWARE\\Teluvo\\Tessaline\\Devices.\n"
    "The store is $TESSALINE_STORE, else $XDG_CONFIG_HOME/tessaline/registry.db.\n";

int Usage(FILE *out, int code)
{
    std::fprintf(out, kUsage, StorePath().c_str());
    return code;
}

bool ReadAll(const std::string &file, std::string *text)
{
    std::ostringstream buffer;
    if (file == "-") {
        buffer << std::cin.rdbuf();
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            return false;
        in.seekg(0, std::ios::end);
        if (static_cast<size_t>(in.tellg()) > RegText::MAX_IMPORT_BYTES)
            return false;
        in.seekg(0);
        buffer << in.rdbuf();
    }
    *text = buffer.str();
    return true;
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

// Keys below the depth limit are only in stores written by older versions; an
// answer without them is incomplete, which the exit code says.
int Skipped(size_t skipped)
{
    if (skipped == 0)
        return 0;
    std::fprintf(stderr, "tessaline-reg: %zu keys deeper than %zu levels were left out\n", skipped,
                 STORE_MAX_KEY_DEPTH);
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
            size_t skipped = 0;
            if (!RegText::QueryKey(root, path, recursive, &text, &skipped)) {
                std::fprintf(stderr, "tessaline-reg: no such key: %s\n", positional[0].c_str());
                return 1;
            }
            return Output(text, "-", Skipped(skipped));
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
        size_t skipped = 0;
        if (positional.empty()) {
            // Both roots from one committed state.
            CStoreReadTransaction view;
            RegText::ExportKey(HKEY_CURRENT_USER, "", &text, &skipped);
            RegText::ExportKey(HKEY_CLASSES_ROOT, "", &text, &skipped);
        } else {
            HKEY root;
            std::string path;
            if (!RegText::ParseKeyPath(positional[0], &root, &path))
                return KeyError(positional[0].c_str());
            if (!RegText::ExportKey(root, path, &text, &skipped)) {
                std::fprintf(stderr, "tessaline-reg: no such key: %s\n", positional[0].c_str());
                return 1;
            }
        }
        return Output(text, positional.size() < 2 ? "-" : positional[1], Skipped(skipped));
    }

    if (command == "import") {
        if (positional.size() != 1)
            return Usage(stderr, 2);
        std::string text;
        if (!ReadAll(positional[0], &text)) {
            std::fprintf(stderr, "tessaline-reg: cannot read %s\n", positional[0].c_str());
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
