// JPEG snapshot bodies as a device might send them: any bytes at all.
#include <deviceio/Frame.h>

#include <ambry/Trace.h>

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = [] {
        Ambry::SetTraceMask(Ambry::TRACE_ERROR);
        return true;
    }();
    (void)quiet;
    DecodedPicture picture;
    if (DecodeJpeg(data, size, &picture)) {
        // Every byte of the picture must be there: touch the first and the last row.
        const size_t bytes = size_t(picture.width) * size_t(picture.height) * 3;
        volatile uint8_t sink = picture.pixels[0] ^ picture.pixels[bytes - 1];
        (void)sink;
    }
    return 0;
}
