// The settings store primitives against a real SQLite file.
#include "StoreFixture.h"

#include <store/Guid.h>
#include <store/Protect.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>

using storetest::StoreTest;

namespace {

class RegistryTest : public StoreTest {};

TEST_F(RegistryTest, TypedReadsTakeOnlyTheirOwnTypes)
{
    CKey key(CreateKeyPath(HKEY_CURRENT_USER, "SOFTWARE\\Test\\Types"));
    ASSERT_TRUE(key);
    ASSERT_TRUE(WriteText(key.get(), "Text", "hello"));
    ASSERT_TRUE(WriteRaw(key.get(), "Expand", REG_EXPAND_SZ, "a%b%", 5));
    ASSERT_TRUE(WriteDword(key.get(), "Dword", 0xDEADBEEF));
    ASSERT_TRUE(WriteRaw(key.get(), "ShortDword", REG_DWORD, "\1\2", 2));
    const uint8_t bin[] = {0, 1, 2, 0, 3};
    ASSERT_TRUE(WriteBinary(key.get(), "Bin", bin, sizeof(bin)));
    ASSERT_TRUE(WriteBinary(key.get(), "Empty", nullptr, 0));

    std::string text;
    EXPECT_TRUE(ReadText(key.get(), "text", &text));  // names ignore case
    EXPECT_EQ(text, "hello");
    EXPECT_TRUE(ReadText(key.get(), "Expand", &text));
    EXPECT_EQ(text, "a%b%");
    EXPECT_FALSE(ReadText(key.get(), "Dword", &text));
    EXPECT_EQ(StoreLastError(), STORE_ERROR_INVALID_DATA);

    uint32_t dword = 0;
    EXPECT_TRUE(ReadDword(key.get(), "Dword", &dword));
    EXPECT_EQ(dword, 0xDEADBEEFu);
    EXPECT_FALSE(ReadDword(key.get(), "ShortDword", &dword));
    EXPECT_FALSE(ReadDword(key.get(), "Bin", &dword));

    std::vector<uint8_t> data;
    EXPECT_TRUE(ReadBinary(key.get(), "Bin", &data));
    EXPECT_EQ(data, std::vector<uint8_t>(bin, bin + sizeof(bin)));
    EXPECT_TRUE(ReadBinary(key.get(), "Empty", &data));
    EXPECT_TRUE(data.empty());
    EXPECT_FALSE(ReadBinary(key.get(), "Text", &data));

    EXPECT_FALSE(ReadText(key.get(), "Missing", &text));
    EXPECT_EQ(StoreLastError(), STORE_ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(ValueExists(key.get(), "ShortDword"));
    EXPECT_FALSE(ValueExists(key.get(), "Missing"));

    // The default value, and a long text read in full.
    std::string longText(100000, 'x');
    ASSERT_TRUE(WriteText(key.get(), nullptr, longText.c_str()));
    EXPECT_TRUE(ReadText(key.get(), "", &text));
    EXPECT_EQ(text, longText);
}

TEST_F(RegistryTest, ValuesEnumerateInCreationOrderAndOverwriteKeepsPlace)
{
    CKey key(CreateKeyPath(HKEY_CURRENT_USER, "Order"));
    for (const char *name : {"Zulu", "Alpha", "Mike"})
        ASSERT_TRUE(WriteText(key.get(), name, name));
    ASSERT_TRUE(WriteDword(key.get(), "ALPHA", 7));  // overwrite, other case, other type
    ASSERT_TRUE(DeleteValue(key.get(), "Zulu"));
    ASSERT_TRUE(WriteText(key.get(), "Zulu", "again"));
    std::vector<std::string> names;
    char buffer[STORE_VALUE_NAME_BUFFER];
    for (uint32_t i = 0; StoreEnumValue(key.get(), i, buffer, sizeof(buffer)); ++i)
        names.emplace_back(buffer);
    EXPECT_EQ(StoreLastError(), STORE_ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Mike", "Zulu"}));
    uint32_t v = 0;
    EXPECT_TRUE(ReadDword(key.get(), "alpha", &v));
    EXPECT_EQ(v, 7u);

    // A name longer than the caller's buffer is reported, not cut.
    std::string longName(300, 'n');
    ASSERT_TRUE(WriteText(key.get(), longName.c_str(), ""));
    EXPECT_FALSE(StoreEnumValue(key.get(), 3, buffer, sizeof(buffer)));
    EXPECT_EQ(StoreLastError(), STORE_ERROR_MORE_DATA);
    EXPECT_FALSE(DeleteValue(key.get(), "NotThere"));
    EXPECT_EQ(StoreLastError(), STORE_ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, KeysOpenCreateAndDeleteAsTrees)
{
    EXPECT_FALSE(CKey(OpenKey(HKEY_CLASSES_ROOT, "CLSID\\{none}", KEY_READ)));
    EXPECT_EQ(StoreLastError(), STORE_ERROR_FILE_NOT_FOUND);
    {
        CKey deep(CreateKeyPath(HKEY_CLASSES_ROOT, "CLSID\\{X}\\Sub\\Deeper"));
        ASSERT_TRUE(deep);
        ASSERT_TRUE(WriteText(deep.get(), "v", "1"));
        CKey other(CreateKeyPath(HKEY_CLASSES_ROOT, "CLSID\\{Y}"));
        ASSERT_TRUE(WriteText(other.get(), "keep", "1"));
    }
    // Creating again opens the same key; the roots are separate trees.
    CKey again(CreateKeyPath(HKEY_CLASSES_ROOT, "clsid\\{x}\\SUB\\deeper"));
    EXPECT_TRUE(ValueExists(again.get(), "v"));
    EXPECT_FALSE(CKey(OpenKey(HKEY_CURRENT_USER, "CLSID\\{X}", KEY_READ)));

    // Read-only handles refuse writes.
    CKey readOnly(OpenKey(HKEY_CLASSES_ROOT, "CLSID\\{X}", KEY_READ));
    ASSERT_TRUE(readOnly);
    EXPECT_FALSE(WriteText(readOnly.get(), "v", "x"));
    EXPECT_EQ(StoreLastError(), STORE_ERROR_ACCESS_DENIED);
    EXPECT_FALSE(CKey(OpenKey(readOnly.get(), "Sub", KEY_ALL_ACCESS)));

    std::string name;
    CKey clsid(OpenKey(HKEY_CLASSES_ROOT, "CLSID", KEY_READ));
    EXPECT_TRUE(StoreEnumKey(clsid.get(), 1, &name));
    EXPECT_EQ(name, "{Y}");

    EXPECT_TRUE(DeleteKeyTree(HKEY_CLASSES_ROOT, "CLSID\\{X}"));
    EXPECT_TRUE(DeleteKeyTree(HKEY_CLASSES_ROOT, "CLSID\\{X}"));  // missing counts as success
    EXPECT_FALSE(CKey(OpenKey(HKEY_CLASSES_ROOT, "CLSID\\{X}\\Sub", KEY_READ)));
    // A handle to a deleted key writes nothing (and does not resurrect it).
    EXPECT_FALSE(WriteText(again.get(), "v", "2"));
    CKey y(OpenKey(HKEY_CLASSES_ROOT, "CLSID\\{Y}", KEY_READ));
    EXPECT_TRUE(ValueExists(y.get(), "keep"));

    EXPECT_FALSE(DeleteKeyTree(HKEY_CLASSES_ROOT, ""));
    EXPECT_FALSE(CKey(CreateKeyPath(HKEY_CURRENT_USER, "a\\\\b")));
    EXPECT_EQ(StoreLastError(), STORE_ERROR_INVALID_PARAMETER);
}

// A key path of n components "k\\k\\...".
std::string DeepPath(size_t n)
{
    std::string path = "k";
    for (size_t i = 1; i < n; ++i)
        path += "\\k";
    return path;
}

TEST_F(RegistryTest, KeysStopAt512LevelsAndOlderDeeperTreesStillDelete)
{
    CKey deepest(CreateKeyPath(HKEY_CURRENT_USER, DeepPath(STORE_MAX_KEY_DEPTH).c_str()));
    ASSERT_TRUE(deepest);
    EXPECT_FALSE(CKey(CreateKeyPath(HKEY_CURRENT_USER, DeepPath(STORE_MAX_KEY_DEPTH + 1).c_str())));
    EXPECT_EQ(StoreLastError(), STORE_ERROR_INVALID_PARAMETER);
    // Below an open key the depth counts from the root too.
    EXPECT_FALSE(CKey(CreateKeyPath(deepest.get(), "x")));
    EXPECT_EQ(StoreLastError(), STORE_ERROR_INVALID_PARAMETER);
    CKey middle(OpenKey(HKEY_CURRENT_USER, DeepPath(STORE_MAX_KEY_DEPTH - 2).c_str(), KEY_ALL_ACCESS));
    EXPECT_TRUE(CKey(CreateKeyPath(middle.get(), "y\\z")));
    EXPECT_FALSE(CKey(CreateKeyPath(middle.get(), "y\\z\\w")));
    EXPECT_TRUE(CKey(OpenKey(HKEY_CURRENT_USER, (DeepPath(STORE_MAX_KEY_DEPTH - 2) + "\\y\\z").c_str(), KEY_READ)));

    // A chain 100,000 deep, as older versions could leave it, with a value at the bottom.
    const std::string db = StorePath();
    const std::string sql =
        "PRAGMA foreign_keys=ON; INSERT INTO keys(id, parent, name) VALUES(1000000, 1, 'Old');"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000)"
        " INSERT INTO keys(id, parent, name) SELECT 1000000 + i, 1000000 + i - 1, 'k' FROM n;"
        "INSERT INTO vals(key, name, type, data) VALUES(1100000, 'v', 4, x'01000000');";
    StoreClose();
    ASSERT_EQ(std::system(("sqlite3 '" + db + "' \"" + sql + "\"").c_str()), 0);
    EXPECT_TRUE(DeleteKeyTree(HKEY_CURRENT_USER, "Old")) << "error " << StoreLastError();
    EXPECT_FALSE(CKey(OpenKey(HKEY_CURRENT_USER, "Old", KEY_READ)));
    EXPECT_TRUE(DeleteKeyTree(HKEY_CURRENT_USER, "k"));
    EXPECT_FALSE(CKey(OpenKey(HKEY_CURRENT_USER, "k", KEY_READ)));
}

// Device passwords live in the store: neither the file nor its journals may be
// readable by others, whatever the umask and wherever the file is.
TEST_F(RegistryTest, TheStoreFileAndItsJournalsAreCreatedPrivate)
{
    const mode_t oldMask = umask(022);
    const char *config = std::getenv("XDG_CONFIG_HOME");
    const std::string oldConfig = config ? config : "";
    for (bool named : {true, false}) {
        if (!named) {
            unsetenv("TESSALINE_STORE");
            setenv("XDG_CONFIG_HOME", Dir().c_str(), 1);
        }
        StoreClose();
        const std::string db = StorePath();
        CKey key(CreateKeyPath(HKEY_CURRENT_USER, "Private"));
        ASSERT_TRUE(WriteText(key.get(), "v", "secret"));
        for (const char *suffix : {"", "-wal", "-shm"}) {
            struct stat info;
            ASSERT_EQ(stat((db + suffix).c_str(), &info), 0) << db << suffix;
            EXPECT_EQ(info.st_mode & 0777, 0600u) << db << suffix;
        }
    }
    umask(oldMask);
    if (config)
        setenv("XDG_CONFIG_HOME", oldConfig.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

TEST_F(RegistryTest, TransactionsCommitOrLeaveNothing)
{
    {
        CStoreTransaction tx;
        ASSERT_TRUE(tx.Active());
        CKey key(CreateKeyPath(HKEY_CURRENT_USER, "Tx"));
        WriteText(key.get(), "a", "1");
        {
            CStoreTransaction inner;
            WriteText(key.get(), "b", "2");
            inner.Rollback();
        }
        // no commit: everything goes
    }
    EXPECT_FALSE(CKey(OpenKey(HKEY_CURRENT_USER, "Tx", KEY_READ)));
    {
        CStoreTransaction tx;
        CKey key(CreateKeyPath(HKEY_CURRENT_USER, "Tx"));
        WriteText(key.get(), "a", "1");
        {
            CStoreTransaction inner;
            WriteText(key.get(), "b", "2");
        }
        EXPECT_TRUE(tx.Commit());
    }
    CKey key(OpenKey(HKEY_CURRENT_USER, "Tx", KEY_READ));
    EXPECT_TRUE(ValueExists(key.get(), "a"));
    EXPECT_FALSE(ValueExists(key.get(), "b"));
}

TEST_F(RegistryTest, HandlesGoStaleWhenTheStoreIsReopened)
{
    HKEY key = CreateKeyPath(HKEY_CURRENT_USER, "Stale");
    ASSERT_NE(key, nullptr);
    StoreClose();
    EXPECT_FALSE(WriteText(key, "v", "1"));
    EXPECT_EQ(StoreLastError(), STORE_ERROR_INVALID_HANDLE);
    CloseKey(key);
    CKey fresh(OpenKey(HKEY_CURRENT_USER, "Stale", KEY_ALL_ACCESS));
    EXPECT_TRUE(WriteText(fresh.get(), "v", "1"));
}

TEST_F(RegistryTest, AnUnusableFileFailsEveryCallQuietly)
{
    std::string path = Dir() + "/garbage.db";
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fputs("this is not a database, just some text that is long enough to look like a header.....", f);
    std::fclose(f);
    setenv("TESSALINE_STORE", path.c_str(), 1);
    StoreClose();
    EXPECT_FALSE(CKey(CreateKeyPath(HKEY_CURRENT_USER, "x")));
    EXPECT_EQ(StoreLastError(), STORE_ERROR_CANNOT_OPEN);

    // A FIFO or a device named as the store is refused at once, not read.
    const std::string fifo = Dir() + "/fifo.db";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &special : {fifo, std::string("/dev/null")}) {
        setenv("TESSALINE_STORE", special.c_str(), 1);
        StoreClose();
        auto created = std::async(std::launch::async, [] {
            return CKey(CreateKeyPath(HKEY_CURRENT_USER, "x")) ? long(STORE_ERROR_SUCCESS) : StoreLastError();
        });
        if (created.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
            ADD_FAILURE() << special << ": opening the store blocked";
            int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // lets the reader go
            if (writer >= 0) {
                (void)!write(writer, "not a database", 14);
                close(writer);
            }
        }
        EXPECT_EQ(created.get(), STORE_ERROR_CANNOT_OPEN) << special;
    }
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing)
{
    constexpr int kWrites = 150;
    StoreClose();
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            bool ok = true;
            for (int i = 0; i < kWrites && ok; ++i) {
                CStoreTransaction tx;
                CKey key(CreateKeyPath(HKEY_CURRENT_USER, ("Shared\\P" + std::to_string(c)).c_str()));
                CKey common(CreateKeyPath(HKEY_CURRENT_USER, "Shared\\Common"));
                ok = key && common && WriteDword(key.get(), ("v" + std::to_string(i)).c_str(), i) &&
                     WriteDword(common.get(), ("p" + std::to_string(c) + "_" + std::to_string(i)).c_str(), i) &&
                     tx.Commit();
            }
            _exit(ok ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    CKey common(OpenKey(HKEY_CURRENT_USER, "Shared\\Common", KEY_READ));
    char name[STORE_VALUE_NAME_BUFFER];
    int count = 0;
    while (StoreEnumValue(common.get(), static_cast<uint32_t>(count), name, sizeof(name)))
        ++count;
    EXPECT_EQ(count, 2 * kWrites);
}

TEST(GuidText, RoundTripsAndAcceptsOnlyTheBracedForm)
{
    GUID g = NewGuid();
    char text[GUID_TEXT_LENGTH + 1];
    GuidToText(g, text);
    EXPECT_EQ(std::strlen(text), GUID_TEXT_LENGTH);
    GUID back{};
    ASSERT_TRUE(GuidFromText(text, &back));
    EXPECT_TRUE(back == g);
    EXPECT_FALSE(NewGuid() == g);

    ASSERT_TRUE(GuidFromText("{860bb310-5d01-11d0-bd3b-00a0c911ce86}", &back));
    EXPECT_EQ(back.Data1, 0x860BB310u);
    EXPECT_EQ(back.Data4[7], 0x86);
    CGuidRecord record(back);
    EXPECT_STREQ(record.Text(), "{860BB310-5D01-11D0-BD3B-00A0C911CE86}");

    for (const char *bad : {"", "860BB310-5D01-11D0-BD3B-00A0C911CE86", "{860BB310-5D01-11D0-BD3B-00A0C911CE86} ",
                            " {860BB310-5D01-11D0-BD3B-00A0C911CE86}", "{860BB310-5D01-11D0-BD3B-00A0C911CE8G}",
                            "{860BB310+5D01-11D0-BD3B-00A0C911CE86}", "(860BB310-5D01-11D0-BD3B-00A0C911CE86)",
                            "{860BB3105D01-11D0-BD3B-00A0C911CE86-}"})
        EXPECT_FALSE(CGuidRecord::Parse(bad, &record)) << bad;
    EXPECT_FALSE(CGuidRecord::Parse(nullptr, &record));
}

class ProtectTest : public StoreTest {};

TEST_F(ProtectTest, PasswordsRoundTripAndForeignBlobsReadAsEmpty)
{
    std::vector<uint8_t> blob = ProtectPassword("s3cret ünïcode");
    ASSERT_FALSE(blob.empty());
    EXPECT_EQ(UnprotectPassword(blob), "s3cret ünïcode");

    // The key file is private to the user.
    struct stat st;
    ASSERT_EQ(stat(ProtectKeyPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // An empty password is sealed as the single byte 0 and reads back empty.
    std::vector<uint8_t> empty = ProtectPassword("");
    std::vector<uint8_t> plain;
    std::string description;
    ASSERT_TRUE(UnprotectData(empty.data(), empty.size(), &plain, &description));
    EXPECT_EQ(plain, std::vector<uint8_t>{0});
    EXPECT_EQ(description, "Tessaline password");
    EXPECT_EQ(UnprotectPassword(empty), "");

    // Damaged anywhere: no password.
    for (size_t i = 0; i < blob.size(); i += 7) {
        std::vector<uint8_t> bad = blob;
        bad[i] ^= 0x40;
        if (i >= 7 && i < 7 + std::strlen("Tessaline password"))
            continue;  // the description is not sealed
        EXPECT_EQ(UnprotectPassword(bad), "") << "byte " << i;
    }
    EXPECT_EQ(UnprotectPassword({}), "");
    EXPECT_EQ(UnprotectPassword(std::vector<uint8_t>(blob.begin(), blob.end() - 1)), "");

    // Another user's key (another key directory) cannot open it.
    setenv("XDG_DATA_HOME", (Dir() + "/other").c_str(), 1);
    EXPECT_EQ(UnprotectPassword(blob), "");
}

// A key path holding a short file, a FIFO or a link to a good key: no password is
// sealed, nothing waits for a writer, and what is there stays.
TEST_F(ProtectTest, AnUnusableKeyFileIsNeverReplaced)
{
    std::string dir = Dir() + "/data/tessaline";
    std::filesystem::create_directories(dir);
    std::string path = dir + "/protect.key";
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fputs("short", f);
    std::fclose(f);
    chmod(path.c_str(), 0600);
    EXPECT_TRUE(ProtectPassword("x").empty());
    EXPECT_EQ(std::filesystem::file_size(path), 5u);

    // Each case in a key folder of its own: the key is cached per path.
    const std::string fifoHome = Dir() + "/fifo", linkHome = Dir() + "/link";
    std::filesystem::create_directories(fifoHome + "/tessaline");
    std::filesystem::create_directories(linkHome + "/tessaline");
    const std::string fifo = fifoHome + "/tessaline/protect.key";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A good key elsewhere, reached through a link.
    setenv("XDG_DATA_HOME", (Dir() + "/good").c_str(), 1);
    ASSERT_FALSE(ProtectPassword("x").empty());
    std::filesystem::create_symlink(ProtectKeyPath(), linkHome + "/tessaline/protect.key");

    for (const std::string &home : {fifoHome, linkHome}) {
        setenv("XDG_DATA_HOME", home.c_str(), 1);
        auto sealed = std::async(std::launch::async, [] { return ProtectPassword("x"); });
        if (sealed.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
            ADD_FAILURE() << home << ": reading the key blocked";
            int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // lets the reader go
            if (writer >= 0)
                close(writer);
        }
        EXPECT_TRUE(sealed.get().empty()) << home;
    }
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    EXPECT_TRUE(std::filesystem::is_symlink(linkHome + "/tessaline/protect.key"));
}

}  // namespace
