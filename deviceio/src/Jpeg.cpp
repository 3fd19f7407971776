// JPEG snapshot decoding into bottom-up blue-green-red rows.
//
// The decoder hands us blue-green-red pixels directly and writes each scanline into its
// final, bottom-up row, so the picture is complete when the last scanline is read.
#include <deviceio/Frame.h>

#include <ambry/Trace.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include <jerror.h>
#include <jpeglib.h>

namespace {

constexpr long kMaxDecoderMemory = 256L << 20;

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf recovery;
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    Ambry::TraceDebug("JPEG: %s\n", text);
    longjmp(err->recovery, 1);
}

void OutputMessage(j_common_ptr cinfo)
{
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    Ambry::TraceWarning("WARNING: %s\n", text);
}

// Memory source: the whole picture is in one block. When the decoder wants more than
// there is, it gets a warning and a fake end-of-image marker.
const JOCTET kFakeEoi[2] = {0xFF, JPEG_EOI};

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInputBuffer(j_decompress_ptr cinfo)
{
    WARNMS(cinfo, JWRN_JPEG_EOF);
    cinfo->src->next_input_byte = kFakeEoi;
    cinfo->src->bytes_in_buffer = sizeof kFakeEoi;
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count)
{
    if (count <= 0)
        return;
    jpeg_source_mgr *src = cinfo->src;
    if (static_cast<size_t>(count) > src->bytes_in_buffer) {
        // Past the end: the next read finds the data exhausted.
        src->next_input_byte += src->bytes_in_buffer;
        src->bytes_in_buffer = 0;
        return;
    }
    src->next_input_byte += count;
    src->bytes_in_buffer -= static_cast<size_t>(count);
}

// Everything that must survive a jump back lives here, outside the jumping frame's
// automatic variables.
struct DecodeState {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    jpeg_source_mgr src;
    uint8_t *pixels = nullptr;
    bool created = false;
};

// The decoding proper. Returns false on any failure; the caller cleans up.
bool Decode(DecodeState &st, const uint8_t *bytes, size_t count, int32_t *width, int32_t *height)
{
    jpeg_decompress_struct &cinfo = st.cinfo;
    cinfo.err = jpeg_std_error(&st.err.pub);
    st.err.pub.error_exit = ErrorExit;
    st.err.pub.output_message = OutputMessage;
    if (setjmp(st.err.recovery))
        return false;

    jpeg_create_decompress(&cinfo);
    st.created = true;
    // The decoder's own working memory (a progressive picture keeps all of its
    // coefficients) is bounded too.
    cinfo.mem->max_memory_to_use = kMaxDecoderMemory;

    st.src.init_source = InitSource;
    st.src.fill_input_buffer = FillInputBuffer;
    st.src.skip_input_data = SkipInputData;
    st.src.resync_to_restart = jpeg_resync_to_restart;
    st.src.term_source = TermSource;
    st.src.next_input_byte = bytes;
    st.src.bytes_in_buffer = count;
    cinfo.src = &st.src;

    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK)
        return false;

    // Refuse absurd sizes before the decoder sets up its buffers.
    const uint64_t announced = static_cast<uint64_t>(cinfo.image_width) * cinfo.image_height;
    if (announced == 0 || announced > MAX_JPEG_PIXELS)
        return false;

    // Colour and grey-scale pictures alike come out as blue-green-red.
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    if (cinfo.output_components != 3 || cinfo.output_width == 0 || cinfo.output_height == 0)
        return false;

    const size_t w = cinfo.output_width;
    const size_t h = cinfo.output_height;
    const size_t stride = w * 3;
    st.pixels = new (std::nothrow) uint8_t[stride * h];
    if (!st.pixels)
        return false;

    // Scanline k from the top lands in row h - 1 - k of the bottom-up buffer.
    JSAMPROW rows[16];
    while (cinfo.output_scanline < cinfo.output_height) {
        JDIMENSION first = cinfo.output_scanline;
        JDIMENSION n = cinfo.output_height - first;
        if (n > 16)
            n = 16;
        for (JDIMENSION i = 0; i < n; ++i)
            rows[i] = st.pixels + (h - 1 - (first + i)) * stride;
        if (jpeg_read_scanlines(&cinfo, rows, n) == 0)
            return false;
    }
    jpeg_finish_decompress(&cinfo);
    *width = static_cast<int32_t>(w);
    *height = static_cast<int32_t>(h);
    return true;
}

}  // namespace

bool DecodeJpeg(const uint8_t *bytes, size_t count, DecodedPicture *out)
{
    if (!out)
        return false;
    *out = DecodedPicture{};
    if (!bytes || count == 0)
        return false;

    auto st = std::make_unique<DecodeState>();
    std::memset(&st->cinfo, 0, sizeof st->cinfo);
    int32_t width = 0, height = 0;
    const bool ok = Decode(*st, bytes, count, &width, &height);
    const int warnings = static_cast<int>(st->err.pub.num_warnings);
    if (st->created)
        jpeg_destroy_decompress(&st->cinfo);
    if (!ok) {
        delete[] st->pixels;
        return false;
    }
    out->pixels.reset(st->pixels);
    out->width = width;
    out->height = height;
    out->warnings = warnings;
    return true;
}
