// Makes JPEG pictures in memory for tests, fuzz seeds and benchmarks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace TestJpeg {

// Encodes top-down rows of `components` (1 grey, 3 RGB) bytes per pixel.
inline std::vector<uint8_t> Encode(const uint8_t *pixels, int width, int height, int components, int quality)
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&c, &out, &out_size);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = components;
    c.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<uint8_t *>(pixels) + size_t(c.next_scanline) * width * components;
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> bytes(out, out + out_size);
    free(out);
    return bytes;
}

// A colourful test card of the given size, top-down RGB.
inline std::vector<uint8_t> TestCard(int width, int height)
{
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t *p = &rgb[(size_t(y) * width + x) * 3];
            p[0] = uint8_t(x * 255 / (width > 1 ? width - 1 : 1));
            p[1] = uint8_t(y * 255 / (height > 1 ? height - 1 : 1));
            p[2] = uint8_t(((x / 16) ^ (y / 16)) & 1 ? 220 : 30);
        }
    return rgb;
}

// Rewrites the picture size in the first start-of-frame marker.
inline bool PatchSize(std::vector<uint8_t> &jpeg, uint16_t width, uint16_t height)
{
    for (size_t i = 2; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC1 || jpeg[i + 1] == 0xC2)) {
            jpeg[i + 5] = uint8_t(height >> 8);
            jpeg[i + 6] = uint8_t(height);
            jpeg[i + 7] = uint8_t(width >> 8);
            jpeg[i + 8] = uint8_t(width);
            return true;
        }
    }
    return false;
}

}  // namespace TestJpeg
