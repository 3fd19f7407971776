// The settings store's keys and values: opening, creating, deleting and listing
// keys, reading, writing, deleting and listing values, each under the store lock
// on the process's connection (StoreConnection.h).
#include "StoreConnection.h"

#include <ambry/Mutex.h>

#include <cstring>
#include <string>
#include <vector>

using namespace StoreDb;

namespace {

StoreKey g_rootCurrentUser{1, true, true, 0};
StoreKey g_rootClassesRoot{2, true, true, 0};

// Longest key name component and longest value we accept or hand out.
constexpr size_t MAX_KEY_NAME = 255;
constexpr size_t MAX_VALUE_NAME = 16383;
constexpr size_t MAX_VALUE_BYTES = 16u << 20;

// An internal write of several statements: a savepoint inside a running transaction,
// else its own immediate transaction.
class WriteScope {
public:
    explicit WriteScope(Store &store) TSL_REQUIRES(store.mutex) : m_store(store)
    {
        const char *sql = store.transactionDepth > 0 ? "SAVEPOINT store_op" : "BEGIN IMMEDIATE";
        m_nested = store.transactionDepth > 0;
        m_ok = Begin(store.db, sql) == SQLITE_OK;
        if (!m_ok)
            store.NoteFailure(STORE_ERROR_BUSY);
    }
    ~WriteScope()
    {
        m_store.mutex.AssertHeld();  // as at construction
        if (m_ok && !m_done)
            sqlite3_exec(m_store.db, m_nested ? "ROLLBACK TO store_op; RELEASE store_op" : "ROLLBACK", nullptr,
                         nullptr, nullptr);
    }
    bool ok() const { return m_ok; }
    bool Commit()
    {
        m_store.mutex.AssertHeld();
        m_done = true;
        if (!(m_nested && m_store.transactionError != STORE_ERROR_SUCCESS) &&
            Finish(m_store.db, m_nested ? "RELEASE store_op" : "COMMIT") == SQLITE_OK)
            return true;
        m_store.NoteFailure(STORE_ERROR_BUSY);
        sqlite3_exec(m_store.db, m_nested ? "ROLLBACK TO store_op; RELEASE store_op" : "ROLLBACK", nullptr, nullptr,
                     nullptr);
        return false;
    }

private:
    Store &m_store;
    bool m_nested = false;
    bool m_ok = false;
    bool m_done = false;
};

// Validates a handle under the store lock with the database open.
bool Usable(const Store &store, HKEY key, bool write) TSL_REQUIRES(store.mutex)
{
    if (!key)
        return Fail(STORE_ERROR_INVALID_HANDLE);
    if (!key->root && key->generation != store.generation)
        return Fail(STORE_ERROR_INVALID_HANDLE);
    if (write && !key->writable)
        return Fail(STORE_ERROR_ACCESS_DENIED);
    return true;
}

// Opens the database if need be and validates a handle, under the store lock.
bool Ready(Store &store, HKEY key, bool write) TSL_REQUIRES(store.mutex)
{
    if (!store.Ensure())
        return Fail(STORE_ERROR_CANNOT_OPEN);
    return Usable(store, key, write);
}

const char *ValueName(const char *name) { return name ? name : ""; }

// The child of parent named name, 0 when there is none, or -1 when the store could
// not be read (the last error set).
int64_t FindChild(Store &store, int64_t parent, const std::string &name) TSL_REQUIRES(store.mutex)
{
    Query q(store, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2");
    if (!q)
        return Fail(STORE_ERROR_CANNOT_OPEN), -1;
    q.Bind(1, parent).Bind(2, name.c_str());
    int rc = q.Step();
    if (rc == SQLITE_ROW)
        return sqlite3_column_int64(q.get(), 0);
    return rc == SQLITE_DONE ? 0 : (Fail(ErrorFromSqlite(rc)), -1);
}

// Splits a path at '\\'; false for an empty component, an over-long name or more
// components than a key may be deep.
bool SplitPath(const char *path, std::vector<std::string> *parts)
{
    parts->clear();
    if (!path || !*path)
        return true;
    const char *start = path;
    for (const char *p = path;; ++p) {
        if (*p == '\\' || *p == '\0') {
            size_t len = static_cast<size_t>(p - start);
            if (len == 0 || len > MAX_KEY_NAME || parts->size() == STORE_MAX_KEY_DEPTH)
                return false;
            parts->emplace_back(start, len);
            if (*p == '\0')
                break;
            start = p + 1;
        }
    }
    return true;
}

// How deep key id lies (a root's subkeys are at 1), counting at most up to limit + 1;
// -1 with the last error set when the chain cannot be read or the key is gone.
int64_t KeyDepth(Store &store, int64_t id, size_t limit) TSL_REQUIRES(store.mutex)
{
    int64_t depth = 0;
    while (id > 2 && static_cast<size_t>(depth) <= limit) {
        Query q(store, "SELECT parent FROM keys WHERE id = ?1");
        if (!q)
            return Fail(STORE_ERROR_CANNOT_OPEN), -1;
        if (int rc = (q.Bind(1, id), q.Step()); rc != SQLITE_ROW)
            return Fail(rc == SQLITE_DONE ? STORE_ERROR_INVALID_HANDLE : ErrorFromSqlite(rc)), -1;
        id = sqlite3_column_int64(q.get(), 0);
        ++depth;
    }
    return depth;
}

HKEY NewHandle(const Store &store, int64_t id, bool writable) TSL_REQUIRES(store.mutex)
{
    return new StoreKey{id, writable, false, store.generation};
}

// Reads a value's type and bytes; false with the last error set.
bool ReadValue(Store &store, HKEY key, const char *name, uint32_t *type, std::vector<uint8_t> *data)
    TSL_REQUIRES(store.mutex)
{
    if (!Ready(store, key, false))
        return false;
    Query q(store, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2");
    if (!q)
        return Fail(STORE_ERROR_CANNOT_OPEN);
    q.Bind(1, key->id).Bind(2, ValueName(name));
    int rc = q.Step();
    if (rc != SQLITE_ROW)
        return Fail(rc == SQLITE_DONE ? STORE_ERROR_FILE_NOT_FOUND : ErrorFromSqlite(rc));
    *type = static_cast<uint32_t>(sqlite3_column_int64(q.get(), 0));
    if (data) {
        const void *bytes = sqlite3_column_blob(q.get(), 1);
        size_t size = static_cast<size_t>(sqlite3_column_bytes(q.get(), 1));
        if (size > MAX_VALUE_BYTES)
            return Fail(STORE_ERROR_INVALID_DATA);
        const uint8_t *begin = static_cast<const uint8_t *>(bytes);
        data->assign(begin, begin + (bytes ? size : 0));
    }
    return Succeed();
}

}  // namespace

const HKEY HKEY_CURRENT_USER = &g_rootCurrentUser;
const HKEY HKEY_CLASSES_ROOT = &g_rootClassesRoot;

HKEY OpenKey(HKEY parent, const char *path, uint32_t access)
{
    Store &store = TheStore();
    Ambry::CLock lock(store.mutex);
    if (!Ready(store, parent, false))
        return nullptr;
    std::vector<std::string> parts;
    if (!SplitPath(path, &parts))
        return Fail(STORE_ERROR_INVALID_PARAMETER), nullptr;
    bool writable = (access & KEY_ALL_ACCESS) == KEY_ALL_ACCESS;
    if (writable && !parent->writable)
        return Fail(STORE_ERROR_ACCESS_DENIED), nullptr;
    int64_t id = parent->id;
    if (!parent->root || !parts.empty()) {
        // Opening the parent itself by an empty path checks that it still exists.
        if (parts.empty()) {
            Query q(store, "SELECT 1 FROM keys WHERE id = ?1");
            if (!q)
                return Fail(STORE_ERROR_CANNOT_OPEN), nullptr;
            if (int rc = (q.Bind(1, id), q.Step()); rc != SQLITE_ROW)
                return Fail(rc == SQLITE_DONE ? STORE_ERROR_FILE_NOT_FOUND : ErrorFromSqlite(rc)), nullptr;
        }
        for (const std::string &part : parts) {
            id = FindChild(store, id, part);
            if (id == 0)
                Fail(STORE_ERROR_FILE_NOT_FOUND);
            if (id <= 0)
                return nullptr;
        }
    }
    Succeed();
    return NewHandle(store, id, writable);
}

HKEY CreateKeyPath(HKEY parent, const char *path)
{
    if (HKEY key = OpenKey(parent, path, KEY_ALL_ACCESS))
        return key;
    long error = StoreLastError();
    if (error != STORE_ERROR_FILE_NOT_FOUND)
        return nullptr;
    Store &store = TheStore();
    Ambry::CLock lock(store.mutex);
    if (!Ready(store, parent, true))
        return nullptr;
    std::vector<std::string> parts;
    SplitPath(path, &parts);
    // The last component is missing, so it would be made at the parent's depth plus
    // the path's length.
    int64_t parentDepth = parent->root ? 0 : KeyDepth(store, parent->id, STORE_MAX_KEY_DEPTH);
    if (parentDepth < 0)
        return nullptr;
    if (static_cast<size_t>(parentDepth) + parts.size() > STORE_MAX_KEY_DEPTH)
        return Fail(STORE_ERROR_INVALID_PARAMETER), nullptr;
    WriteScope scope(store);
    if (!scope.ok())
        return Fail(STORE_ERROR_BUSY), nullptr;
    int64_t id = parent->id;
    for (const std::string &part : parts) {
        int64_t child = FindChild(store, id, part);
        if (child < 0)
            return nullptr;
        if (child == 0) {
            Query q(store, "INSERT INTO keys(parent, name) VALUES(?1, ?2)");
            if (!q)
                return Fail(STORE_ERROR_CANNOT_OPEN), nullptr;
            q.Bind(1, id).Bind(2, part.c_str());
            int rc = q.Step();
            if (rc != SQLITE_DONE)
                return Fail(ErrorFromSqlite(rc)), nullptr;
            child = sqlite3_last_insert_rowid(store.db);
        }
        id = child;
    }
    if (!scope.Commit())
        return Fail(STORE_ERROR_BUSY), nullptr;
    Succeed();
    return NewHandle(store, id, true);
}

void CloseKey(HKEY key)
{
    if (key && !key->root)
        delete key;
}

bool DeleteKeyTree(HKEY parent, const char *path)
{
    Store &store = TheStore();
    Ambry::CLock lock(store.mutex);
    if (!Ready(store, parent, true))
        return false;
    std::vector<std::string> parts;
    if (!SplitPath(path, &parts))
        return Fail(STORE_ERROR_INVALID_PARAMETER);
    if (parts.empty() && parent->root)
        return Fail(STORE_ERROR_ACCESS_DENIED);
    int64_t id = parent->id;
    for (const std::string &part : parts) {
        id = FindChild(store, id, part);
        if (id == 0)
            return Succeed();  // nothing to delete
        if (id < 0)
            return false;
    }
    // Deleting a key cascades to its subkeys and values, but SQLite runs each level of
    // a cascade as a nested trigger and gives up past a thousand levels. So the keys
    // go one by one from the deepest up: each has no subkeys left by then and takes
    // only its values along.
    store.ForgetCursor();
    WriteScope scope(store);
    if (!scope.ok())
        return Fail(STORE_ERROR_BUSY);
    std::vector<int64_t> tree;
    {
        Query q(store,
                "WITH RECURSIVE tree(id, depth) AS (SELECT ?1, 0 UNION ALL"
                " SELECT keys.id, tree.depth + 1 FROM keys JOIN tree ON keys.parent = tree.id)"
                " SELECT id FROM tree ORDER BY depth DESC");
        if (!q)
            return Fail(STORE_ERROR_CANNOT_OPEN);
        q.Bind(1, id);
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW)
            tree.push_back(sqlite3_column_int64(q.get(), 0));
        if (rc != SQLITE_DONE)
            return Fail(ErrorFromSqlite(rc));
    }
    for (int64_t key : tree) {
        Query q(store, "DELETE FROM keys WHERE id = ?1");
        if (!q)
            return Fail(STORE_ERROR_CANNOT_OPEN);
        q.Bind(1, key);
        int rc = q.Step();
        if (rc != SQLITE_DONE)
            return Fail(ErrorFromSqlite(rc));
    }
    if (!scope.Commit())
        return Fail(STORE_ERROR_BUSY);
    return Succeed();
}

bool StoreEnumKey(HKEY key, uint32_t index, std::string *name)
{
    Store &store = TheStore();
    Ambry::CLock lock(store.mutex);
    if (!Ready(store, key, false))
        return false;
    Query q(store, "SELECT name FROM keys WHERE parent = ?1 ORDER BY id LIMIT 1 OFFSET ?2");
    if (!q)
        return Fail(STORE_ERROR_CANNOT_OPEN);
    q.Bind(1, key->id).Bind(2, static_cast<int64_t>(index));
    if (int rc = q.Step(); rc != SQLITE_ROW)
        return Fail(rc == SQLITE_DONE ? STORE_ERROR_NO_MORE_ITEMS : ErrorFromSqlite(rc));
    const unsigned char *text = sqlite3_column_text(q.get(), 0);
    name->assign(text ? reinterpret_cast<const char *>(text) : "");
    return Succeed();
}

bool ReadRaw(HKEY key, const char *name, uint32_t *type, std::vector<uint8_t> *data)
{
    Store &store = TheStore();
    Ambry::CLock lock(store.mutex);
    return ReadValue(store, key, name, type, data);
}

bool ReadText(HKEY key, const char *name, std::string *out)
{
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadRaw(key, name, &type, &data))
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return Fail(STORE_ERROR_INVALID_DATA);
    const char *begin = reinterpret_cast<const char *>(data.data());
    size_t length = 0;
    while (length < data.size() && begin[length] != '\0')
        ++length;
    out->assign(begin, length);
    return true;
}

bool ReadDword(HKEY key, const char *name, uint32_t *out)
{
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadRaw(key, name, &type, &data))
        return false;
    if (type != REG_DWORD || data.size() != 4)
        return Fail(STORE_ERROR_INVALID_DATA);
    std::memcpy(out, data.data(), 4);  // little-endian hosts: the registry's byte order
    return true;
}

bool ReadBinary(HKEY key, const char *name, std::vector<uint8_t> *out)
{
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!ReadRaw(key, name, &type, &data))
        return false;
    if (type != REG_BINARY)
        return Fail(STORE_ERROR_INVALID_DATA);
    *out = std::move(data);
    return true;
}

bool ValueExists(HKEY key, const char *name)
{
    Store &store = TheStore();
    Ambry::CLock lock(store.mutex);
    uint32_t type = 0;
    return ReadValue(store, key, name, &type, nullptr);
}

bool WriteRaw(HKEY key, const char *name, uint32_t type, const void *data, size_t size)
{
    Store &store = TheStore();
    Ambry::CLock lock(store.mutex);
    if (!Ready(store, key, true))
        return false;
    const char *valueName = ValueName(name);
    if (std::strlen(valueName) > MAX_VALUE_NAME || size > MAX_VALUE_BYTES || (size && !data))
        return Fail(STORE_ERROR_INVALID_PARAMETER);
    store.ForgetCursor();
    Query q(store,
            "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"
            " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    if (!q)
        return Fail(STORE_ERROR_CANNOT_OPEN);
    q.Bind(1, key->id).Bind(2, valueName).Bind(3, static_cast<int64_t>(type)).BindBlob(4, data, size);
    int rc = q.Step();
    if (rc != SQLITE_DONE)
        return Fail(ErrorFromSqlite(rc));
    return Succeed();
}

bool WriteText(HKEY key, const char *name, const char *text)
{
    if (!text)
        text = "";
    return WriteRaw(key, name, REG_SZ, text, std::strlen(text) + 1);
}

bool WriteDword(HKEY key, const char *name, uint32_t value)
{
    return WriteRaw(key, name, REG_DWORD, &value, sizeof(value));
}

bool WriteBinary(HKEY key, const char *name, const void *data, size_t size)
{
    return WriteRaw(key, name, REG_BINARY, data, size);
}

bool DeleteValue(HKEY key, const char *name)
{
    Store &store = TheStore();
    Ambry::CLock lock(store.mutex);
    if (!Ready(store, key, true))
        return false;
    store.ForgetCursor();
    Query q(store, "DELETE FROM vals WHERE key = ?1 AND name = ?2");
    if (!q)
        return Fail(STORE_ERROR_CANNOT_OPEN);
    q.Bind(1, key->id).Bind(2, ValueName(name));
    int rc = q.Step();
    if (rc != SQLITE_DONE)
        return Fail(ErrorFromSqlite(rc));
    if (sqlite3_changes(store.db) == 0)
        return Fail(STORE_ERROR_FILE_NOT_FOUND);
    return Succeed();
}

bool StoreEnumValue(HKEY key, uint32_t index, char *buffer, size_t bufferSize)
{
    Store &store = TheStore();
    Ambry::CLock lock(store.mutex);
    if (!Ready(store, key, false))
        return false;
    if (!buffer || bufferSize == 0)
        return Fail(STORE_ERROR_INVALID_PARAMETER);
    const bool next = store.cursorKey == key->id && index == store.cursorIndex + 1;
    Query q(store, next ? "SELECT name, id FROM vals WHERE key = ?1 AND id > ?2 ORDER BY id LIMIT 1"
                        : "SELECT name, id FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2");
    if (!q)
        return Fail(STORE_ERROR_CANNOT_OPEN);
    q.Bind(1, key->id).Bind(2, next ? store.cursorRow : static_cast<int64_t>(index));
    if (int rc = q.Step(); rc != SQLITE_ROW) {
        store.ForgetCursor();
        return Fail(rc == SQLITE_DONE ? STORE_ERROR_NO_MORE_ITEMS : ErrorFromSqlite(rc));
    }
    store.cursorKey = key->id;
    store.cursorIndex = index;
    store.cursorRow = sqlite3_column_int64(q.get(), 1);
    const char *text = reinterpret_cast<const char *>(sqlite3_column_text(q.get(), 0));
    size_t length = static_cast<size_t>(sqlite3_column_bytes(q.get(), 0));
    if (length + 1 > bufferSize)
        return Fail(STORE_ERROR_MORE_DATA);
    std::memcpy(buffer, text ? text : "", length);
    buffer[length] = '\0';
    return Succeed();
}
