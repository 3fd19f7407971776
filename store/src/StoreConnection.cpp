// The settings store's connection: opening the database (private file, WAL, the
// schema), abandoning a parent's connection after fork, the statement cache,
// closing, and the transactions that hold the store lock throughout.
#include "StoreConnection.h"

#include <ambry/Trace.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace StoreDb {

namespace {

constexpr int BUSY_TIMEOUT_MS = 10000;

thread_local long t_lastError = STORE_ERROR_SUCCESS;

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

void MakeParentDirs(const std::string &path)
{
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        std::string dir = path.substr(0, pos);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            return;
    }
}

// Lives to process end (detached workers may still use it at exit) unless a module
// that carries its own copy of the store ends it with StoreShutdown.
Store *g_store = nullptr;
std::once_flag g_storeOnce;

}  // namespace

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

bool Store::Ensure()
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

void Store::Close()
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

sqlite3_stmt *Store::Statement(const char *sql)
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

Store &TheStore()
{
    std::call_once(g_storeOnce, [] { g_store = new Store; });
    return *g_store;
}

int Begin(sqlite3 *db, const char *sql)
{
    return Ambry::FaultHit(Ambry::FaultKind::StoreStep) ? SQLITE_IOERR : sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

int Finish(sqlite3 *db, const char *sql)
{
    return Ambry::FaultHit(Ambry::FaultKind::StoreCommit) ? SQLITE_IOERR
                                                          : sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

}  // namespace StoreDb

using namespace StoreDb;

namespace {

// A transaction holds the store lock from its constructor to its destructor. The
// analysis follows a lock within one function only, so these two take the lock and
// let it go outside its view; in between, the transaction's calls assert the lock.
Store &HoldStore() TSL_NO_THREAD_SAFETY_ANALYSIS
{
    Store &store = TheStore();
    store.mutex.Lock();
    return store;
}

void ReleaseStore(Store &store) TSL_NO_THREAD_SAFETY_ANALYSIS { store.mutex.Unlock(); }

}  // namespace

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

CStoreTransaction::CStoreTransaction(Mode mode)
{
    Store &store = HoldStore();
    store.mutex.AssertHeld();
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
    ReleaseStore(TheStore());
}

bool CStoreTransaction::Commit()
{
    if (!m_active || m_done)
        return Fail(STORE_ERROR_INVALID_HANDLE);
    Store &store = TheStore();
    store.mutex.AssertHeld();  // held from construction to destruction
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
    store.mutex.AssertHeld();  // held from construction to destruction
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
    Store &store = HoldStore();
    store.mutex.AssertHeld();
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
    store.mutex.AssertHeld();  // since construction
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
    ReleaseStore(store);
}
