// Any byte string through the no-signal image check: no crash, no over-read, no
// huge allocation, and a valid answer always carries a usable size.
#include <options/BitmapCheck.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BitmapSize result;
    if (ValidateBitmapBytes(data, size, &result)) {
        if (result.width <= 0 || result.height <= 0 || result.width > kMaxBitmapSide ||
            result.height > kMaxBitmapSide)
            std::abort();
    }
    return 0;
}
