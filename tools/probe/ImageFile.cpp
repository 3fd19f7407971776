#include "ImageFile.h"

#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace Probe {
namespace {

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool EndsWith(const std::string &s, const char *tail)
{
    const size_t n = std::strlen(tail);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i])
            return false;
    return true;
}

void Put32Le(std::vector<uint8_t> &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}
void Put16Le(std::vector<uint8_t> &b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Put32Be(std::vector<uint8_t> &b, uint32_t v)
{
    for (int i = 3; i >= 0; --i)
        b.push_back(uint8_t(v >> (8 * i)));
}

// Row y counted from the top of the picture.
const uint8_t *TopRow(const uint8_t *pixels, int width, int height, bool bottom_up, int y)
{
    const size_t stride = size_t(width) * 3;
    return pixels + stride * size_t(bottom_up ? height - 1 - y : y);
}

std::vector<uint8_t> Bmp(const uint8_t *pixels, int width, int height, bool bottom_up)
{
    const size_t stride = (size_t(width) * 3 + 3) & ~size_t(3);
    const size_t image = stride * size_t(height);
    std::vector<uint8_t> b;
    b.reserve(54 + image);
    b.push_back('B');
    b.push_back('M');
    Put32Le(b, uint32_t(54 + image));
    Put32Le(b, 0);
    Put32Le(b, 54);
    Put32Le(b, 40);
    Put32Le(b, uint32_t(width));
    Put32Le(b, uint32_t(height));  // positive: rows stored bottom-up
    Put16Le(b, 1);
    Put16Le(b, 24);
    Put32Le(b, 0);
    Put32Le(b, uint32_t(image));
    Put32Le(b, 2835);
    Put32Le(b, 2835);
    Put32Le(b, 0);
    Put32Le(b, 0);
    for (int y = height - 1; y >= 0; --y) {
        const uint8_t *row = TopRow(pixels, width, height, bottom_up, y);
        b.insert(b.end(), row, row + size_t(width) * 3);
        b.resize(b.size() + stride - size_t(width) * 3, 0);
    }
    return b;
}

std::vector<uint8_t> Ppm(const uint8_t *pixels, int width, int height, bool bottom_up)
{
    const std::string head = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    std::vector<uint8_t> b(head.begin(), head.end());
    for (int y = 0; y < height; ++y) {
        const uint8_t *row = TopRow(pixels, width, height, bottom_up, y);
        for (int x = 0; x < width; ++x) {
            b.push_back(row[x * 3 + 2]);
            b.push_back(row[x * 3 + 1]);
            b.push_back(row[x * 3]);
        }
    }
    return b;
}

void PngChunk(std::vector<uint8_t> &b, const char type[4], const std::vector<uint8_t> &data)
{
    Put32Be(b, uint32_t(data.size()));
    const size_t start = b.size();
    b.insert(b.end(), type, type + 4);
    b.insert(b.end(), data.begin(), data.end());
    const uLong crc = crc32(0L, b.data() + start, uInt(b.size() - start));
    Put32Be(b, uint32_t(crc));
}

bool Png(const uint8_t *pixels, int width, int height, bool bottom_up, std::vector<uint8_t> *out)
{
    // Filter byte 0 and red-green-blue pixels per row, then deflate.
    std::vector<uint8_t> raw;
    raw.reserve((size_t(width) * 3 + 1) * size_t(height));
    for (int y = 0; y < height; ++y) {
        const uint8_t *row = TopRow(pixels, width, height, bottom_up, y);
        raw.push_back(0);
        for (int x = 0; x < width; ++x) {
            raw.push_back(row[x * 3 + 2]);
            raw.push_back(row[x * 3 + 1]);
            raw.push_back(row[x * 3]);
        }
    }
    uLongf packed_size = compressBound(uLong(raw.size()));
    std::vector<uint8_t> packed(packed_size);
    if (compress2(packed.data(), &packed_size, raw.data(), uLong(raw.size()), 6) != Z_OK)
        return false;
    packed.resize(packed_size);

    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    out->assign(kSignature, kSignature + 8);
    std::vector<uint8_t> ihdr;
    Put32Be(ihdr, uint32_t(width));
    Put32Be(ihdr, uint32_t(height));
    ihdr.push_back(8);  // bits per sample
    ihdr.push_back(2);  // truecolour
    ihdr.push_back(0);
    ihdr.push_back(0);
    ihdr.push_back(0);
    PngChunk(*out, "IHDR", ihdr);
    PngChunk(*out, "IDAT", packed);
    PngChunk(*out, "IEND", {});
    return true;
}

}  // namespace

bool WriteRaw(const std::string &path, const void *data, size_t size, std::string *error)
{
    File f(std::fopen(path.c_str(), "wb"));
    if (!f || std::fwrite(data, 1, size, f.get()) != size || std::fflush(f.get()) != 0) {
        if (error)
            *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool WritePicture(const std::string &path, const uint8_t *pixels, int width, int height, bool bottom_up,
                  std::string *error)
{
    if (!pixels || width <= 0 || height <= 0) {
        if (error)
            *error = "no picture to write";
        return false;
    }
    std::vector<uint8_t> bytes;
    if (EndsWith(path, ".bmp"))
        bytes = Bmp(pixels, width, height, bottom_up);
    else if (EndsWith(path, ".ppm"))
        bytes = Ppm(pixels, width, height, bottom_up);
    else if (!Png(pixels, width, height, bottom_up, &bytes)) {
        if (error)
            *error = "cannot compress the picture";
        return false;
    }
    return WriteRaw(path, bytes.data(), bytes.size(), error);
}

}  // namespace Probe
