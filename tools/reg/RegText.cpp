#include "RegText.h"

#include <ambry/Parse.h>

#include <cstdio>
#include <cstring>
#include <string_view>

namespace RegText {

namespace {

constexpr size_t MAX_KEY_COMPONENT = 255;
constexpr size_t HEX_BYTES_PER_LINE = 25;
// Value names of any length the store holds, with their NUL.
constexpr size_t MAX_VALUE_NAME_BUFFER = 16384;

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool IEquals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

int HexValue(char c) { return Ambry::DigitValue(c, 16); }

// Reads a quoted text at s[pos] ('"' there) with \\ and \" escapes; pos ends after
// the closing quote.
bool ReadQuoted(std::string_view s, size_t *pos, std::string *out)
{
    if (*pos >= s.size() || s[*pos] != '"')
        return false;
    out->clear();
    for (size_t i = *pos + 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= s.size())
                return false;
            c = s[++i];
            if (c == 'n')
                c = '\n';
            else if (c == 'r')
                c = '\r';
            else if (c != '\\' && c != '"')
                return false;
        }
        out->push_back(c);
    }
    return false;
}

std::string Quote(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        if (c == '\r') {
            out += "\\r";
            continue;
        }
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// Parses comma-separated two-digit hex bytes.
bool ParseHexBytes(std::string_view s, std::vector<uint8_t> *out, std::string *message)
{
    out->clear();
    s = Trim(s);
    if (s.empty())
        return true;
    size_t pos = 0;
    while (true) {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
            ++pos;
        if (pos + 2 > s.size() || HexValue(s[pos]) < 0 || HexValue(s[pos + 1]) < 0) {
            *message = "expected two hex digits";
            return false;
        }
        if (out->size() >= MAX_VALUE_BYTES) {
            *message = "value too large";
            return false;
        }
        out->push_back(static_cast<uint8_t>(HexValue(s[pos]) * 16 + HexValue(s[pos + 1])));
        pos += 2;
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
            ++pos;
        if (pos == s.size())
            return true;
        if (s[pos] != ',') {
            *message = "expected ',' between bytes";
            return false;
        }
        ++pos;
    }
}

bool ValidPath(const std::string &path)
{
    if (path.empty())
        return true;
    if (path.find('\0') != std::string::npos)
        return false;
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        size_t len = (end == std::string::npos ? path.size() : end) - start;
        if (len == 0 || len > MAX_KEY_COMPONENT)
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

// What an import may not create although the store would take it: paths deeper
// than the store allows (named here with the line) and the names "." and "..",
// which read as the key itself and its parent elsewhere.
const char *ImportPathProblem(const std::string &path)
{
    if (path.empty())
        return nullptr;
    size_t depth = 0;
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        std::string_view part(path.data() + start, (end == std::string::npos ? path.size() : end) - start);
        if (part == "." || part == "..")
            return "key name \".\" or \"..\" is not allowed";
        if (++depth > STORE_MAX_KEY_DEPTH)
            return "key deeper than 512 levels";
        if (end == std::string::npos)
            return nullptr;
        start = end + 1;
    }
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
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
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

// Notes the first error that ended a listing early.
void NoteError(WalkReport *report)
{
    if (StoreLastError() != STORE_ERROR_NO_MORE_ITEMS && report->error == STORE_ERROR_SUCCESS)
        report->error = StoreLastError();
}

// One line of a query answer for a value.
void ShowValue(HKEY key, const char *name, std::string *out, WalkReport *report)
{
    uint32_t type;
    std::vector<uint8_t> data;
    if (!ReadRaw(key, name, &type, &data))
        return NoteError(report);
    *out += std::string("    ") + (*name ? name : "(Default)") + "    " + TypeName(type) + "    " +
            ShowData(type, data) + "\n";
}

// Calls show for every value of key, in creation order.
void ForEachValue(HKEY key, const std::function<void(const char *name)> &show, WalkReport *report)
{
    std::vector<char> name(MAX_VALUE_NAME_BUFFER);
    uint32_t i = 0;
    for (; StoreEnumValue(key, i, name.data(), name.size()); ++i)
        show(name.data());
    NoteError(report);
}

std::string ChildPath(const std::string &path, const std::string &name)
{
    return path.empty() ? name : path + "\\" + name;
}

size_t Depth(const std::string &path)
{
    if (path.empty())
        return 0;
    size_t depth = 1;
    for (char c : path)
        depth += c == '\\';
    return depth;
}

}  // namespace

bool ParseKeyPath(std::string_view text, HKEY *root, std::string *path)
{
    text = Trim(text);
    size_t slash = text.find('\\');
    std::string_view rootName = text.substr(0, slash);
    if (IEquals(rootName, "HKEY_CURRENT_USER") || IEquals(rootName, "HKCU"))
        *root = HKEY_CURRENT_USER;
    else if (IEquals(rootName, "HKEY_CLASSES_ROOT") || IEquals(rootName, "HKCR"))
        *root = HKEY_CLASSES_ROOT;
    else
        return false;
    path->assign(slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1));
    while (!path->empty() && path->back() == '\\')
        path->pop_back();
    return ValidPath(*path);
}

const char *RootName(HKEY root) { return root == HKEY_CLASSES_ROOT ? "HKEY_CLASSES_ROOT" : "HKEY_CURRENT_USER"; }

std::string FullKeyName(HKEY root, const std::string &path)
{
    return path.empty() ? std::string(RootName(root)) : std::string(RootName(root)) + "\\" + path;
}

bool ParseImport(std::string_view text, std::vector<Op> *ops, ParseError *error)
{
    ops->clear();
    if (text.size() > MAX_IMPORT_BYTES) {
        *error = {0, "file too large"};
        return false;
    }
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    auto fail = [&](int line, std::string message) {
        *error = {line, std::move(message)};
        ops->clear();
        return false;
    };

    bool haveHeader = false;
    bool haveKey = false;
    HKEY root = nullptr;
    std::string path;
    int lineNo = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string_view raw = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        pos = end == std::string_view::npos ? text.size() : end + 1;
        ++lineNo;
        const int startLine = lineNo;
        std::string_view line = Trim(raw);
        if (line.empty() || line.front() == ';')
            continue;
        if (!haveHeader) {
            if (line != "REGEDIT4" && line != "Windows Registry Editor Version 5.00")
                return fail(lineNo, "missing REGEDIT4 header");
            haveHeader = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']')
                return fail(lineNo, "key line without ']'");
            std::string_view inner = line.substr(1, line.size() - 2);
            bool remove = !inner.empty() && inner.front() == '-';
            if (remove)
                inner.remove_prefix(1);
            Op op;
            if (!ParseKeyPath(inner, &op.root, &op.path))
                return fail(lineNo, "bad key name");
            if (const char *problem = ImportPathProblem(op.path))
                return fail(lineNo, problem);
            op.kind = remove ? OpKind::DeleteKey : OpKind::CreateKey;
            op.line = lineNo;
            haveKey = !remove;
            root = op.root;
            path = op.path;
            ops->push_back(std::move(op));
            continue;
        }
        if (!haveKey)
            return fail(lineNo, "value outside a key");
        Op op;
        op.root = root;
        op.path = path;
        op.line = startLine;
        size_t at = 0;
        if (line.front() == '@') {
            at = 1;
        } else if (!ReadQuoted(line, &at, &op.name)) {
            return fail(lineNo, "bad value name");
        } else if (op.name.find('\0') != std::string::npos) {
            return fail(lineNo, "NUL byte in a value name");
        }
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
        if (at >= line.size() || line[at] != '=')
            return fail(lineNo, "expected '='");
        std::string_view value = Trim(line.substr(at + 1));
        if (value == "-") {
            op.kind = OpKind::DeleteValue;
        } else if (!value.empty() && value.front() == '"') {
            size_t q = 0;
            std::string textValue;
            if (!ReadQuoted(value, &q, &textValue) || !Trim(value.substr(q)).empty())
                return fail(lineNo, "bad text value");
            if (textValue.size() + 1 > MAX_VALUE_BYTES)
                return fail(lineNo, "value too large");
            op.kind = OpKind::SetValue;
            op.type = REG_SZ;
            op.data.assign(textValue.begin(), textValue.end());
            op.data.push_back(0);
        } else if (value.size() > 6 && IEquals(value.substr(0, 6), "dword:")) {
            std::string_view digits = value.substr(6);
            if (digits.empty() || digits.size() > 8)
                return fail(lineNo, "bad dword value");
            uint32_t v = 0;
            for (char c : digits) {
                if (HexValue(c) < 0)
                    return fail(lineNo, "bad dword value");
                v = v * 16 + static_cast<uint32_t>(HexValue(c));
            }
            op.kind = OpKind::SetValue;
            op.type = REG_DWORD;
            op.data.resize(4);
            std::memcpy(op.data.data(), &v, 4);
        } else if (value.size() >= 3 && IEquals(value.substr(0, 3), "hex")) {
            std::string_view rest = value.substr(3);
            uint32_t type = REG_BINARY;
            if (!rest.empty() && rest.front() == '(') {
                size_t close = rest.find(')');
                if (close == std::string_view::npos || close == 1 || close > 9)
                    return fail(lineNo, "bad hex type");
                type = 0;
                for (char c : rest.substr(1, close - 1)) {
                    if (HexValue(c) < 0)
                        return fail(lineNo, "bad hex type");
                    type = type * 16 + static_cast<uint32_t>(HexValue(c));
                }
                rest.remove_prefix(close + 1);
            }
            if (rest.empty() || rest.front() != ':')
                return fail(lineNo, "expected ':' after hex");
            rest.remove_prefix(1);
            // Continuation lines: a trailing '\' joins the next line.
            std::string bytes(Trim(rest));
            while (!bytes.empty() && bytes.back() == '\\') {
                bytes.pop_back();
                if (pos >= text.size())
                    return fail(lineNo, "continuation at end of file");
                size_t next = text.find('\n', pos);
                std::string_view more =
                    text.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos);
                pos = next == std::string_view::npos ? text.size() : next + 1;
                ++lineNo;
                if (bytes.size() > 4 * MAX_VALUE_BYTES)
                    return fail(lineNo, "value too large");
                bytes.append(Trim(more));
            }
            std::string message;
            if (!ParseHexBytes(bytes, &op.data, &message))
                return fail(lineNo, message);
            op.kind = OpKind::SetValue;
            op.type = type;
        } else {
            return fail(lineNo, "unknown value form");
        }
        ops->push_back(std::move(op));
    }
    if (!haveHeader)
        return fail(lineNo, "missing REGEDIT4 header");
    return true;
}

bool ApplyImport(const std::vector<Op> &ops, std::string *error)
{
    CStoreTransaction transaction;
    if (!transaction.Active()) {
        *error = "the settings store cannot be written (" + StorePath() + ")";
        return false;
    }
    auto fail = [&](const Op &op, const char *what) {
        *error = "line " + std::to_string(op.line) + ": cannot " + what + " " + FullKeyName(op.root, op.path) +
                 " (error " + std::to_string(StoreLastError()) + ")";
        return false;
    };
    for (const Op &op : ops) {
        switch (op.kind) {
        case OpKind::CreateKey: {
            CKey key(CreateKeyPath(op.root, op.path.c_str()));
            if (!key)
                return fail(op, "create");
            break;
        }
        case OpKind::DeleteKey:
            if (!DeleteKeyTree(op.root, op.path.c_str()))
                return fail(op, "delete");
            break;
        case OpKind::SetValue: {
            CKey key(CreateKeyPath(op.root, op.path.c_str()));
            if (!key || !WriteRaw(key.get(), op.name.c_str(), op.type, op.data.data(), op.data.size()))
                return fail(op, "write a value in");
            break;
        }
        case OpKind::DeleteValue: {
            CKey key(OpenKey(op.root, op.path.c_str(), KEY_ALL_ACCESS));
            if (!key ? StoreLastError() != STORE_ERROR_FILE_NOT_FOUND
                     : !DeleteValue(key.get(), op.name.c_str()) && StoreLastError() != STORE_ERROR_FILE_NOT_FOUND)
                return fail(op, "delete a value in");
            break;
        }
        }
    }
    if (!transaction.Commit()) {
        *error = "the import could not be committed (error " + std::to_string(StoreLastError()) + ")";
        return false;
    }
    return true;
}

std::string FormatValue(const std::string &name, uint32_t type, const std::vector<uint8_t> &data)
{
    std::string out = name.empty() ? "@=" : Quote(name) + "=";
    if (type == REG_SZ && !data.empty() && data.back() == 0) {
        std::string text(data.begin(), data.end() - 1);
        if (text.find_first_of(std::string("\0\r\n", 3)) == std::string::npos)
            return out + Quote(text) + "\n";
    }
    if (type == REG_DWORD && data.size() == 4) {
        uint32_t v;
        std::memcpy(&v, data.data(), 4);
        char buffer[16];
        std::snprintf(buffer, sizeof(buffer), "dword:%08x\n", v);
        return out + buffer;
    }
    char prefix[24];
    if (type == REG_BINARY)
        std::snprintf(prefix, sizeof(prefix), "hex:");
    else
        std::snprintf(prefix, sizeof(prefix), "hex(%x):", type);
    out += prefix;
    for (size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof(byte), "%02x", data[i]);
        out += byte;
        if (i + 1 < data.size()) {
            out += ',';
            if ((i + 1) % HEX_BYTES_PER_LINE == 0)
                out += "\\\n  ";
        }
    }
    return out + "\n";
}

bool WalkKeys(HKEY root, const std::string &path, bool recursive,
              const std::function<void(HKEY key, const std::string &path, WalkReport *report)> &visit,
              WalkReport *report)
{
    CStoreReadTransaction view;
    CKey top(OpenKey(root, path.c_str(), KEY_READ));
    if (!top) {
        if (StoreLastError() != STORE_ERROR_FILE_NOT_FOUND)
            NoteError(report);
        return false;
    }
    visit(top.get(), path, report);
    if (!recursive)
        return true;
    // Each frame is an open key and the index of the next subkey to enter.
    struct Frame {
        CKey key;
        std::string path;
        uint32_t next = 0;
    };
    const size_t baseDepth = Depth(path);
    std::vector<Frame> stack;
    stack.push_back({std::move(top), path});
    std::string sub;
    while (!stack.empty()) {
        Frame &frame = stack.back();
        if (!StoreEnumKey(frame.key.get(), frame.next++, &sub)) {
            NoteError(report);
            stack.pop_back();
            continue;
        }
        if (baseDepth + stack.size() > STORE_MAX_KEY_DEPTH) {  // the child's depth
            ++report->deepKeys;
            continue;
        }
        CKey child(OpenKey(frame.key.get(), sub.c_str(), KEY_READ));
        if (!child) {
            NoteError(report);
            continue;
        }
        std::string childPath = ChildPath(frame.path, sub);
        visit(child.get(), childPath, report);
        stack.push_back({std::move(child), std::move(childPath)});
    }
    return true;
}

bool ExportKey(HKEY root, const std::string &path, std::string *out, WalkReport *report)
{
    return WalkKeys(
        root, path, true,
        [&](HKEY key, const std::string &keyPath, WalkReport *walk) {
            *out += "[" + FullKeyName(root, keyPath) + "]\n";
            ForEachValue(
                key,
                [&](const char *name) {
                    uint32_t type;
                    std::vector<uint8_t> data;
                    if (ReadRaw(key, name, &type, &data))
                        *out += FormatValue(name, type, data);
                    else
                        NoteError(walk);
                },
                walk);
            *out += "\n";
        },
        report);
}

bool QueryKey(HKEY root, const std::string &path, bool recursive, std::string *out, WalkReport *report)
{
    return WalkKeys(
        root, path, recursive,
        [&](HKEY key, const std::string &keyPath, WalkReport *walk) {
            *out += FullKeyName(root, keyPath) + "\n";
            ForEachValue(key, [&](const char *name) { ShowValue(key, name, out, walk); }, walk);
            *out += "\n";
            if (recursive)
                return;
            std::string sub;
            for (uint32_t i = 0; StoreEnumKey(key, i, &sub); ++i)
                *out += FullKeyName(root, ChildPath(keyPath, sub)) + "\n";
            NoteError(walk);
        },
        report);
}

bool QueryValue(HKEY root, const std::string &path, const std::string &name, std::string *out)
{
    CStoreReadTransaction view;
    CKey key(OpenKey(root, path.c_str(), KEY_READ));
    if (!key || !ValueExists(key.get(), name.c_str()))
        return false;
    *out += FullKeyName(root, path) + "\n";
    WalkReport report;
    ShowValue(key.get(), name.c_str(), out, &report);
    return report.Complete();
}

}  // namespace RegText
