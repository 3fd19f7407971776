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

const char *TypeName(uint32_t type)
{
    switch (type) {
    case REG_NONE:
        return "REG_NONE";
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    default:
        return "REG_UNKNOWN";
    }
}

std::string ShowData(uint32_t type, const std::vector<uint8_t> &data)
{
    if ((type == REG_SZ || type == REG_EXPAND_SZ)) {
        std::string text(data.begin(), data.end());
        size_t nul = text.find('\0');
        return nul == std::string::npos ? text : text.substr(0, nul);
    }
    if (type == REG_DWORD && data.size() == 4) {
        uint32_t v;
        std::memcpy(&v, data.data(), 4);
        char buffer[16];
        std::snprintf(buffer, sizeof(buffer), "0x%x", v);
        return buffer;
    }
    std::string out;
    for (uint8_t b : data) {
        char byte[4];
        std::snprintf(byte, sizeof(byte), "%02X", b);
        out += byte;
    }
    return out;
}

void PrintValue(HKEY key, const char *name)
{
    uint32_t type;
    std::vector<uint8_t> data;
    if (ReadRaw(key, name, &type, &data))
        std::printf("    %s    %s    %s\n", *name ? name : "(Default)", TypeName(type), ShowData(type, data).c_str());
}

bool Query(HKEY root, const std::string &path, bool recursive)
{
    CKey key(OpenKey(root, path.c_str(), KEY_READ));
    if (!key)
        return false;
    std::printf("%s\n", RegText::FullKeyName(root, path).c_str());
    char name[16384];
    for (uint32_t i = 0; StoreEnumValue(key.get(), i, name, sizeof(name)); ++i)
        PrintValue(key.get(), name);
    std::printf("\n");
    std::string sub;
    for (uint32_t i = 0; StoreEnumKey(key.get(), i, &sub); ++i) {
        std::string child = path.empty() ? sub : path + "\\" + sub;
        if (recursive)
            Query(root, child, true);
        else
            std::printf("%s\n", RegText::FullKeyName(root, child).c_str());
    }
    return true;
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
            if (haveValue) {
                CKey key(OpenKey(root, path.c_str(), KEY_READ));
                if (!key || !ValueExists(key.get(), valueName.c_str())) {
                    std::fprintf(stderr, "tessaline-reg: no such value\n");
                    return 1;
                }
                std::printf("%s\n", RegText::FullKeyName(root, path).c_str());
                PrintValue(key.get(), valueName.c_str());
                return 0;
            }
            if (!Query(root, path, recursive)) {
                std::fprintf(stderr, "tessaline-reg: no such key: %s\n", positional[0].c_str());
                return 1;
            }
            return 0;
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
        if (positional.empty()) {
            RegText::ExportKey(HKEY_CURRENT_USER, "", &text);
            RegText::ExportKey(HKEY_CLASSES_ROOT, "", &text);
        } else {
            HKEY root;
            std::string path;
            if (!RegText::ParseKeyPath(positional[0], &root, &path))
                return KeyError(positional[0].c_str());
            if (!RegText::ExportKey(root, path, &text)) {
                std::fprintf(stderr, "tessaline-reg: no such key: %s\n", positional[0].c_str());
                return 1;
            }
        }
        if (positional.size() < 2 || positional[1] == "-") {
            std::fwrite(text.data(), 1, text.size(), stdout);
            return 0;
        }
        std::ofstream out(positional[1], std::ios::binary | std::ios::trunc);
        if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())) || !out.flush()) {
            std::fprintf(stderr, "tessaline-reg: cannot write %s\n", positional[1].c_str());
            return 1;
        }
        return 0;
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
