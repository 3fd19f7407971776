// The settings store: keys, subkeys and typed values in one SQLite database.
//
// Two roots live in the same file: HKEY_CURRENT_USER (per-user list) and
// HKEY_CLASSES_ROOT (class records). Key and value names compare without regard to
// ASCII case; the empty value name (or nullptr) is a key's default value. Values
// enumerate in creation order; overwriting a value keeps its place.
//
// The database is $TESSALINE_STORE when set, else $XDG_CONFIG_HOME/tessaline/registry.db
// (default ~/.config/tessaline/registry.db). It is opened on first use, in WAL mode,
// and may be shared with other processes (the capture filter, tessaline-reg).
//
// Every call sets the calling thread's last error (StoreLastError) to one of the
// STORE_ERROR_* codes. Calls never throw. All calls are safe from several threads:
// the process uses one connection guarded by one recursive lock (the store lock).
//
// Lock order: the store lock is innermost. Store calls take no other lock, so any
// caller may hold its own locks; a transaction holds the store lock throughout, so
// code inside a transaction must not wait for a lock that another thread holds
// while it calls into the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct StoreKey;  // opaque; one open key
using HKEY = StoreKey *;

// The two roots. Never closed (CloseKey ignores them).
extern const HKEY HKEY_CURRENT_USER;
extern const HKEY HKEY_CLASSES_ROOT;

// Value types, numbered as the registry numbers them.
enum StoreValueType : uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
};

// Access rights for OpenKey.
enum StoreAccess : uint32_t {
    KEY_READ = 0x20019,
    KEY_ALL_ACCESS = 0xF003F,
};

// Last-error codes (numbered as the system's error codes).
enum StoreError : long {
    STORE_ERROR_SUCCESS = 0,
    STORE_ERROR_FILE_NOT_FOUND = 2,     // no such key or value
    STORE_ERROR_ACCESS_DENIED = 5,      // write through a read-only handle, or a root
    STORE_ERROR_INVALID_HANDLE = 6,     // null, closed or stale handle; the key was deleted
    STORE_ERROR_INVALID_DATA = 13,      // wrong type or size for the requested read
    STORE_ERROR_INVALID_PARAMETER = 87, // bad name or path
    STORE_ERROR_MORE_DATA = 234,        // name longer than the caller's buffer
    STORE_ERROR_NO_MORE_ITEMS = 259,    // enumeration index past the end
    STORE_ERROR_CANNOT_OPEN = 1009,     // the database file cannot be opened or is damaged
    STORE_ERROR_BUSY = 170,             // another process held the database too long
};

// Deepest key: a root's subkeys are at depth 1. Deeper keys cannot be made.
constexpr size_t STORE_MAX_KEY_DEPTH = 512;

// Size of the name buffer of StoreEnumValue, including the NUL.
constexpr size_t STORE_VALUE_NAME_BUFFER = 261;

// The last error of the calling thread, set by every call below.
[[nodiscard]] long StoreLastError();

// The database file the store uses (or will use on first call).
std::string StorePath();

// Closes the process's connection; the next call opens the file named by the
// environment at that time. Open handles become stale. For tests and tools.
void StoreClose();

// Closes the connection and frees the store's state for good. Only for a loadable
// module that carries its own copy of this code, when it is unloaded; nothing may
// call into the store afterwards.
void StoreShutdown();

// ---- keys ----

// Opens root\path (components separated by '\\') with KEY_READ or KEY_ALL_ACCESS.
// path may be empty or nullptr to open the root itself. A missing key yields nullptr.
[[nodiscard]] HKEY OpenKey(HKEY parent, const char *path, uint32_t access);

// Opens root\path for full access, creating every missing component.
[[nodiscard]] HKEY CreateKeyPath(HKEY parent, const char *path);

// Closes a handle; nullptr and the roots are ignored.
void CloseKey(HKEY key);

// Deletes parent\path with all its subkeys and values. A missing key counts as
// success. The roots themselves cannot be deleted.
bool DeleteKeyTree(HKEY parent, const char *path);

// Names of the subkeys of key, by index in creation order. false with
// STORE_ERROR_NO_MORE_ITEMS past the end.
bool StoreEnumKey(HKEY key, uint32_t index, std::string *name);

// ---- values ----

// Reads a text value: REG_SZ or REG_EXPAND_SZ only, in full whatever its length,
// up to the first NUL.
bool ReadText(HKEY key, const char *name, std::string *out);

// Reads a 32-bit value: REG_DWORD of exactly 4 bytes only.
bool ReadDword(HKEY key, const char *name, uint32_t *out);

// Reads a binary value: REG_BINARY only.
bool ReadBinary(HKEY key, const char *name, std::vector<uint8_t> *out);

// Reads any value: its type and raw bytes (texts include their NUL).
bool ReadRaw(HKEY key, const char *name, uint32_t *type, std::vector<uint8_t> *data);

// True when the value exists, of any type.
bool ValueExists(HKEY key, const char *name);

// Writes a REG_SZ text; the stored length includes the NUL.
bool WriteText(HKEY key, const char *name, const char *text);

// Writes a REG_DWORD.
bool WriteDword(HKEY key, const char *name, uint32_t value);

// Writes a REG_BINARY (size 0 writes an empty value).
bool WriteBinary(HKEY key, const char *name, const void *data, size_t size);

// Writes raw bytes with any type number (what an import needs).
bool WriteRaw(HKEY key, const char *name, uint32_t type, const void *data, size_t size);

// Deletes one value; false with STORE_ERROR_FILE_NOT_FOUND when it does not exist.
bool DeleteValue(HKEY key, const char *name);

// The name of value number index (creation order) into buffer (NUL-terminated).
// false with STORE_ERROR_NO_MORE_ITEMS past the end, STORE_ERROR_MORE_DATA when
// the name does not fit.
bool StoreEnumValue(HKEY key, uint32_t index, char *buffer, size_t bufferSize);

// ---- transactions ----

// Groups every store call of this thread into one transaction, so a crash leaves
// either all of it or none of it. Holds the store lock (other threads of the
// process wait) and the database's write lock (other processes wait) from
// construction to Commit or destruction; destruction without Commit rolls back.
// Transactions nest: only the outermost commits. A read transaction gives a run of
// reads one consistent view (and is much cheaper than a view per call); it does not
// keep other processes from writing.
class CStoreTransaction {
public:
    enum class Mode { Write, Read };
    explicit CStoreTransaction(Mode mode = Mode::Write);
    ~CStoreTransaction();
    CStoreTransaction(const CStoreTransaction &) = delete;
    CStoreTransaction &operator=(const CStoreTransaction &) = delete;

    // false when the database could not be locked for writing.
    [[nodiscard]] bool Active() const { return m_active; }
    // Commits (only the outermost really commits). false when the commit failed or
    // when any store call since the outermost transaction began failed in the
    // database (a read or write error, not a missing key or value), even if its
    // caller went on; nothing of the transaction is kept then, and an enclosing
    // transaction fails too.
    bool Commit();
    // Drops everything written since construction.
    void Rollback();

private:
    bool m_active = false;
    bool m_done = false;
};

// One committed state of the store for a run of reads: every call of this thread
// between construction and destruction sees the store as it was when the view
// began, whatever other processes commit meanwhile. Use it for any read that takes
// more than one call (enumerating a key, reading a record of several values), or
// the calls may see parts of different versions. Holds the store lock like a
// transaction (other threads of the process wait; keep it short) but not the
// database's write lock (other processes keep writing). Nests inside transactions
// and other views. Make no writes under a view; open a CStoreTransaction instead.
class CStoreReadTransaction {
public:
    CStoreReadTransaction();
    ~CStoreReadTransaction();
    CStoreReadTransaction(const CStoreReadTransaction &) = delete;
    CStoreReadTransaction &operator=(const CStoreReadTransaction &) = delete;

    // false when the database could not be opened or read; the calls made under
    // the view then fail on their own.
    [[nodiscard]] bool Active() const { return m_active; }

private:
    bool m_active = false;
    uint64_t m_generation = 0;
};

// RAII owner of an open key.
class CKey {
public:
    CKey() = default;
    explicit CKey(HKEY key) : m_key(key) {}
    ~CKey() { CloseKey(m_key); }
    CKey(const CKey &) = delete;
    CKey &operator=(const CKey &) = delete;
    CKey(CKey &&other) noexcept : m_key(other.m_key) { other.m_key = nullptr; }
    CKey &operator=(CKey &&other) noexcept
    {
        if (this != &other) {
            CloseKey(m_key);
            m_key = other.m_key;
            other.m_key = nullptr;
        }
        return *this;
    }
    HKEY get() const { return m_key; }
    explicit operator bool() const { return m_key != nullptr; }

private:
    HKEY m_key = nullptr;
};
