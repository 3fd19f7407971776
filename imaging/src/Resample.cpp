// The scaler's own algorithms: pixel resize (nearest pixel centre) and the
// weighted average of 24-bit frames in 1/128 pixel units.
#include "imaging/Scaler.h"

#include "Kernels.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace imaging {
namespace {

// Source index of every output index along one dimension, stepped without a
// division per element.
void BuildNearestMap(int64_t s, int64_t d, std::vector<int32_t> &map)
{
    map.resize(static_cast<size_t>(d));
    if (d < s) {
        // Output i takes source floor((2i + 1) * s / (2d)).
        const int64_t den = 2 * d, step_q = (2 * s) / den, step_r = (2 * s) % den;
        int64_t q = s / den, r = s % den;
        for (int64_t i = 0; i < d; ++i) {
            map[static_cast<size_t>(i)] = static_cast<int32_t>(q);
            q += step_q;
            r += step_r;
            if (r >= den) {
                ++q;
                r -= den;
            }
        }
    } else {
        // Source j fills outputs floor(j*d/s) .. floor((j+1)*d/s) - 1.
        const int64_t step_q = d / s, step_r = d % s;
        int64_t first = 0, r = 0;
        for (int64_t j = 0; j < s; ++j) {
            int64_t end = first + step_q;
            r += step_r;
            if (r >= s) {
                ++end;
                r -= s;
            }
            for (int64_t i = first; i < end; ++i)
                map[static_cast<size_t>(i)] = static_cast<int32_t>(j);
            first = end;
        }
    }
}

template <size_t Bytes>
void NearestRow(const uint8_t *in, uint8_t *out, const int32_t *map, int64_t width)
{
    for (int64_t i = 0; i < width; ++i)
        std::memcpy(out + i * static_cast<int64_t>(Bytes), in + int64_t{map[i]} * static_cast<int64_t>(Bytes),
                    Bytes);
}

// 24-bit pixels moved as 4-byte words: each word's fourth byte lands on the
// next output pixel, which is written after it. The last output pixel, and any
// source pixel at the end of the row, move as 3 bytes so nothing outside either
// row is touched.
template <> void NearestRow<3>(const uint8_t *in, uint8_t *out, const int32_t *map, int64_t width)
{
    if (width <= 0)
        return;
    const int32_t last_source = map[width - 1];
    int64_t i = 0;
    for (; i + 1 < width; ++i) {
        const int32_t m = map[i];
        if (m == last_source)
            break;
        uint32_t word;
        std::memcpy(&word, in + int64_t{m} * 3, 4);
        std::memcpy(out + i * 3, &word, 4);
    }
    for (; i < width; ++i)
        std::memcpy(out + i * 3, in + int64_t{map[i]} * 3, 3);
}

// Shuffle groups for the leading bytes of every output row, `step` bytes a group
// (15 for 24-bit pixels, else 16), byte j of the row coming from source byte
// source_of(j) of its row: groups while their source bytes fit in 32 and both the
// loads and the 16-byte store stay inside their rows. The plain loop does the rest.
template <typename SourceOf>
void BuildPickGroups(int64_t step, int64_t in_row, int64_t out_row, SourceOf source_of,
                     std::vector<kernels::PickGroup> &groups)
{
    for (int64_t at = 0; at + 16 <= out_row; at += step) {
        int64_t first = source_of(at), last = first;
        for (int64_t k = 1; k < step; ++k) {
            first = std::min(first, source_of(at + k));
            last = std::max(last, source_of(at + k));
        }
        if (last - first >= 32 || first + 32 > in_row)
            break;
        kernels::PickGroup g{};
        for (int64_t k = 0; k < 16; ++k) {
            g.lo[k] = g.hi[k] = 0x80;
            if (k >= step)
                continue;
            const int64_t from = source_of(at + k) - first;
            if (from < 16)
                g.lo[k] = static_cast<uint8_t>(from);
            else
                g.hi[k] = static_cast<uint8_t>(from - 16);
        }
        g.base = static_cast<uint32_t>(first);
        groups.push_back(g);
    }
}

// Pixel k of a 4-bit row: high nibble of byte k/2 for even k, low nibble for
// odd.
void NearestRow4(const uint8_t *in, uint8_t *out, const int32_t *map, int64_t width)
{
    for (int64_t i = 0; i < width; i += 2) {
        auto nibble = [&](int64_t k) -> uint8_t {
            const int32_t m = map[k];
            const uint8_t b = in[m / 2];
            return static_cast<uint8_t>((m & 1) ? (b & 0x0F) : (b >> 4));
        };
        const uint8_t hi = nibble(i);
        const uint8_t lo = i + 1 < width ? nibble(i + 1) : 0;
        out[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
    }
}

// YUY2 (luma at even bytes) or UYVY (luma at odd bytes): output pixel i takes the
// luma of its chosen source pixel and, as its chroma byte, the U (even i) or V
// (odd i) of that pixel's source pair.
void NearestRow422(const uint8_t *in, uint8_t *out, const int32_t *map, int64_t width, bool uyvy)
{
    const int64_t lo = uyvy ? 1 : 0, co = uyvy ? 0 : 1;
    for (int64_t i = 0; i < width; ++i) {
        const int64_t m = map[i];
        out[2 * i + lo] = in[2 * m + lo];
        out[2 * i + co] = in[4 * (m / 2) + 2 * (i & 1) + co];
    }
}

// Weights of one dimension: for output i, elements start[i] .. start[i]+count[i]-1
// with weights at weight[first[i] ...], summing to total[i].
struct Weights {
    std::vector<int32_t> start, count, first, total;
    std::vector<uint32_t> weight;
};

void BuildWeights(int64_t s, int64_t d, Weights &w)
{
    w.start.resize(static_cast<size_t>(d));
    w.count.resize(static_cast<size_t>(d));
    w.first.resize(static_cast<size_t>(d));
    w.total.resize(static_cast<size_t>(d));
    w.weight.clear();
    for (int64_t i = 0; i < d; ++i) {
        const size_t k = static_cast<size_t>(i);
        w.first[k] = static_cast<int32_t>(w.weight.size());
        if (d > s) {
            // Enlarging: one element, or a blend of two where the output straddles them,
            // the first weighted by its coverage of the output in 1/128.
            const int64_t j = i * s / d;
            w.start[k] = static_cast<int32_t>(j);
            w.total[k] = 128;
            if ((i + 1) * s > (j + 1) * d && j + 1 < s) {
                const uint32_t f = static_cast<uint32_t>(((j + 1) * d - i * s) * 128 / s);
                w.weight.push_back(f);
                w.weight.push_back(128 - f);
                w.count[k] = 2;
            } else {
                w.weight.push_back(128);
                w.count[k] = 1;
            }
            continue;
        }
        // Shrinking (or equal): the footprint [i*s/d, (i+1)*s/d) in 1/128 units.
        const int64_t a = i * s * 128 / d;
        const int64_t b = (i + 1) * s * 128 / d;
        const int64_t e0 = a / 128, e1 = b / 128;
        int32_t count = 0;
        for (int64_t e = e0; e <= e1 && e < s; ++e) {
            const int64_t lo = e == e0 ? a : e * 128;
            const int64_t hi = e == e1 ? b : (e + 1) * 128;
            if (hi <= lo) {
                if (count == 0)
                    ++w.start[k];
                continue;
            }
            if (count == 0)
                w.start[k] = static_cast<int32_t>(e);
            w.weight.push_back(static_cast<uint32_t>(hi - lo));
            ++count;
        }
        w.count[k] = count;
        w.total[k] = static_cast<int32_t>(b - a);
    }
}

// n / t truncated, for a quotient of at most 255: the reciprocal's estimate is
// off by at most one and corrected.
inline uint8_t DivideFloor(uint64_t n, uint64_t t, double inverse)
{
    uint64_t q = static_cast<uint64_t>(static_cast<double>(n) * inverse);
    if (q * t > n)
        --q;
    else if ((q + 1) * t <= n)
        ++q;
    return static_cast<uint8_t>(q);
}

bool ValidPair(const FrameBuffer &src, const FrameBuffer &dst)
{
    if (!src.data || !dst.data || src.width <= 0 || src.height <= 0 || dst.width <= 0 || dst.height <= 0)
        return false;
    const uint64_t in = FrameSize(src.width, src.height, src.format);
    const uint64_t out = FrameSize(dst.width, dst.height, src.format);
    return in != 0 && out != 0 && src.size >= in && dst.size >= out;
}

// Output pixels are the means of 2 x 2 source blocks.
void Halve24(const FrameBuffer &src, FrameBuffer &dst)
{
    const int64_t in_stride = 3 * int64_t{src.width}, out_row = 3 * int64_t{dst.width};
    const bool vectors = kernels::VectorsEnabled() && kernels::HaveSsse3();
    const bool avx2 = vectors && kernels::HaveAvx2();
    for (int64_t y = 0; y < dst.height; ++y) {
        const uint8_t *r0 = src.data + 2 * y * in_stride;
        const uint8_t *r1 = r0 + in_stride;
        uint8_t *o = dst.data + y * out_row;
        const int64_t done = avx2      ? kernels::HalveRow24Avx2(r0, r1, o, dst.width)
                             : vectors ? kernels::HalveRow24Ssse3(r0, r1, o, dst.width)
                                       : 0;
        for (int64_t k = 3 * done; k < out_row; ++k) {
            const int64_t i = 2 * k - k % 3;  // first byte of the block's channel
            o[k] = static_cast<uint8_t>((r0[i] + r0[i + 3] + r1[i] + r1[i + 3]) / 4);
        }
    }
}

// Enlarging both ways: every output blends at most two source elements per
// direction with weights summing to 128, so the sum divides by 2^14 exactly.
// Each source row is blended across once (a 128-weighted sum fits 16 bits) and
// kept while the output rows that need it are made; with no rounding in between,
// the order of the two passes does not change a result.
void EnlargeTwoTap(const FrameBuffer &src, FrameBuffer &dst, const Weights &hw, const Weights &vw)
{
    const int64_t sw = src.width, dw = dst.width, in_stride = 3 * sw;
    const size_t out_row = static_cast<size_t>(3 * dw);
    // Per output pixel: the first source byte and the two weights.
    std::vector<uint32_t> at(static_cast<size_t>(dw));
    std::vector<uint16_t> w0(static_cast<size_t>(dw)), w1(static_cast<size_t>(dw));
    for (size_t x = 0; x < static_cast<size_t>(dw); ++x) {
        const bool two = hw.count[x] == 2;
        // A single element is blended with itself at weight 0, inside the row.
        at[x] = static_cast<uint32_t>(3 * std::min<int64_t>(hw.start[x], sw - 2));
        const uint32_t w = hw.weight[static_cast<size_t>(hw.first[x])];
        const bool shifted = !two && hw.start[x] == sw - 1;
        w0[x] = static_cast<uint16_t>(shifted ? 0 : w);
        w1[x] = static_cast<uint16_t>(shifted ? w : (two ? hw.weight[static_cast<size_t>(hw.first[x]) + 1] : 0));
    }
    // Output bytes by groups of eight for the vector kernel, as far as each group's
    // source bytes fit one 16-byte load inside the row; plain bytes after that.
    std::vector<kernels::BlendGroup> groups;
    if (kernels::VectorsEnabled() && kernels::HaveSsse3()) {
        groups.reserve(out_row / 8);
        for (size_t k0 = 0; k0 + 8 <= out_row; k0 += 8) {
            kernels::BlendGroup g{};
            g.base = at[k0 / 3];
            bool fits = g.base + 16 <= static_cast<uint64_t>(in_stride);
            for (size_t i = 0; i < 8 && fits; ++i) {
                const size_t k = k0 + i, x = k / 3;
                const uint32_t offset = at[x] + static_cast<uint32_t>(k % 3) - g.base;
                fits = offset + 3 < 16;
                g.take0[2 * i] = static_cast<uint8_t>(offset);
                g.take1[2 * i] = static_cast<uint8_t>(offset + 3);
                g.take0[2 * i + 1] = g.take1[2 * i + 1] = 0x80;
                g.w0[i] = w0[x];
                g.w1[i] = w1[x];
            }
            if (!fits)
                break;
            groups.push_back(g);
        }
    }
    const size_t vector_bytes = 8 * groups.size();
    const bool rows_vector = kernels::VectorsEnabled() && kernels::HaveAvx2();
    // Source rows j and j + 1 are both needed at once: slot j % 2 holds row j.
    std::vector<uint16_t> blended[2] = {std::vector<uint16_t>(out_row), std::vector<uint16_t>(out_row)};
    int64_t held[2] = {-1, -1};
    auto across = [&](int64_t j) -> const uint16_t * {
        std::vector<uint16_t> &h = blended[j & 1];
        if (held[j & 1] != j) {
            const uint8_t *row = src.data + j * in_stride;
            kernels::BlendAcrossSsse3(row, groups.data(), static_cast<int64_t>(groups.size()), h.data());
            for (size_t k = vector_bytes; k < out_row; ++k) {
                const size_t x = k / 3;
                const uint8_t *p = row + at[x] + k % 3;
                h[k] = static_cast<uint16_t>(unsigned{w0[x]} * p[0] + unsigned{w1[x]} * p[3]);
            }
            held[j & 1] = j;
        }
        return h.data();
    };
    for (int64_t y = 0; y < dst.height; ++y) {
        const size_t ky = static_cast<size_t>(y);
        const int64_t j = vw.start[ky];
        const uint32_t a = vw.weight[static_cast<size_t>(vw.first[ky])];
        uint8_t *out = dst.data + y * static_cast<int64_t>(out_row);
        const uint16_t *h0 = across(j);
        const bool two = vw.count[ky] == 2;
        const uint16_t *h1 = two ? across(j + 1) : h0;
        const uint32_t b = two ? vw.weight[static_cast<size_t>(vw.first[ky]) + 1] : 0;
        const size_t done = rows_vector
                                ? static_cast<size_t>(kernels::BlendRowsAvx2(h0, h1, a, b, out,
                                                                             static_cast<int64_t>(out_row)))
                                : 0;
        for (size_t i = done; i < out_row; ++i)
            out[i] = static_cast<uint8_t>((a * h0[i] + b * h1[i]) >> 14);
    }
}

}  // namespace

bool PixelResize(const FrameBuffer &src, FrameBuffer &dst)
{
    const uint32_t id = FormatIdOf(src.format);
    int bytes = 0;
    switch (id) {
    case kRgb4: bytes = 0; break;
    case kRgb332:
    case kLuma8: bytes = 1; break;
    case kRgb565:
    case kBgr565:
    case kYuy2:
    case kUyvy: bytes = 2; break;
    case kRgb24:
    case kBgr24: bytes = 3; break;
    default: return false;
    }
    if (!ValidPair(src, dst))
        return false;
    const bool packed422 = id == kYuy2 || id == kUyvy;
    if (packed422 && ((src.width & 1) || (dst.width & 1)))
        return false;
    std::vector<int32_t> columns, rows;
    BuildNearestMap(src.width, dst.width, columns);
    BuildNearestMap(src.height, dst.height, rows);
    const int64_t in_stride = static_cast<int64_t>(PackedRowBytes(src.width, id));
    const int64_t out_stride = static_cast<int64_t>(PackedRowBytes(dst.width, id));
    // Whole groups of output bytes by shuffles where the vector kernels may run.
    std::vector<kernels::PickGroup> picks;
    const int64_t step = bytes == 3 ? 15 : 16;
    if (bytes > 0 && kernels::VectorsEnabled() && kernels::HaveSsse3()) {
        const int32_t *m = columns.data();
        const int64_t lo = id == kUyvy ? 1 : 0, co = 1 - lo;
        if (packed422)
            BuildPickGroups(step, in_stride, out_stride, [&](int64_t j) {
                const int64_t p = j / 2, src = m[p];
                return j % 2 == lo ? 2 * src + lo : 4 * (src / 2) + 2 * (p & 1) + co;
            }, picks);
        else
            BuildPickGroups(step, in_stride, out_stride,
                            [&](int64_t j) { return int64_t{m[j / bytes]} * bytes + j % bytes; }, picks);
    }
    const int64_t picked = bytes > 0 ? static_cast<int64_t>(picks.size()) * step / bytes : 0;
    const int32_t *rest_map = columns.data() + picked;
    const int64_t rest = dst.width - picked;
    for (int64_t y = 0; y < dst.height; ++y) {
        uint8_t *out = dst.data + y * out_stride;
        if (y > 0 && rows[static_cast<size_t>(y)] == rows[static_cast<size_t>(y - 1)]) {
            std::memcpy(out, out - out_stride, static_cast<size_t>(out_stride));
            continue;
        }
        const uint8_t *in = src.data + int64_t{rows[static_cast<size_t>(y)]} * in_stride;
        if (!picks.empty())
            kernels::PickAcrossSsse3(in, picks.data(), static_cast<int64_t>(picks.size()), out, step);
        uint8_t *rest_out = out + picked * bytes;
        if (packed422)
            NearestRow422(in, rest_out, rest_map, rest, id == kUyvy);
        else if (bytes == 0)
            NearestRow4(in, out, columns.data(), dst.width);
        else if (bytes == 1)
            NearestRow<1>(in, rest_out, rest_map, rest);
        else if (bytes == 2)
            NearestRow<2>(in, rest_out, rest_map, rest);
        else
            NearestRow<3>(in, rest_out, rest_map, rest);
    }
    dst.format = src.format & 0x8030FFFFu;
    return true;
}

bool WeightedAverage(const FrameBuffer &src, FrameBuffer &dst)
{
    const uint32_t id = FormatIdOf(src.format);
    if ((id != kRgb24 && id != kBgr24) || !ValidPair(src, dst))
        return false;
    dst.format = src.format & 0x8030FFFFu;
    if (src.width == 2 * dst.width && src.height == 2 * dst.height) {
        Halve24(src, dst);
        return true;
    }
    Weights hw, vw;
    BuildWeights(src.width, dst.width, hw);
    BuildWeights(src.height, dst.height, vw);
    if (dst.width > src.width && dst.height > src.height && src.width >= 2) {
        EnlargeTwoTap(src, dst, hw, vw);
        return true;
    }
    const int64_t dw = dst.width, sw = src.width, in_stride = 3 * sw;
    // Rows first: the weighted sum of the footprint's source rows, per source byte.
    std::vector<uint64_t> column(static_cast<size_t>(in_stride));
    std::vector<double> inverse(static_cast<size_t>(dw));
    for (int64_t y = 0; y < dst.height; ++y) {
        const size_t ky = static_cast<size_t>(y);
        const uint8_t *first = src.data + int64_t{vw.start[ky]} * in_stride;
        const uint64_t w0 = vw.weight[static_cast<size_t>(vw.first[ky])];
        for (int64_t i = 0; i < in_stride; ++i)
            column[static_cast<size_t>(i)] = w0 * first[i];
        for (int32_t r = 1; r < vw.count[ky]; ++r) {
            const uint64_t wv = vw.weight[static_cast<size_t>(vw.first[ky] + r)];
            const uint8_t *row = first + r * in_stride;
            for (int64_t i = 0; i < in_stride; ++i)
                column[static_cast<size_t>(i)] += wv * row[i];
        }
        const uint64_t tv = static_cast<uint64_t>(vw.total[ky]);
        if (y == 0 || vw.total[ky] != vw.total[ky - 1])
            for (int64_t x = 0; x < dw; ++x)
                inverse[static_cast<size_t>(x)] = 1.0 / static_cast<double>(tv * uint64_t(hw.total[size_t(x)]));
        uint8_t *out = dst.data + y * 3 * dw;
        for (int64_t x = 0; x < dw; ++x) {
            const size_t kx = static_cast<size_t>(x);
            const uint64_t *p = column.data() + 3 * int64_t{hw.start[kx]};
            const uint32_t *wh = hw.weight.data() + hw.first[kx];
            uint64_t s0 = 0, s1 = 0, s2 = 0;
            for (int32_t c = 0; c < hw.count[kx]; ++c) {
                s0 += wh[c] * p[3 * c];
                s1 += wh[c] * p[3 * c + 1];
                s2 += wh[c] * p[3 * c + 2];
            }
            const uint64_t t = tv * static_cast<uint64_t>(hw.total[kx]);
            const double inv = inverse[kx];
            out[3 * x] = DivideFloor(s0, t, inv);
            out[3 * x + 1] = DivideFloor(s1, t, inv);
            out[3 * x + 2] = DivideFloor(s2, t, inv);
        }
    }
    return true;
}

}  // namespace imaging
