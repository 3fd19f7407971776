// The settings store on SQLite: one connection per process, guarded by one
// recursive lock; keys and values in two tables with cascading deletes.
#include "store/Registry.h"

#include <ambry/FaultInject.h>
#include <ambry/Mutex.h>
#include <ambry/Trace.h>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

struct StoreKey {
    int64_t id = 0;
    bool writable = false;
    bool root = false;
    uint64_t generation = 0;  // connection generation the handle belongs to (roots: any)
};

namespace {

StoreKey g_rootCurrentUser{1, true, true, 0};
StoreKey g_rootClassesRoot{2, true, true, 0};

// Longest key name component and longest value we accept or hand out.
constexpr size_t MAX_KEY_NAME = 255;
constexpr size_t MAX_VALUE_NAME = 16383;
constexpr size_t MAX_VALUE_BYTES = 16u << 20;
constexpr int BUSY_TIMEOUT_MS = 10000;

thread_local long t_lastError = STORE_ERROR_SUCCESS;

bool Fail(long error)
{
    t_lastError = error;
    return false;
}

bool Succeed()
{
    t_lastError = STORE_ERROR_SUCCESS;
    return true;
}

const char *const kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY,"
    " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS vals("
    " id INTEGER PRIMARY KEY,"
    " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " UNIQUE(key, name));"
    "INSERT OR IGNORE INTO keys(id, parent, name) VALUES"
    " (1, NULL, 'HKEY_CURRENT_USER'), (2, NULL, 'HKEY_CLASSES_ROOT');";

long ErrorFromSqlite(int rc)
{
    switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return STORE_ERROR_BUSY;
    case SQLITE_CONSTRAINT:
        return STORE_ERROR_INVALID_HANDLE;  // the key was deleted under the handle
    case SQLITE_READONLY:
    case SQLITE_PERM:
        return STORE_ERROR_ACCESS_DENIED;
    default:
        return STORE_ERROR_CANNOT_OPEN;
    }
}

class Store {
public:
    Ambry::CMutex mutex;
    sqlite3 *db = nullptr;
    pid_t pid = 0;
    uint64_t generation = 1;
    int transactionDepth = 0;
    // The first failure of SQLite inside the running transaction. A transaction in
    // which anything failed does not commit, even when its caller went on: a save
    // is whole or not made.
    long transactionError = STORE_ERROR_SUCCESS;
    std::unordered_map<const char *, sqlite3_stmt *> statements;
    // Where the last value enumeration stopped, so the next index continues from
    // there instead of counting from the start. Any write of ours forgets it.
    int64_t cursorKey = 0;
    uint32_t cursorIndex = 0;
    int64_t cursorRow = 0;

    void ForgetCursor() { cursorKey = 0; }

    // Notes a failure of SQLite (an error code) against the running transaction.
    void NoteFailure(long error)
    {
        if (transactionDepth > 0 && transactionError == STORE_ERROR_SUCCESS)
            transactionError = error;
    }

    // Opens the database when needed. Call under mutex.
    bool Ensure()
    {
        if (db && pid != getpid()) {
            // A forked child must not touch its parent's connection: abandon it.
            db = nullptr;
            ForgetCursor();
            statements.clear();
            transactionDepth = 0;
            transactionError = STORE_ERROR_SUCCESS;
            ++generation;
        }
        if (db)
            return true;
        std::string path = StorePath();
        MakeParentDirs(path);
        // SQLite would create the file 0644 less the umask, and its journal files take
        // the file's mode: make it private first. An existing file keeps its mode.
        // Anything but a regular file (a FIFO would hold every reader) is refused.
        if (int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600); fd >= 0) {
            struct stat st;
            const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
            close(fd);
            if (!regular) {
                Ambry::TraceError("ERROR: settings store %s is not a regular file\n", path.c_str());
                return false;
            }
        }
        sqlite3 *handle = nullptr;
        int rc = sqlite3_open_v2(path.c_str(), &handle,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            Ambry::TraceError("ERROR: cannot open settings store %s: %s\n", path.c_str(),
                              handle ? sqlite3_errmsg(handle) : "out of memory");
            sqlite3_close(handle);
            return false;
        }
        sqlite3_busy_timeout(handle, BUSY_TIMEOUT_MS);
        sqlite3_exec(handle, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        if (sqlite3_exec(handle,
                         "PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;"
                         "BEGIN IMMEDIATE;",
                         nullptr, nullptr, nullptr) != SQLITE_OK ||
            sqlite3_exec(handle, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK ||
            sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            Ambry::TraceError("ERROR: settings store %s is not usable: %s\n", path.c_str(),
                              sqlite3_errmsg(handle));
            sqlite3_close(handle);
            return false;
        }
        db = handle;
        pid = getpid();
        ++generation;
        return true;
    }

    void Close()
    {
        ForgetCursor();
        for (auto &entry : statements)
            sqlite3_finalize(entry.second);
        statements.clear();
        if (db && pid == getpid())
            sqlite3_close(db);
        db = nullptr;
        transactionDepth = 0;
        transactionError = STORE_ERROR_SUCCESS;
        ++generation;
    }

    // A cached statement for a literal SQL text.
    sqlite3_stmt *Statement(const char *sql)
    {
        auto it = statements.find(sql);
        if (it != statements.end())
            return it->second;
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
            Ambry::TraceError("ERROR: settings store statement failed: %s\n", sqlite3_errmsg(db));
            NoteFailure(STORE_ERROR_CANNOT_OPEN);
            return nullptr;
        }
        statements.emplace(sql, stmt);
        return stmt;
    }

    static void MakeParentDirs(const std::string &path)
    {
        for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
            std::string dir = path.substr(0, pos);
            if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
                return;
        }
    }
};

// Lives to process end (detached workers may still use it at exit) unless a module
// that carries its own copy of the store ends it with StoreShutdown.
Store *g_store = nullptr;
std::once_flag g_storeOnce;

Store &TheStore()
{
    std::call_once(g_storeOnce, [] { g_store = new Store; });
    return *g_store;
}

// Runs SQL that opens a transaction or savepoint (a step) or ends one well (a commit),
// where an injected fault can strike. Rollbacks never fail on purpose.
int Begin(sqlite3 *db, const char *sql)
{
    return Ambry::FaultHit(Ambry::FaultKind::StoreStep) ? SQLITE_IOERR : sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

int Finish(sqlite3 *db, const char *sql)
{
    return Ambry::FaultHit(Ambry::FaultKind::StoreCommit) ? SQLITE_IOERR
                                                          : sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// One use of a cached statement; resets it when done.
class Query {
public:
    Query(Store &store, const char *sql) : m_store(store), m_stmt(store.Statement(sql)) {}
    ~Query()
    {
        if (m_stmt) {
            sqlite3_reset(m_stmt);
            sqlite3_clear_bindings(m_stmt);
        }
    }
    Query(const Query &) = delete;
    Query &operator=(const Query &) = delete;

    explicit operator bool() const { return m_stmt != nullptr; }
    Query &Bind(int index, int64_t value)
    {
        sqlite3_bind_int64(m_stmt, index, value);
        return *this;
    }
    Query &Bind(int index, const char *text)
    {
        sqlite3_bind_text(m_stmt, index, text, -1, SQLITE_STATIC);
        return *this;
    }
    Query &BindBlob(int index, const void *data, size_t size)
    {
        // A zero-length blob must still be a blob, not NULL.
        sqlite3_bind_blob64(m_stmt, index, size ? data : "", size, SQLITE_STATIC);
        return *this;
    }
    int Step()
    {
        int rc = Ambry::FaultHit(Ambry::FaultKind::StoreStep) ? SQLITE_IOERR : sqlite3_step(m_stmt);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            m_store.NoteFailure(ErrorFromSqlite(rc));
        return rc;
    }
    sqlite3_stmt *get() const { return m_stmt; }

private:
    Store &m_store;
    sqlite3_stmt *m_stmt;
};

// An internal write of several statements: a savepoint inside a running transaction,
// else its own immediate transaction.
class WriteScope {
public:
    explicit WriteScope(Store &store) : m_store(store)
    {
        const char *sql = store.transactionDepth > 0 ? "SAVEPOINT store_op" : "BEGIN IMMEDIATE";
        m_nested = store.transactionDepth > 0;
        m_ok = Begin(store.db, sql) == SQLITE_OK;
        if (!m_ok)
            store.NoteFailure(STORE_ERROR_BUSY);
    }
    ~WriteScope()
    {
        if (m_ok && !m_done)
            sqlite3_exec(m_store.db, m_nested ? "ROLLBACK TO store_op; RELEASE store_op" : "ROLLBACK", nullptr,
                         nullptr, nullptr);
    }
    bool ok() const { return m_ok; }
    bool Commit()
    {
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
bool Usable(const Store &store, HKEY key, bool write)
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
bool Ready(Store &store, HKEY key, bool write)
{
    if (!store.Ensure())
        return Fail(STORE_ERROR_CANNOT_OPEN);
    return Usable(store, key, write);
}

const char *ValueName(const char *name) { return name ? name : ""; }

// The child of parent named name, 0 when there is none, or -1 when the store could
// not be read (the last error set).
int64_t FindChild(Store &store, int64_t parent, const std::string &name)
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
int64_t KeyDepth(Store &store, int64_t id, size_t limit)
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

HKEY NewHandle(const Store &store, int64_t id, bool writable)
{
    return new StoreKey{id, writable, false, store.generation};
}

// Reads a value's type and bytes; false with the last error set.
bool ReadValue(Store &store, HKEY key, const char *name, uint32_t *type, std::vector<uint8_t> *data)
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

long StoreLastError() { return t_lastError; }

std::string StorePath()
{
    if (const char *path = std::getenv("TESSALINE_STORE"); path && *path)
        return path;
    std::string base;
    if (const char *config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
        base = config;
    } else {
        const char *home = std::getenv("HOME");
        base = std::string(home && *home ? home : "/tmp") + "/.config";
    }
    return base + "/tessaline/registry.db";
}

void StoreClose()
{
    Store &store = TheStore();
    Ambry::CLock lock(store.mutex);
    store.Close();
}

void StoreShutdown()
{
    Store *store = g_store;
    if (!store)
        return;
    {
        Ambry::CLock lock(store->mutex);
        store->Close();
    }
    delete store;
    g_store = nullptr;
}

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

CStoreTransaction::CStoreTransaction(Mode mode)
{
    Store &store = TheStore();
    store.mutex.Lock();
    if (!store.Ensure()) {
        Fail(STORE_ERROR_CANNOT_OPEN);
        return;
    }
    const char *begin = mode == Mode::Read ? "BEGIN" : "BEGIN IMMEDIATE";
    const char *sql = store.transactionDepth == 0 ? begin : "SAVEPOINT store_tx";
    if (store.transactionDepth == 0)
        store.transactionError = STORE_ERROR_SUCCESS;
    if (Begin(store.db, sql) != SQLITE_OK) {
        store.NoteFailure(STORE_ERROR_BUSY);
        Fail(STORE_ERROR_BUSY);
        return;
    }
    ++store.transactionDepth;
    m_active = true;
}

CStoreTransaction::~CStoreTransaction()
{
    if (m_active && !m_done)
        Rollback();
    TheStore().mutex.Unlock();
}

bool CStoreTransaction::Commit()
{
    if (!m_active || m_done)
        return Fail(STORE_ERROR_INVALID_HANDLE);
    Store &store = TheStore();
    m_done = true;
    --store.transactionDepth;
    const bool outermost = store.transactionDepth == 0;
    long error = store.transactionError;
    if (error == STORE_ERROR_SUCCESS) {
        if (Finish(store.db, outermost ? "COMMIT" : "RELEASE store_tx") == SQLITE_OK)
            return Succeed();
        error = STORE_ERROR_BUSY;
        store.NoteFailure(error);
    }
    // Nothing of a transaction that failed anywhere or could not commit is kept,
    // nested or not; an enclosing transaction fails with it.
    store.ForgetCursor();
    sqlite3_exec(store.db, outermost ? "ROLLBACK" : "ROLLBACK TO store_tx; RELEASE store_tx", nullptr, nullptr, nullptr);
    if (outermost)
        store.transactionError = STORE_ERROR_SUCCESS;
    return Fail(error);
}

void CStoreTransaction::Rollback()
{
    if (!m_active || m_done)
        return;
    Store &store = TheStore();
    m_done = true;
    --store.transactionDepth;
    store.ForgetCursor();
    sqlite3_exec(store.db, store.transactionDepth == 0 ? "ROLLBACK" : "ROLLBACK TO store_tx; RELEASE store_tx",
                 nullptr, nullptr, nullptr);
    if (store.transactionDepth == 0)
        store.transactionError = STORE_ERROR_SUCCESS;
}

CStoreReadTransaction::CStoreReadTransaction()
{
    Store &store = TheStore();
    store.mutex.Lock();
    if (!store.Ensure()) {
        Fail(STORE_ERROR_CANNOT_OPEN);
        return;
    }
    const bool outermost = store.transactionDepth == 0;
    if (outermost)
        store.transactionError = STORE_ERROR_SUCCESS;
    if (Begin(store.db, outermost ? "BEGIN" : "SAVEPOINT store_view") != SQLITE_OK) {
        Fail(STORE_ERROR_BUSY);
        return;
    }
    if (outermost) {
        // A deferred transaction takes its snapshot at its first read: take it now, so
        // the view is the state at construction.
        int rc = SQLITE_ERROR;
        if (Query q(store, "SELECT 1 FROM keys WHERE id = 1"); q)
            rc = q.Step();
        if (rc != SQLITE_ROW) {
            sqlite3_exec(store.db, "ROLLBACK", nullptr, nullptr, nullptr);
            Fail(ErrorFromSqlite(rc));
            return;
        }
    }
    store.ForgetCursor();
    ++store.transactionDepth;
    m_generation = store.generation;
    m_active = true;
    Succeed();
}

CStoreReadTransaction::~CStoreReadTransaction()
{
    Store &store = TheStore();
    // A view the store was closed under has ended with the connection.
    if (m_active && store.db && store.generation == m_generation && store.transactionDepth > 0) {
        // Ending a view keeps whatever was written under it, against the rule above,
        // rather than dropping it unseen.
        --store.transactionDepth;
        const bool outermost = store.transactionDepth == 0;
        if (sqlite3_exec(store.db, outermost ? "COMMIT" : "RELEASE store_view", nullptr, nullptr, nullptr) != SQLITE_OK &&
            outermost)
            sqlite3_exec(store.db, "ROLLBACK", nullptr, nullptr, nullptr);
        if (outermost)
            store.transactionError = STORE_ERROR_SUCCESS;
    }
    store.mutex.Unlock();
}
