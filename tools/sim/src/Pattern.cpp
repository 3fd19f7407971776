// The simulated appliance's picture: test pattern, JPEG snapshot, compressed frames.
#include "sim/Simulator.h"

#include <imaging/Encoder.h>
#include <imaging/Planes.h>

#include <cstdio>
#include <cstring>
#include <jpeglib.h>

namespace Sim {

namespace {

// The frame counter's grid: 16 x 3 cells, each 1/64 of the width and 1/48 of the height.
constexpr int kCodeColumns = 16, kCodeRows = 3;
constexpr int kCodeColumnsPerWidth = 64, kCodeRowsPerHeight = 48;

// 5 x 7 glyphs, one byte per row, bit 4 is the leftmost column.
struct Glyph {
    char c;
    uint8_t rows[7];
};

constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}}, {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}}, {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}}, {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}}, {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}}, {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}}, {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'/', {0x01, 0x01, 0x02, 0x04, 0x08, 0x10, 0x10}}, {'_', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F}},
};

const Glyph *FindGlyph(char c)
{
    if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    for (const Glyph &g : kFont)
        if (g.c == c)
            return &g;
    return nullptr;
}

void FillRect(uint8_t *bgr, int width, int height, int x0, int y0, int w, int h, const uint8_t colour[3])
{
    for (int y = y0 < 0 ? 0 : y0; y < y0 + h && y < height; ++y)
        for (int x = x0 < 0 ? 0 : x0; x < x0 + w && x < width; ++x)
            std::memcpy(bgr + (size_t(y) * width + x) * 3, colour, 3);
}

void DrawText(uint8_t *bgr, int width, int height, int x, int y, int scale, const std::string &text)
{
    static const uint8_t kInk[3] = {255, 255, 255};
    static const uint8_t kPaper[3] = {0, 0, 0};
    int advance = 6 * scale;
    FillRect(bgr, width, height, x - scale, y - scale, advance * int(text.size()) + scale, 9 * scale, kPaper);
    for (char c : text) {
        if (const Glyph *g = FindGlyph(c)) {
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (g->rows[row] & (0x10 >> col))
                        FillRect(bgr, width, height, x + col * scale, y + row * scale, scale, scale, kInk);
        }
        x += advance;
    }
}

}  // namespace

void RenderPattern(const DeviceConfig &config, uint32_t phase, int width, int height, uint8_t *bgr)
{
    if (width <= 0 || height <= 0)
        return;
    // Eight colour bars (blue, green, red) scrolling with the phase.
    static const uint8_t kBars[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                        {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};
    uint32_t shift = (phase * 8) % static_cast<uint32_t>(width);
    std::vector<uint8_t> row(size_t(width) * 3);
    for (int x = 0; x < width; ++x) {
        int bar = static_cast<int>(((x + shift) % static_cast<uint32_t>(width)) * 8 / static_cast<uint32_t>(width));
        std::memcpy(&row[size_t(x) * 3], kBars[bar], 3);
    }
    int bars_end = height * 2 / 3;
    for (int y = 0; y < bars_end; ++y)
        std::memcpy(bgr + size_t(y) * width * 3, row.data(), row.size());
    // A grey ramp below the bars.
    for (int y = bars_end; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t v = static_cast<uint8_t>(x * 255 / (width > 1 ? width - 1 : 1));
            uint8_t *p = bgr + (size_t(y) * width + x) * 3;
            p[0] = p[1] = p[2] = v;
        }
    // A box that moves across the picture.
    int box = height / 8 > 4 ? height / 8 : 4;
    int span = width > box ? width - box : 1;
    int bx = static_cast<int>((phase * 16) % static_cast<uint32_t>(span));
    static const uint8_t kBox[3] = {0, 128, 255};
    FillRect(bgr, width, height, bx, bars_end - box / 2, box, box, kBox);
    int scale = height / 120 > 1 ? height / 120 : 1;
    // Below the frame counter's corner when the frames carry one.
    int top = config.frame_counter ? (kCodeRows + 1) * height / kCodeRowsPerHeight : 0;
    if (width >= 8 * scale * 6)
        DrawText(bgr, width, height, 3 * scale, top + 3 * scale, scale, config.serial);
}

namespace {

uint16_t CounterCheck(uint32_t counter)
{
    return uint16_t(0xA5A5u ^ (counter & 0xFFFFu) ^ (counter >> 16));
}

// Cell (column, row) of the code spans [x0, x1) x [y0, y1).
struct Cell {
    int x0, x1, y0, y1;
};

Cell CodeCell(int width, int height, int column, int row)
{
    auto at = [](int64_t index, int size, int parts) { return int(index * size / parts); };  // no overflow
    return Cell{at(column, width, kCodeColumnsPerWidth), at(column + 1, width, kCodeColumnsPerWidth),
                at(row, height, kCodeRowsPerHeight), at(row + 1, height, kCodeRowsPerHeight)};
}

bool CodeFits(int width, int height)
{
    return width >= kCodeColumnsPerWidth && height >= kCodeRowsPerHeight;
}

}  // namespace

void DrawFrameCounter(uint8_t *bgr, int width, int height, uint32_t counter)
{
    if (!bgr || !CodeFits(width, height))
        return;
    static const uint8_t kWhite[3] = {255, 255, 255};
    static const uint8_t kBlack[3] = {0, 0, 0};
    const Cell margin = CodeCell(width, height, kCodeColumns, kCodeRows);
    FillRect(bgr, width, height, 0, 0, margin.x1, margin.y1, kBlack);
    const uint32_t words[kCodeRows] = {counter >> 16, counter & 0xFFFFu, CounterCheck(counter)};
    for (int row = 0; row < kCodeRows; ++row)
        for (int column = 0; column < kCodeColumns; ++column)
            if (words[row] & (0x8000u >> column)) {
                const Cell c = CodeCell(width, height, column, row);
                FillRect(bgr, width, height, c.x0, c.y0, c.x1 - c.x0, c.y1 - c.y0, kWhite);
            }
}

bool DecodeFrameCounter(const uint8_t *pixels, int width, int height, uint32_t *counter, int pixel_bytes, int channel,
                        ptrdiff_t stride)
{
    if (!pixels || !counter || !CodeFits(width, height) || pixel_bytes <= 0 || channel < 0 || channel >= pixel_bytes)
        return false;
    if (stride == 0)
        stride = ptrdiff_t(width) * pixel_bytes;
    uint32_t words[kCodeRows] = {};
    for (int row = 0; row < kCodeRows; ++row)
        for (int column = 0; column < kCodeColumns; ++column) {
            // The middle half of the cell, so that blurred edges do not count.
            const Cell c = CodeCell(width, height, column, row);
            const int mx = (c.x1 - c.x0) / 4, my = (c.y1 - c.y0) / 4;
            uint64_t sum = 0, n = 0;
            for (int y = c.y0 + my; y < c.y1 - my; ++y)
                for (int x = c.x0 + mx; x < c.x1 - mx; ++x, ++n)
                    sum += pixels[ptrdiff_t(y) * stride + ptrdiff_t(x) * pixel_bytes + channel];
            if (n && sum / n >= 128)
                words[row] |= 0x8000u >> column;
        }
    const uint32_t value = words[0] << 16 | words[1];
    if (words[2] != CounterCheck(value))
        return false;
    *counter = value;
    return true;
}

int StreamRate(const DeviceConfig &config)
{
    if (config.stream_fps > 0)
        return config.stream_fps;
    const int rate = (config.mode.refresh_mhz + 500) / 1000;
    return rate > 0 ? rate : 1;
}

std::vector<uint8_t> EncodeJpeg(const uint8_t *bgr, int width, int height)
{
    std::vector<uint8_t> out;
    if (width <= 0 || height <= 0)
        return out;
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *mem = nullptr;
    unsigned long mem_size = 0;
    jpeg_mem_dest(&cinfo, &mem, &mem_size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 85, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> rgb(size_t(width) * 3);
    while (cinfo.next_scanline < cinfo.image_height) {
        const uint8_t *src = bgr + size_t(cinfo.next_scanline) * width * 3;
        for (int x = 0; x < width; ++x) {
            rgb[x * 3] = src[x * 3 + 2];
            rgb[x * 3 + 1] = src[x * 3 + 1];
            rgb[x * 3 + 2] = src[x * 3];
        }
        JSAMPROW r = rgb.data();
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    out.assign(mem, mem + mem_size);
    jpeg_destroy_compress(&cinfo);
    std::free(mem);
    return out;
}

std::vector<uint8_t> EncodeCompressedFrame(const uint8_t *bgr, int width, int height)
{
    if (width <= 0 || height <= 0)
        return {};
    imaging::FrameEncoder encoder;
    return encoder.EncodeSelfContained(bgr, uint32_t(width), uint32_t(height), imaging::kCompressedBgr24, {});
}

namespace {

// The appliance converts with the same BT.601 arithmetic as the client.
std::vector<uint8_t> ToPairs(const uint8_t *bgr, int width, int height, bool uyvy)
{
    if (width <= 0 || height <= 0 || (width & 1))
        return {};
    std::vector<uint8_t> out(size_t(width) * height * 2);
    imaging::Rgb24ToPacked422({bgr, ptrdiff_t(width) * 3}, false, {out.data(), ptrdiff_t(width) * 2}, uyvy, width,
                              height);
    return out;
}

}  // namespace

std::vector<uint8_t> ToYuy2(const uint8_t *bgr, int width, int height)
{
    return ToPairs(bgr, width, height, false);
}

std::vector<uint8_t> ToUyvy(const uint8_t *bgr, int width, int height)
{
    return ToPairs(bgr, width, height, true);
}

bool StreamsPixelFormat(uint32_t pixel)
{
    return imaging::IsStreamFormat(pixel);
}

}  // namespace Sim
