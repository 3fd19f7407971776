// Stored password values against arbitrary bytes: the blob parser must stay inside
// the value, and nothing that was not sealed with the user's key may open.
#include "FuzzCheck.h"

#include <cstdlib>

#include <store/Protect.h>

#include <string>
#include <unistd.h>

namespace {

// A private key directory, so the fuzzer never touches the user's own key.
void UsePrivateKey()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    char dir[] = "/tmp/tsl-fuzz-key-XXXXXX";
    if (mkdtemp(dir))
        setenv("XDG_DATA_HOME", dir, 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    UsePrivateKey();
    ProtectedBlobView view;
    if (ParseProtectedBlob(data, size, &view)) {
        FuzzCheck(view.nonce >= data && view.nonce + 24 <= data + size, "protected blob", "nonce outside the blob");
        FuzzCheck(view.sealed == view.nonce + 24, "protected blob", "sealed bytes misplaced");
        FuzzCheck(view.sealedSize >= 16 && view.sealed + view.sealedSize == data + size, "protected blob",
                  "sealed size wrong");
        FuzzCheck(7 + view.description.size() + 24 + view.sealedSize == size, "protected blob", "parts do not add up");
    }
    std::vector<uint8_t> blob(data, data + size);
    // Random bytes cannot carry a valid tag under a fresh key.
    FuzzCheck(UnprotectPassword(blob).empty(), "protected blob", "a forged blob opened");
    // Whatever the bytes, sealing them as a password and opening gives them back up to a NUL.
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();
    FuzzCheck(UnprotectPassword(ProtectPassword(text)) == text, "protected blob", "password round trip");
    return 0;
}
