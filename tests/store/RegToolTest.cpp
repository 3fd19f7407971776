// tessaline-reg: export and import round trips, all-or-nothing imports, and the
// import parser's rules.
#include "StoreFixture.h"
#include "Slowdown.h"

#include <RegText.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

using storetest::StoreTest;

namespace {

class RegToolTest : public StoreTest {
protected:
    // Runs the tool with arguments; returns its exit code and standard output.
    // Arguments are separated by spaces; each is passed single-quoted to the shell.
    // With errors, standard error comes along in output.
    int Run(const std::string &arguments, std::string *output = nullptr, bool errors = false)
    {
        StoreClose();  // the tool is another process: let it see everything we wrote
        std::string command = std::string(TESSALINE_BIN_DIR) + "/tessaline-reg";
        size_t start = 0;
        while (start <= arguments.size()) {
            size_t end = arguments.find(' ', start);
            if (end == std::string::npos)
                end = arguments.size();
            command += " '" + arguments.substr(start, end - start) + "'";
            start = end + 1;
        }
        command += errors ? " 2>&1" : " 2>/dev/null";
        FILE *pipe = popen(command.c_str(), "r");
        if (!pipe)
            return -1;
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
            text.append(buffer, n);
        int status = pclose(pipe);
        if (output)
            *output = text;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string WriteFile(const std::string &name, const std::string &text)
    {
        std::string path = Dir() + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string Export()
    {
        std::string text;
        EXPECT_EQ(Run("export", &text), 0);
        return text;
    }
};

TEST_F(RegToolTest, ExportThenImportRebuildsTheSameStore)
{
    {
        CKey a(CreateKeyPath(HKEY_CURRENT_USER, "SOFTWARE\\Teluvo\\Tessaline\\Devices"));
        WriteText(a.get(), "Item000", "{860BB310-5D01-11D0-BD3B-00A0C911CE86}");
        WriteText(a.get(), nullptr, "quote \" and backslash \\ and Süd");
        WriteText(a.get(), "multi\nline", "line one\nline two");
        WriteDword(a.get(), "Dword", 0x80000001);
        std::vector<uint8_t> big(300);
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<uint8_t>(i * 7);
        WriteBinary(a.get(), "Big", big.data(), big.size());
        WriteBinary(a.get(), "Empty", nullptr, 0);
        WriteRaw(a.get(), "Odd", 11, "\x01\x02", 2);
        CKey b(CreateKeyPath(HKEY_CLASSES_ROOT, "CLSID\\{X}\\InprocServer32"));
        WriteText(b.get(), "ThreadingModel", "Both");
    }
    std::string first = Export();
    ASSERT_NE(first.find("\"Dword\"=dword:80000001"), std::string::npos);
    ASSERT_NE(first.find("[HKEY_CLASSES_ROOT\\CLSID\\{X}\\InprocServer32]"), std::string::npos);
    std::string file = WriteFile("backup.reg", first);

    ASSERT_EQ(Run("delete HKCU\\SOFTWARE /f"), 0);
    ASSERT_EQ(Run("delete HKEY_CLASSES_ROOT\\CLSID"), 0);
    EXPECT_EQ(Run("query HKCU\\SOFTWARE"), 1);
    ASSERT_EQ(Run("import " + file), 0);
    EXPECT_EQ(Export(), first);

    std::string out;
    ASSERT_EQ(Run("query HKCU\\SOFTWARE\\Teluvo\\Tessaline\\Devices /v Item000", &out), 0);
    EXPECT_NE(out.find("Item000    REG_SZ    {860BB310-5D01-11D0-BD3B-00A0C911CE86}"), std::string::npos);
    ASSERT_EQ(Run("delete HKCU\\SOFTWARE\\Teluvo\\Tessaline\\Devices /v Item000"), 0);
    EXPECT_EQ(Run("query HKCU\\SOFTWARE\\Teluvo\\Tessaline\\Devices /v Item000"), 1);
}

TEST_F(RegToolTest, AnImportWithAnyErrorChangesNothing)
{
    {
        CKey key(CreateKeyPath(HKEY_CURRENT_USER, "Keep"));
        WriteText(key.get(), "v", "original");
    }
    std::string before = Export();
    // A parse error on the last line.
    std::string bad = WriteFile("bad.reg",
                                "REGEDIT4\n\n[-HKEY_CURRENT_USER\\Keep]\n[HKEY_CURRENT_USER\\New]\n\"a\"=\"1\"\n"
                                "\"b\"=hex:01,0\n");
    EXPECT_EQ(Run("import " + bad), 1);
    EXPECT_EQ(Export(), before);
    // An error only the store finds (a root cannot be deleted), after other changes.
    std::string late = WriteFile("late.reg", "REGEDIT4\n[HKCU\\Keep]\n\"v\"=\"changed\"\n[-HKEY_CLASSES_ROOT]\n");
    EXPECT_EQ(Run("import " + late), 1);
    EXPECT_EQ(Export(), before);
    EXPECT_EQ(Run("import " + Dir() + "/missing.reg"), 1);
    EXPECT_EQ(Run("frobnicate"), 2);
    EXPECT_EQ(Run("--help"), 0);
    std::string version;
    EXPECT_EQ(Run("--version", &version), 0);
    EXPECT_EQ(version.rfind("tessaline-reg 3.", 0), 0u) << version;
}

// Two importer processes swap between two device lists while this process queries
// the tree (as the tool does): each answer must be one whole list, never a mix or a
// half-deleted key.
TEST_F(RegToolTest, QueriesSeeOneWholeListWhileImportsReplaceIt)
{
    const int kDevices = 100;
    auto listFile = [&](char version) {
        std::string text = "REGEDIT4\n[-HKEY_CURRENT_USER\\SOFTWARE\\T\\Devices]\n"
                           "[HKEY_CURRENT_USER\\SOFTWARE\\T\\Devices]\n";
        char line[96];
        for (int i = 0; i < kDevices; ++i) {
            std::snprintf(line, sizeof(line), "\"Item%03d\"=\"%c-%03d\"\n", i, version, i);
            text += line;
        }
        for (int i = 0; i < kDevices; ++i) {
            std::snprintf(line, sizeof(line), "[HKEY_CURRENT_USER\\SOFTWARE\\T\\Devices\\Dev%03d]\n\"Name\"=\"%c\"\n", i,
                          version);
            text += line;
        }
        return WriteFile(std::string(1, version) + ".reg", text);
    };
    const std::string a = listFile('A'), b = listFile('B');
    ASSERT_EQ(Run("import " + a), 0);

    const std::string tool = std::string(TESSALINE_BIN_DIR) + "/tessaline-reg";
    const std::string stop = Dir() + "/stop";
    auto importer = [&](const std::string &first, const std::string &second) {
        std::string loop = "while [ ! -e '" + stop + "' ]; do '" + tool + "' import '" + first + "' && '" + tool +
                           "' import '" + second + "' || exit 1; done";
        return std::system(("sh -c \"" + loop + "\" >/dev/null 2>&1").c_str());
    };
    int importerResults[2] = {-1, -1};
    std::thread one([&] { importerResults[0] = importer(b, a); });
    std::thread two([&] { importerResults[1] = importer(a, b); });

    int torn = 0, failed = 0;
    std::string firstBad;
    for (int round = 0; round < 200 / testsupport::kSlowdown; ++round) {
        std::string out;
        RegText::WalkReport report;
        if (!RegText::QueryKey(HKEY_CURRENT_USER, "SOFTWARE\\T\\Devices", true, &out, &report) ||
            !report.Complete()) {
            ++failed;
            continue;
        }
        std::set<char> versions;
        int values = 0;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            size_t at = line.find("REG_SZ    ");
            if (at == std::string::npos)
                continue;
            ++values;
            versions.insert(line[at + 10]);
        }
        if (values != 2 * kDevices || versions.size() != 1) {
            if (firstBad.empty())
                firstBad = std::to_string(values) + " values of " + std::to_string(versions.size()) + " versions";
            ++torn;
        }
    }
    std::ofstream(stop).put('x');
    one.join();
    two.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(torn, 0) << "first mixed answer: " << firstBad;
    EXPECT_EQ(importerResults[0], 0);
    EXPECT_EQ(importerResults[1], 0);
}

// Keys as deep as the store allows go through import, query and export (the
// recursive walk of old ran out of stack at 500 levels); one level more is refused
// with its line; what older versions left deeper is left out of an export, loudly.
TEST_F(RegToolTest, DeepKeysRoundTripUpToTheLimitAndNoFurther)
{
    std::string path = "HKEY_CURRENT_USER\\Deep";
    for (size_t depth = 2; depth <= STORE_MAX_KEY_DEPTH; ++depth)
        path += "\\k";
    const std::string deep = WriteFile("deep.reg", "REGEDIT4\n\n[" + path + "]\n\"v\"=dword:00000007\n");
    ASSERT_EQ(Run("import " + deep), 0);
    std::string exported, queried, out;
    ASSERT_EQ(Run("export HKCU\\Deep", &exported), 0);
    EXPECT_NE(exported.find("[" + path + "]\n\"v\"=dword:00000007\n"), std::string::npos);
    ASSERT_EQ(Run("query HKCU\\Deep /s", &queried), 0);
    EXPECT_NE(queried.find(path + "\n    v    REG_DWORD    0x7\n"), std::string::npos);
    ASSERT_EQ(Run("delete HKCU\\Deep"), 0);
    ASSERT_EQ(Run("import " + WriteFile("again.reg", exported)), 0);
    EXPECT_EQ(Run("export HKCU\\Deep", &out), 0);
    EXPECT_EQ(out, exported);

    const std::string tooDeep =
        WriteFile("toodeep.reg", "REGEDIT4\n[HKCU\\Fine]\n\"a\"=\"1\"\n\n[" + path + "\\x]\n\"v\"=\"1\"\n");
    EXPECT_EQ(Run("import " + tooDeep, &out, true), 1);
    EXPECT_NE(out.find(tooDeep + ":5: key deeper than 512 levels"), std::string::npos) << out;
    EXPECT_EQ(Run("query HKCU\\Fine"), 1) << "a refused import changes nothing";

    // A chain 2,000 deep below HKCU\Old, written as older versions could.
    const std::string sql =
        "INSERT INTO keys(id, parent, name) VALUES(1000000, 1, 'Old');"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)"
        " INSERT INTO keys(id, parent, name) SELECT 1000000 + i, 1000000 + i - 1, 'k' FROM n;";
    StoreClose();
    ASSERT_EQ(std::system(("sqlite3 '" + StorePath() + "' \"" + sql + "\"").c_str()), 0);
    EXPECT_EQ(Run("export HKCU\\Old", &out, true), 1);
    EXPECT_NE(out.find("1 keys at level 513 were left out with everything below them"), std::string::npos);
    EXPECT_EQ(Run("query HKCU\\Old /s", &out), 1);
    EXPECT_EQ(Run("delete HKCU\\Old"), 0);
    EXPECT_EQ(Run("query HKCU\\Old"), 1);
}

// The import cap holds however the text arrives: from a pipe, from standard input,
// from a device that never ends. Memory is bounded so the fault shows as a failure.
TEST_F(RegToolTest, ImportsStopAtTheFileCapWhateverTheSource)
{
    const std::string tool = std::string(TESSALINE_BIN_DIR) + "/tessaline-reg";
#ifdef TESSALINE_SANITIZED
    const std::string limit;  // sanitizers reserve more address space than any sane limit
#else
    const std::string limit = "ulimit -v 1000000; ";
#endif
    auto shell = [&](const std::string &command, std::string *out) {
        StoreClose();
        std::string text;
        FILE *pipe = popen(("sh -c '" + limit + command + "' 2>&1").c_str(), "r");
        char buffer[4096];
        for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
            text.append(buffer, n);
        int status = pipe ? pclose(pipe) : -1;
        *out = text;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string out;
    EXPECT_EQ(shell(tool + " import /dev/zero", &out), 1);
    EXPECT_NE(out.find("/dev/zero is larger than 64 MiB; nothing was changed"), std::string::npos) << out;
    EXPECT_EQ(shell("head -c 67108865 /dev/zero | " + tool + " import -", &out), 1);
    EXPECT_NE(out.find("- is larger than 64 MiB"), std::string::npos) << out;
    EXPECT_EQ(shell(tool + " import " + Dir() + " ", &out), 1);
    EXPECT_NE(out.find("it is a folder"), std::string::npos) << out;
    // Standard input within the cap is an ordinary import.
    const std::string piped = WriteFile("piped.reg", "REGEDIT4\n[HKCU\\Piped]\n\"v\"=\"1\"\n");
    EXPECT_EQ(shell("cat " + piped + " | " + tool + " import -", &out), 0) << out;
    EXPECT_EQ(Run("query HKCU\\Piped /v v"), 0);
}

TEST(RegImportParser, ReadsEveryValueFormAndRejectsMalformedLines)
{
    std::vector<RegText::Op> ops;
    RegText::ParseError error;
    ASSERT_TRUE(RegText::ParseImport("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                                     "; comment\r\n"
                                     "[HKCR\\A\\B]\r\n"
                                     "@=\"d\"\r\n"
                                     "\"n\"=-\r\n"
                                     "\"h\"=hex(4):01,02,\\\r\n"
                                     "   03,04\r\n"
                                     "\"w\"=DWORD:ff\r\n",
                                     &ops, &error))
        << error.line << ": " << error.message;
    ASSERT_EQ(ops.size(), 5u);
    EXPECT_EQ(ops[0].kind, RegText::OpKind::CreateKey);
    EXPECT_EQ(ops[0].root, HKEY_CLASSES_ROOT);
    EXPECT_EQ(ops[0].path, "A\\B");
    EXPECT_EQ(ops[1].name, "");
    EXPECT_EQ(ops[1].data, (std::vector<uint8_t>{'d', 0}));
    EXPECT_EQ(ops[2].kind, RegText::OpKind::DeleteValue);
    EXPECT_EQ(ops[3].type, 4u);
    EXPECT_EQ(ops[3].data, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(ops[4].data, (std::vector<uint8_t>{0xff, 0, 0, 0}));

    const struct {
        const char *text;
        int line;
    } bad[] = {
        {"[HKCU\\a]\n", 1},                         // no header
        {"REGEDIT4\n\"a\"=\"b\"\n", 2},             // value before any key
        {"REGEDIT4\n[HKLM\\a]\n", 2},               // unknown root
        {"REGEDIT4\n[HKCU\\a\\\\b]\n", 2},          // empty component
        {"REGEDIT4\n[HKCU\\a]\n\"a\"=\"b\n", 3},    // open quote
        {"REGEDIT4\n[HKCU\\a]\n\"a\"=\"b\" x\n", 3},  // trailing text
        {"REGEDIT4\n[HKCU\\a]\n\"a\"=dword:123456789\n", 3},
        {"REGEDIT4\n[HKCU\\a]\n\"a\"=hex:1,2\n", 3},
        {"REGEDIT4\n[HKCU\\a]\n\"a\"=hex:01,\\\n", 3},
        {"REGEDIT4\n[HKCU\\a]\n\"a\"=hex(zz):01\n", 3},
        {"REGEDIT4\n[HKCU\\a]\n\"a\\q\"=\"b\"\n", 3},  // unknown escape
        {"REGEDIT4\n[HKCU\\a]\na=b\n", 3},
        {"REGEDIT4\n[-HKCU\\a]\n\"a\"=\"b\"\n", 3},  // value in a deleted key
        {"REGEDIT4\n[HKCU\\a\\..\\b]\n", 2},          // names that read as paths elsewhere
        {"REGEDIT4\n\n[-HKCU\\.]\n", 3},
        {"", 0},
    };
    for (const auto &b : bad) {
        EXPECT_FALSE(RegText::ParseImport(b.text, &ops, &error)) << b.text;
        EXPECT_EQ(error.line, b.line) << b.text;
        EXPECT_TRUE(ops.empty());
    }

    // A NUL would cut a name short in the store: "v\0q" must not become "v".
    using namespace std::string_literals;
    for (const std::string &text : {"REGEDIT4\n[HKCU\\a]\n\"v\0q\"=\"b\"\n"s, "REGEDIT4\n[HKCU\\a\0q]\n"s}) {
        EXPECT_FALSE(RegText::ParseImport(text, &ops, &error));
        EXPECT_TRUE(error.line == 2 || error.line == 3);
    }
    // One cap for every value type, texts included (with their NUL).
    const std::string atCap(RegText::MAX_VALUE_BYTES - 1, 'x');
    EXPECT_TRUE(RegText::ParseImport("REGEDIT4\n[HKCU\\a]\n\"t\"=\"" + atCap + "\"\n", &ops, &error));
    EXPECT_FALSE(RegText::ParseImport("REGEDIT4\n[HKCU\\a]\n\"t\"=\"" + atCap + "x\"\n", &ops, &error));
    EXPECT_EQ(error.message, "value too large");
}

}  // namespace
