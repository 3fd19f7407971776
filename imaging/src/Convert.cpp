// YUY2 conversions, vertical flip, rotations and cropping.
#include "imaging/Convert.h"

#include "Kernels.h"
#include "imaging/Simd.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace imaging {
namespace {

// Colour tables for YUY2 sources, each product computed once in 32-bit float.
struct ColourTables {
    int16_t luma[256];
    int16_t blue_u[256];
    int16_t green_u[256];
    int16_t red_v[256];
    int16_t green_v[256];
    bool fixed_point_ok = true;  // the vector kernels compute the same products
    ColourTables()
    {
        for (int i = 0; i < 256; ++i) {
            const float y = static_cast<float>(i - 16);
            const float c = static_cast<float>(i - 128);
            luma[i] = static_cast<int16_t>(std::lround(1.164f * y));
            blue_u[i] = static_cast<int16_t>(std::lround(2.018f * c));
            green_u[i] = static_cast<int16_t>(std::lround(-0.391f * c));
            red_v[i] = static_cast<int16_t>(std::lround(1.596f * c));
            green_v[i] = static_cast<int16_t>(std::lround(-0.813f * c));
            using namespace kernels;
            const int yi = i - 16, ci = i - 128;
            fixed_point_ok = fixed_point_ok && FixedProduct(yi, kLumaShift, kLumaFactor) == luma[i] &&
                             FixedProduct(ci, kChromaShift, kBlueU) == blue_u[i] &&
                             FixedProduct(ci, kChromaShift, kGreenU) == green_u[i] &&
                             FixedProduct(ci, kChromaShift, kRedV) == red_v[i] &&
                             FixedProduct(ci, kChromaShift, kGreenV) == green_v[i];
        }
    }
};

const ColourTables &Tables()
{
    static const ColourTables tables;
    return tables;
}

bool ColourVectors() { return SimdActive() && Tables().fixed_point_ok; }

inline uint8_t Clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

struct Rgb {
    uint8_t r, g, b;
};

// The two pixels of one Y0 U Y1 V pair.
inline void PairToRgb(const ColourTables &t, const uint8_t *pair, Rgb &p0, Rgb &p1)
{
    const int u = pair[1], v = pair[3];
    const int rv = t.red_v[v], gu = t.green_u[u] + t.green_v[v], bu = t.blue_u[u];
    const int l0 = t.luma[pair[0]], l1 = t.luma[pair[2]];
    p0 = {Clamp255(l0 + rv), Clamp255(l0 + gu), Clamp255(l0 + bu)};
    p1 = {Clamp255(l1 + rv), Clamp255(l1 + gu), Clamp255(l1 + bu)};
}

inline uint16_t To565(const Rgb &p) { return static_cast<uint16_t>((p.r & 0xF8) << 8 | (p.g & 0xFC) << 3 | p.b >> 3); }
inline uint16_t To565Swapped(const Rgb &p)
{
    return static_cast<uint16_t>((p.b & 0xF8) << 8 | (p.g & 0xFC) << 3 | p.r >> 3);
}
inline uint8_t To332(const Rgb &p) { return static_cast<uint8_t>((p.r & 0xC0) | (p.g >> 5) << 3 | p.b >> 5); }
inline uint8_t ToNibble(const Rgb &p) { return static_cast<uint8_t>((p.b >> 7) << 3 | (p.g >> 6) << 1 | p.r >> 7); }

// Writes the 4 output bytes of one pair for a 16-bit target.
inline void Pair16(const ColourTables &t, const uint8_t *in, uint8_t *out, bool swapped)
{
    Rgb p0, p1;
    PairToRgb(t, in, p0, p1);
    const uint16_t w0 = swapped ? To565Swapped(p0) : To565(p0);
    const uint16_t w1 = swapped ? To565Swapped(p1) : To565(p1);
    out[0] = static_cast<uint8_t>(w0);
    out[1] = static_cast<uint8_t>(w0 >> 8);
    out[2] = static_cast<uint8_t>(w1);
    out[3] = static_cast<uint8_t>(w1 >> 8);
}

// Converts `pixels` YUY2 pixels in place to 16-bit words.
void Convert565Run(uint8_t *data, int64_t pixels, bool swapped)
{
    const ColourTables &t = Tables();
    const int64_t done = !ColourVectors()       ? 0
                         : kernels::UseAvx512() ? kernels::Yuy2To565Avx512(data, data, pixels, swapped)
                                                : kernels::Yuy2To565Avx2(data, data, pixels, swapped);
    for (int64_t k = done / 2; k < pixels / 2; ++k)
        Pair16(t, data + 4 * k, data + 4 * k, swapped);
}

void SwapRanges(uint8_t *a, uint8_t *b, int64_t bytes)
{
    if (kernels::VectorsEnabled() && kernels::HaveAvx2()) {
        const int64_t done = kernels::SwapRangesAvx2(a, b, bytes);
        a += done;
        b += done;
        bytes -= done;
    }
    constexpr int64_t kChunk = 4096;
    alignas(32) uint8_t tmp[kChunk];
    for (int64_t off = 0; off < bytes; off += kChunk) {
        const size_t n = static_cast<size_t>(std::min(kChunk, bytes - off));
        std::memcpy(tmp, a + off, n);
        std::memcpy(a + off, b + off, n);
        std::memcpy(b + off, tmp, n);
    }
}

void ConvertRows16(uint8_t *data, int64_t width, int64_t height, bool swapped, bool flip)
{
    if (!flip) {
        Convert565Run(data, width * height, swapped);
        return;
    }
    // Row i and row height-1-i are converted, then trade places.
    const int64_t stride = 2 * width;
    for (int64_t i = 0, j = height - 1; i <= j; ++i, --j) {
        Convert565Run(data + i * stride, width, swapped);
        if (i == j)
            break;
        Convert565Run(data + j * stride, width, swapped);
        SwapRanges(data + i * stride, data + j * stride, stride);
    }
}

// Reverses `count` elements of `size` bytes in place.
template <size_t Size>
void ReverseElements(uint8_t *data, int64_t count)
{
    uint8_t *lo = data;
    uint8_t *hi = data + (count - 1) * static_cast<int64_t>(Size);
    while (lo < hi) {
        uint8_t tmp[Size];
        std::memcpy(tmp, lo, Size);
        std::memcpy(lo, hi, Size);
        std::memcpy(hi, tmp, Size);
        lo += Size;
        hi -= Size;
    }
}

void ReverseBytes(uint8_t *data, int64_t count, int bytes_per_pixel)
{
    switch (bytes_per_pixel) {
    case 1: kernels::ReverseBytesSimd(data, count); break;
    case 2: ReverseElements<2>(data, count); break;
    case 3: ReverseElements<3>(data, count); break;
    case 4: ReverseElements<4>(data, count); break;
    default: break;
    }
}

// Copies a width x height plane of `Size`-byte pixels turned by 90 degrees.
// Works in tiles so both sides stay in cache.
template <size_t Size>
void TurnPlane(const uint8_t *src, int64_t width, int64_t height, uint8_t *dst, bool clockwise)
{
    constexpr int64_t kTile = 32;
    const int64_t out_width = height;
    for (int64_t ty = 0; ty < height; ty += kTile) {
        const int64_t y_end = std::min(height, ty + kTile);
        for (int64_t tx = 0; tx < width; tx += kTile) {
            const int64_t x_end = std::min(width, tx + kTile);
            for (int64_t y = ty; y < y_end; ++y) {
                const uint8_t *row = src + y * width * static_cast<int64_t>(Size);
                for (int64_t x = tx; x < x_end; ++x) {
                    const int64_t ox = clockwise ? height - 1 - y : y;
                    const int64_t oy = clockwise ? x : width - 1 - x;
                    std::memcpy(dst + (oy * out_width + ox) * static_cast<int64_t>(Size),
                                row + x * static_cast<int64_t>(Size), Size);
                }
            }
        }
    }
}

void TurnPlaneBytes(const uint8_t *src, int64_t width, int64_t height, uint8_t *dst, bool clockwise, int bpp)
{
    switch (bpp) {
    case 1: kernels::TurnPlane8(src, width, height, dst, clockwise); break;
    case 2: TurnPlane<2>(src, width, height, dst, clockwise); break;
    case 3: TurnPlane<3>(src, width, height, dst, clockwise); break;
    case 4: kernels::TurnPlane32(src, width, height, dst, clockwise); break;
    default: break;
    }
}

// YUY2 (luma at 0 and 2, chroma at 1 and 3) or UYVY (luma at 1 and 3) turned by
// 90 degrees in 2 x 2 blocks; both output pairs of a block take the mean chroma
// of the block's two source pairs.
void TurnPacked422(const uint8_t *src, int64_t width, int64_t height, uint8_t *dst, bool clockwise, bool uyvy)
{
    const int l = uyvy ? 1 : 0;  // offset of the first luma sample
    const int c = uyvy ? 0 : 1;  // offset of U (V follows two bytes on)
    const int64_t in_stride = 2 * width;
    const int64_t out_stride = 2 * height;
    for (int64_t by = 0; by < height; by += 2) {
        const uint8_t *r0 = src + by * in_stride;
        const uint8_t *r1 = r0 + in_stride;
        for (int64_t bx = 0; bx < width; bx += 2) {
            const uint8_t *p0 = r0 + 2 * bx;
            const uint8_t *p1 = r1 + 2 * bx;
            const uint8_t u = static_cast<uint8_t>((p0[c] + p1[c]) / 2);
            const uint8_t v = static_cast<uint8_t>((p0[c + 2] + p1[c + 2]) / 2);
            // Source luma: a = (bx, by), b = (bx+1, by), d = (bx, by+1), e = (bx+1, by+1).
            const uint8_t a = p0[l], b = p0[l + 2], d = p1[l], e = p1[l + 2];
            uint8_t first[2], second[2];  // luma of output rows 0 and 1, left to right
            int64_t ox, oy;
            if (clockwise) {
                // (x, y) -> (height-1-y, x): row bx holds d, a; row bx+1 holds e, b.
                ox = height - 2 - by;
                oy = bx;
                first[0] = d; first[1] = a;
                second[0] = e; second[1] = b;
            } else {
                // (x, y) -> (y, width-1-x): row width-2-bx holds b, e; the next a, d.
                ox = by;
                oy = width - 2 - bx;
                first[0] = b; first[1] = e;
                second[0] = a; second[1] = d;
            }
            uint8_t *o0 = dst + oy * out_stride + 2 * ox;
            uint8_t *o1 = o0 + out_stride;
            o0[l] = first[0]; o0[l + 2] = first[1]; o0[c] = u; o0[c + 2] = v;
            o1[l] = second[0]; o1[l + 2] = second[1]; o1[c] = u; o1[c + 2] = v;
        }
    }
}

// Packed ids of 1 to 4 whole bytes per pixel without chroma pairs.
bool IsWholeBytePacked(uint32_t id)
{
    switch (id) {
    case kRgb332:
    case kLuma8:
    case kRgb565:
    case kBgr565:
    case kRgb24:
    case kBgr24:
    case kPixel32:
        return true;
    default:
        return false;
    }
}

bool ValidFrame(const FrameBuffer &f)
{
    if (!f.data || f.width <= 0 || f.height <= 0)
        return false;
    const uint64_t need = FrameSize(f.width, f.height, f.format);
    return need != 0 && f.size >= need;
}

void CopyRows(const uint8_t *src, int64_t src_stride, uint8_t *dst, int64_t dst_stride, int64_t row_bytes,
              int64_t rows)
{
    if (src_stride == row_bytes && dst_stride == row_bytes) {
        std::memcpy(dst, src, static_cast<size_t>(row_bytes * rows));
        return;
    }
    // Long rows: prefetch across the gaps between source rows.
    if (row_bytes >= 256 && kernels::VectorsEnabled() && kernels::HaveAvx2()) {
        kernels::CopyRowsAvx2(src, src_stride, dst, dst_stride, row_bytes, rows);
        return;
    }
    for (int64_t r = 0; r < rows; ++r)
        std::memcpy(dst + r * dst_stride, src + r * src_stride, static_cast<size_t>(row_bytes));
}

}  // namespace

namespace kernels {

void Packed422RowToRgb24(const uint8_t *in, uint8_t *out, int64_t pairs, bool uyvy, bool red_first)
{
    const ColourTables &t = Tables();
    const int ri = red_first ? 0 : 2, bi = red_first ? 2 : 0;
    uint8_t pair[4];
    for (int64_t k = 0; k < pairs; ++k, in += 4, out += 6) {
        const uint8_t *yuy2 = in;
        if (uyvy) {
            pair[0] = in[1], pair[1] = in[0], pair[2] = in[3], pair[3] = in[2];
            yuy2 = pair;
        }
        Rgb p0, p1;
        PairToRgb(t, yuy2, p0, p1);
        out[ri] = p0.r, out[1] = p0.g, out[bi] = p0.b;
        out[3 + ri] = p1.r, out[4] = p1.g, out[3 + bi] = p1.b;
    }
}

}  // namespace kernels

bool ConvertFromYuy2(FrameBuffer &frame, uint32_t target_code)
{
    const uint32_t target = FormatIdOf(target_code);
    if (FormatIdOf(frame.format) != kYuy2)
        return false;
    if (target == kYuy2)
        return true;
    if (target != kRgb4 && target != kRgb332 && target != kRgb565 && target != kUyvy && target != kBgr565)
        return false;
    if (!ValidFrame(frame) || (frame.width & 1))
        return false;
    const int64_t w = frame.width, h = frame.height;
    const int64_t pairs = w * h / 2;
    uint8_t *d = frame.data;
    const ColourTables &t = Tables();
    uint32_t format = (frame.format & ~kFormatIdMask) | target;
    switch (target) {
    case kUyvy: {
        const int64_t done = SimdActive() ? kernels::SwapBytePairsAvx2(d, 2 * pairs) : 0;
        for (int64_t k = done; k < 2 * pairs; ++k)
            std::swap(d[2 * k], d[2 * k + 1]);
        frame.size = static_cast<size_t>(2 * w * h);
        break;
    }
    case kRgb565:
    case kBgr565: {
        const bool flip = IsBottomUp(frame.format) != IsBottomUp(target_code);
        ConvertRows16(d, w, h, target == kBgr565, flip);
        format = (format & ~kBottomUp) | (target_code & kBottomUp);
        frame.size = static_cast<size_t>(2 * w * h);
        break;
    }
    case kRgb332: {
        const int64_t done = !ColourVectors()       ? 0
                             : kernels::UseAvx512() ? kernels::Yuy2To332Avx512(d, d, 2 * pairs)
                                                    : kernels::Yuy2To332Avx2(d, d, 2 * pairs);
        for (int64_t k = done / 2; k < pairs; ++k) {
            Rgb p0, p1;
            PairToRgb(t, d + 4 * k, p0, p1);
            d[2 * k] = To332(p0);
            d[2 * k + 1] = To332(p1);
        }
        frame.size = static_cast<size_t>(w * h);
        break;
    }
    case kRgb4:
        for (int64_t k = 0; k < pairs; ++k) {
            Rgb p0, p1;
            PairToRgb(t, d + 4 * k, p0, p1);
            d[k] = static_cast<uint8_t>(ToNibble(p0) | ToNibble(p1) << 4);
        }
        frame.size = static_cast<size_t>(pairs);
        break;
    default:
        return false;
    }
    frame.format = format;
    return true;
}

bool FlipRows(uint8_t *buffer, int32_t rows, int64_t stride)
{
    if (!buffer || rows < 0 || stride <= 0 || (stride % 4) != 0)
        return false;
    for (int64_t i = 0, j = rows - 1; i < j; ++i, --j)
        SwapRanges(buffer + i * stride, buffer + j * stride, stride);
    return true;
}

bool FlipFrame(FrameBuffer &frame)
{
    if (IsCompressed(frame.format) || !ValidFrame(frame))
        return false;
    const uint32_t id = FormatIdOf(frame.format);
    const int64_t w = frame.width, h = frame.height;
    bool ok;
    if (IsPlanar420(id)) {
        if ((h & 1) || (w & 1) || (w % 4) != 0)
            return false;
        ok = FlipRows(frame.data, frame.height, w);
        // Chroma rows of stride w/2: flipped bytewise, so only the luma stride decides.
        uint8_t *chroma = frame.data + w * h;
        const int64_t cw = w / 2, ch = h / 2;
        for (int plane = 0; plane < 2 && ok; ++plane) {
            uint8_t *p = chroma + plane * cw * ch;
            for (int64_t i = 0, j = ch - 1; i < j; ++i, --j)
                std::swap_ranges(p + i * cw, p + (i + 1) * cw, p + j * cw);
        }
    } else if (id == kNv12) {
        if ((h & 1) || (w & 1) || (w % 4) != 0)
            return false;
        ok = FlipRows(frame.data, frame.height, w) && FlipRows(frame.data + w * h, frame.height / 2, w);
    } else {
        const uint64_t stride = PackedRowBytes(w, id);
        ok = FlipRows(frame.data, frame.height, static_cast<int64_t>(stride));
    }
    if (ok)
        frame.format ^= kBottomUp;
    return ok;
}

bool Rotate180(FrameBuffer &frame)
{
    if (IsCompressed(frame.format) || !ValidFrame(frame) || (frame.width & 1) || (frame.height & 1))
        return false;
    const uint32_t id = FormatIdOf(frame.format);
    const int64_t w = frame.width, h = frame.height, n = w * h;
    uint8_t *d = frame.data;
    switch (id) {
    case kRgb4:
        kernels::ReverseBytesSimd(d, n / 2);
        for (int64_t i = 0; i < n / 2; ++i)
            d[i] = static_cast<uint8_t>(d[i] >> 4 | d[i] << 4);
        break;
    case kYuy2:
    case kUyvy: {
        const int l = id == kUyvy ? 1 : 0;
        ReverseElements<4>(d, n / 2);
        for (int64_t k = 0; k < n / 2; ++k)
            std::swap(d[4 * k + l], d[4 * k + l + 2]);
        break;
    }
    case kPlanarYvu420:
    case kPlanarYuv420:
        kernels::ReverseBytesSimd(d, n);
        kernels::ReverseBytesSimd(d + n, n / 4);
        kernels::ReverseBytesSimd(d + n + n / 4, n / 4);
        break;
    default:
        if (!IsWholeBytePacked(id))
            return false;
        ReverseBytes(d, n, BitsPerPixel(id) / 8);
        break;
    }
    frame.format &= ~(kScaleModeMask | kRotationMask | 0x00C00000u);
    return true;
}

bool Rotate90(const FrameBuffer &src, FrameBuffer &dst, bool clockwise)
{
    if (IsCompressed(src.format) || !ValidFrame(src) || (src.width & 1) || (src.height & 1) || !dst.data)
        return false;
    const uint32_t id = FormatIdOf(src.format);
    const int64_t w = src.width, h = src.height, n = w * h;
    if (dst.size < FrameSize(w, h, id))
        return false;
    switch (id) {
    case kYuy2:
    case kUyvy:
        TurnPacked422(src.data, w, h, dst.data, clockwise, id == kUyvy);
        break;
    case kPlanarYvu420:
    case kPlanarYuv420:
        kernels::TurnPlane8(src.data, w, h, dst.data, clockwise);
        kernels::TurnPlane8(src.data + n, w / 2, h / 2, dst.data + n, clockwise);
        kernels::TurnPlane8(src.data + n + n / 4, w / 2, h / 2, dst.data + n + n / 4, clockwise);
        break;
    default:
        if (!IsWholeBytePacked(id))
            return false;
        TurnPlaneBytes(src.data, w, h, dst.data, clockwise, BitsPerPixel(id) / 8);
        break;
    }
    dst.width = src.height;
    dst.height = src.width;
    dst.format = src.format & ~(kScaleModeMask | kRotationMask | 0x00C00000u);
    return true;
}

bool NormaliseCropRect(Rect &rect, int32_t width, int32_t height, uint32_t code)
{
    if (width <= 0 || height <= 0)
        return false;
    const int64_t W = width, H = height;
    const int64_t left = std::clamp<int64_t>(rect.x, 0, W);
    int64_t top = std::clamp<int64_t>(rect.y, 0, H);
    int64_t right = std::clamp<int64_t>(int64_t{rect.x} + rect.width, left, W);
    int64_t bottom = std::clamp<int64_t>(int64_t{rect.y} + rect.height, top, H);
    // Chroma rows cover two luma rows: the planar layouts crop whole row pairs.
    if (IsPlanar420(code) || FormatIdOf(code) == kNv12) {
        bottom = (bottom + 1) & ~int64_t{1};
        top &= ~int64_t{1};
        if (bottom > H)
            bottom -= 2;
    }
    int64_t l = left & ~int64_t{3};
    int64_t r = (right + 3) & ~int64_t{3};
    if (r > W)
        r -= 4;
    if (r < l || l == r) {
        l = 0;
        r = W;
    }
    if (top == bottom || bottom < top) {
        top = 0;
        bottom = H;
    }
    if (r - l <= 0 || bottom - top <= 0)
        return false;
    rect = {static_cast<int32_t>(l), static_cast<int32_t>(top), static_cast<int32_t>(r - l),
            static_cast<int32_t>(bottom - top)};
    return true;
}

bool Crop(const FrameBuffer &src, FrameBuffer &dst, const Rect &rect)
{
    if (IsCompressed(src.format) || !ValidFrame(src) || !dst.data)
        return false;
    const uint32_t id = FormatIdOf(src.format);
    const int bpp = BitsPerPixel(id);
    if (bpp < 8)
        return false;
    const int64_t W = src.width, H = src.height;
    const int64_t x = rect.x, w = rect.width, h = rect.height;
    int64_t y = rect.y;
    // The rectangle must lie inside the frame: a caller's stray rectangle never
    // reads outside the source.
    if (x < 0 || y < 0 || w <= 0 || h <= 0 || x + w > W || y + h > H)
        return false;
    if (dst.size < static_cast<uint64_t>(w * h * bpp / 8))
        return false;
    if (IsBottomUp(src.format))
        y = H - y - h;
    const bool chroma_pairs = id == kYuy2 || id == kUyvy || IsPlanar420(id) || id == kNv12;
    if (chroma_pairs && ((W & 1) || (H & 1) || (x & 1) || (w & 1)))
        return false;
    const bool half_rows = IsPlanar420(id) || id == kNv12;
    if (half_rows && ((y & 1) || (h & 1)))
        return false;
    const uint8_t *s = src.data;
    uint8_t *d = dst.data;
    if (IsPlanar420(id)) {
        CopyRows(s + y * W + x, W, d, w, w, h);
        const int64_t cW = W / 2, cH = H / 2, cw = w / 2, ch = h / 2;
        for (int plane = 0; plane < 2; ++plane) {
            const uint8_t *sp = s + W * H + plane * cW * cH;
            uint8_t *dp = d + w * h + plane * cw * ch;
            CopyRows(sp + (y / 2) * cW + x / 2, cW, dp, cw, cw, ch);
        }
    } else if (id == kNv12) {
        CopyRows(s + y * W + x, W, d, w, w, h);
        CopyRows(s + W * H + (y / 2) * W + x, W, d + w * h, w, w, h / 2);
    } else {
        const int64_t bytes = bpp / 8;
        CopyRows(s + (y * W + x) * bytes, W * bytes, d, w * bytes, w * bytes, h);
    }
    dst.width = rect.width;
    dst.height = rect.height;
    dst.format = src.format & ~kScaleModeMask;
    return true;
}

}  // namespace imaging
