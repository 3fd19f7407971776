#include "store/Protect.h"

#include <ambry/File.h>
#include <ambry/Trace.h>

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr uint8_t kMagic[4] = {'T', 'S', 'L', 'P'};
constexpr uint8_t kVersion = 1;
constexpr size_t kKeyBytes = crypto_secretbox_KEYBYTES;
static_assert(crypto_secretbox_NONCEBYTES == 24 && crypto_secretbox_MACBYTES == 16);

using Key = std::array<uint8_t, kKeyBytes>;

bool WriteAll(int fd, const uint8_t *data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool LoadKeyFile(const std::string &path, Key *key)
{
    // Neither a link nor anything but a regular file of exactly the key's size: a FIFO
    // put there must not hold the caller (often the window) waiting for a writer.
    uint64_t size = 0;
    int fd = Ambry::FileOpenRegular(path.c_str(), key->size(), &size, false);
    if (fd < 0) {
        if (errno != ENOENT)
            Ambry::TraceWarning("WARNING: protection key %s is not usable: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    struct stat st;
    bool ok = size == key->size() && fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) == 0 &&
              Ambry::FileReadExact(fd, key->data(), key->size());
    close(fd);
    if (!ok)
        Ambry::TraceWarning("WARNING: protection key %s is not usable\n", path.c_str());
    return ok;
}

void MakeDirs(const std::string &dir)
{
    for (size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
        std::string part = pos == std::string::npos ? dir : dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return;
        if (pos == std::string::npos)
            return;
    }
}

// Creates the key file atomically: a private temporary file, linked to the final
// name only when complete. When another process wins the race, its key is used.
bool CreateKeyFile(const std::string &path, Key *key)
{
    std::string dir = path.substr(0, path.rfind('/'));
    MakeDirs(dir);
    std::string temp = dir + "/.protect.key.XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    randombytes_buf(key->data(), key->size());
    bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, key->data(), key->size()) && fsync(fd) == 0;
    close(fd);
    if (ok && link(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        if (errno == EEXIST) {
            unlink(temp.c_str());
            return LoadKeyFile(path, key);
        }
    }
    unlink(temp.c_str());
    return ok;
}

std::mutex g_keyMutex;

bool GetKey(Key *key)
{
    if (sodium_init() < 0)
        return false;
    std::lock_guard<std::mutex> lock(g_keyMutex);
    // Kept per key path: the environment (and so the file) may change in tests.
    static std::string cachedPath;
    static Key cachedKey;
    std::string path = ProtectKeyPath();
    if (!cachedPath.empty() && cachedPath == path) {
        *key = cachedKey;
        return true;
    }
    bool ok = LoadKeyFile(path, key);
    if (!ok && access(path.c_str(), F_OK) != 0)
        ok = CreateKeyFile(path, key);
    // A file that is there but unusable is never replaced: that would lose every password.
    if (ok) {
        cachedPath = path;
        cachedKey = *key;
    }
    return ok;
}

}  // namespace

std::string ProtectKeyPath()
{
    std::string base;
    if (const char *data = std::getenv("XDG_DATA_HOME"); data && *data == '/') {
        base = data;
    } else {
        const char *home = std::getenv("HOME");
        base = std::string(home && *home ? home : "/tmp") + "/.local/share";
    }
    return base + "/tessaline/protect.key";
}

bool ParseProtectedBlob(const uint8_t *blob, size_t size, ProtectedBlobView *view)
{
    if (!blob || size < PROTECT_HEADER_MIN || std::memcmp(blob, kMagic, 4) != 0 || blob[4] != kVersion)
        return false;
    size_t descLength = static_cast<size_t>(blob[5]) | (static_cast<size_t>(blob[6]) << 8);
    size_t rest = size - 7;
    if (descLength > rest || rest - descLength < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES)
        return false;
    view->description.assign(reinterpret_cast<const char *>(blob + 7), descLength);
    view->nonce = blob + 7 + descLength;
    view->sealed = view->nonce + crypto_secretbox_NONCEBYTES;
    view->sealedSize = rest - descLength - crypto_secretbox_NONCEBYTES;
    return true;
}

bool ProtectData(const void *data, size_t size, const char *description, std::vector<uint8_t> *blob)
{
    Key key;
    if (!GetKey(&key))
        return false;
    size_t descLength = description ? std::strlen(description) : 0;
    if (descLength > 0xFFFF || (size && !data))
        return false;
    std::vector<uint8_t> out(7 + descLength + crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + size);
    std::memcpy(out.data(), kMagic, 4);
    out[4] = kVersion;
    out[5] = static_cast<uint8_t>(descLength & 0xFF);
    out[6] = static_cast<uint8_t>(descLength >> 8);
    if (descLength)
        std::memcpy(out.data() + 7, description, descLength);
    uint8_t *nonce = out.data() + 7 + descLength;
    randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES, static_cast<const uint8_t *>(data), size, nonce,
                          key.data());
    sodium_memzero(key.data(), key.size());
    *blob = std::move(out);
    return true;
}

bool UnprotectData(const uint8_t *blob, size_t size, std::vector<uint8_t> *data, std::string *description)
{
    ProtectedBlobView view;
    if (!ParseProtectedBlob(blob, size, &view))
        return false;
    Key key;
    if (!GetKey(&key))
        return false;
    std::vector<uint8_t> plain(view.sealedSize - crypto_secretbox_MACBYTES);
    int rc = crypto_secretbox_open_easy(plain.data(), view.sealed, view.sealedSize, view.nonce, key.data());
    sodium_memzero(key.data(), key.size());
    if (rc != 0)
        return false;
    *data = std::move(plain);
    if (description)
        *description = std::move(view.description);
    return true;
}

std::vector<uint8_t> ProtectPassword(const std::string &password)
{
    std::vector<uint8_t> blob;
    // The bytes with their NUL: an empty password is the single byte 0.
    if (!ProtectData(password.c_str(), password.size() + 1, "Tessaline password", &blob))
        blob.clear();
    return blob;
}

std::string UnprotectPassword(const std::vector<uint8_t> &blob)
{
    std::vector<uint8_t> plain;
    if (!UnprotectData(blob.data(), blob.size(), &plain))
        return {};
    if (plain.empty())
        return {};
    plain.back() = 0;
    return std::string(reinterpret_cast<const char *>(plain.data()));
}
