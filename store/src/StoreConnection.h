// The settings store's connection and what the key and value operations share
// with it: the handle record, the one connection of the process (its lock, its
// statement cache, its running transaction), one use of a cached statement and the
// calling thread's last error. Private to the library: StoreConnection.cpp opens
// and closes the connection and runs transactions, Registry.cpp reads and writes
// keys and values through it.
#pragma once

#include "store/Registry.h"

#include <ambry/FaultInject.h>
#include <ambry/Mutex.h>

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>

struct StoreKey {
    int64_t id = 0;
    bool writable = false;
    bool root = false;
    uint64_t generation = 0;  // connection generation the handle belongs to (roots: any)
};

namespace StoreDb {

// Set the calling thread's last error: Fail(error) gives false, Succeed() true.
bool Fail(long error);
bool Succeed();

// The last error a failed SQLite call (a result code) stands for.
long ErrorFromSqlite(int rc);

// The process's connection. Every field and call is under mutex (the store lock).
class Store {
public:
    Ambry::CMutex mutex;
    sqlite3 *db TSL_GUARDED_BY(mutex) = nullptr;
    pid_t pid TSL_GUARDED_BY(mutex) = 0;
    uint64_t generation TSL_GUARDED_BY(mutex) = 1;
    int transactionDepth TSL_GUARDED_BY(mutex) = 0;
    // The first failure of SQLite inside the running transaction. A transaction in
    // which anything failed does not commit, even when its caller went on: a save
    // is whole or not made.
    long transactionError TSL_GUARDED_BY(mutex) = STORE_ERROR_SUCCESS;
    std::unordered_map<const char *, sqlite3_stmt *> statements TSL_GUARDED_BY(mutex);
    // Where the last value enumeration stopped, so the next index continues from
    // there instead of counting from the start. Any write of ours forgets it.
    int64_t cursorKey TSL_GUARDED_BY(mutex) = 0;
    uint32_t cursorIndex TSL_GUARDED_BY(mutex) = 0;
    int64_t cursorRow TSL_GUARDED_BY(mutex) = 0;

    void ForgetCursor() TSL_REQUIRES(mutex) { cursorKey = 0; }

    // Notes a failure of SQLite (an error code) against the running transaction.
    void NoteFailure(long error) TSL_REQUIRES(mutex)
    {
        if (transactionDepth > 0 && transactionError == STORE_ERROR_SUCCESS)
            transactionError = error;
    }

    // Opens the database when needed.
    bool Ensure() TSL_REQUIRES(mutex);
    void Close() TSL_REQUIRES(mutex);
    // A cached statement for a literal SQL text; none when it cannot be prepared.
    sqlite3_stmt *Statement(const char *sql) TSL_REQUIRES(mutex);
};

// The connection of the process (made on first use).
Store &TheStore();

// Runs SQL that opens a transaction or savepoint (a step) or ends one well (a commit),
// where an injected fault can strike. Rollbacks never fail on purpose.
int Begin(sqlite3 *db, const char *sql);
int Finish(sqlite3 *db, const char *sql);

// One use of a cached statement; resets it when done.
class Query {
public:
    Query(Store &store, const char *sql) TSL_REQUIRES(store.mutex) : m_store(store), m_stmt(store.Statement(sql)) {}
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
        m_store.mutex.AssertHeld();  // as at construction
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

}  // namespace StoreDb
