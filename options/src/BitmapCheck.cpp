#include "options/BitmapCheck.h"

#include <ambry/File.h>

#include <unistd.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t kHeaderBytes = 54;
constexpr uint32_t kCompressionNone = 0;
constexpr uint32_t kCompressionBitfields = 3;
constexpr uint64_t kBitfieldsOffset = kHeaderBytes + 3 * 4;

// Bytes held in memory.
class MemorySource {
public:
    MemorySource(const uint8_t *data, size_t length) : m_data(data), m_length(data ? length : 0) {}
    uint64_t Size() const { return m_length; }
    uint64_t Position() const { return m_pos; }
    bool Read(void *dst, size_t count)
    {
        if (count > m_length - m_pos)
            return false;
        if (count)
            std::memcpy(dst, m_data + m_pos, count);
        m_pos += count;
        return true;
    }
    bool Skip(uint64_t count)
    {
        if (count > m_length - m_pos)
            return false;
        m_pos += count;
        return true;
    }

private:
    const uint8_t *m_data;
    uint64_t m_length;
    uint64_t m_pos = 0;
};

// The largest file worth reading: a 24-bit picture at the pixel limit with its row
// padding, palette and headers fits well below it.
constexpr uint64_t kMaxFileBytes = uint64_t(1) << 30;

// A file read front to back; skips never move past its end. Only a regular file of
// sane size is opened at all (a FIFO or device named by a stored path must not block).
class FileSource {
public:
    explicit FileSource(const std::string &path) { m_fd = Ambry::FileOpenRegular(path.c_str(), kMaxFileBytes, &m_length); }
    ~FileSource()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;
    bool IsOpen() const { return m_fd >= 0; }
    uint64_t Size() const { return m_length; }
    uint64_t Position() const { return m_pos; }
    bool Read(void *dst, size_t count)
    {
        if (count > m_length - m_pos)
            return false;
        if (count && !Ambry::FileReadExact(m_fd, dst, count))
            return false;
        m_pos += count;
        return true;
    }
    bool Skip(uint64_t count)
    {
        if (count > m_length - m_pos)
            return false;
        if (count && ::lseek(m_fd, off_t(m_pos + count), SEEK_SET) < 0)
            return false;
        m_pos += count;
        return true;
    }

private:
    int m_fd = -1;
    uint64_t m_length = 0;
    uint64_t m_pos = 0;
};

uint16_t U16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

struct Header {
    uint32_t pixelOffset;
    int32_t width;
    int32_t height;
    uint16_t bitCount;
    uint32_t compression;
    uint32_t coloursUsed;
};

Header ParseHeader(const uint8_t *h)
{
    Header hdr{};
    hdr.pixelOffset = U32(h + 10);
    hdr.width = int32_t(U32(h + 18));
    hdr.height = int32_t(U32(h + 22));
    hdr.bitCount = U16(h + 28);
    hdr.compression = U32(h + 30);
    hdr.coloursUsed = U32(h + 46);
    return hdr;
}

// Every index of a palette row must name a palette entry.
bool IndicesInPalette(const std::vector<uint8_t> &row, int64_t width, unsigned bitCount, uint64_t paletteSize)
{
    if (paletteSize > 255)
        return true;  // no 4- or 8-bit index can reach past it
    for (int64_t x = 0; x < width; ++x) {
        unsigned index = bitCount == 8 ? row[size_t(x)]
                                       : (x % 2 == 0 ? row[size_t(x / 2)] >> 4 : row[size_t(x / 2)] & 0x0F);
        if (index >= paletteSize)
            return false;
    }
    return true;
}

template <class Source>
bool Validate(Source &src, BitmapSize *size)
{
    std::array<uint8_t, kHeaderBytes> raw{};
    if (!src.Read(raw.data(), raw.size()) || raw[0] != 'B' || raw[1] != 'M')
        return false;
    const Header hdr = ParseHeader(raw.data());
    if (hdr.compression != kCompressionNone && hdr.compression != kCompressionBitfields)
        return false;

    const int64_t width = hdr.width;
    const int64_t height = hdr.height < 0 ? -int64_t(hdr.height) : int64_t(hdr.height);
    if (width <= 0 || height <= 0 || width > kMaxBitmapSide || height > kMaxBitmapSide ||
        width * height > kMaxBitmapPixels)
        return false;

    const unsigned bitCount = hdr.bitCount;
    uint64_t paletteSize = 0;
    switch (bitCount) {
    case 1:
    case 4:
    case 8: {
        if (hdr.compression == kCompressionBitfields)
            return false;
        paletteSize = hdr.coloursUsed ? hdr.coloursUsed : (uint64_t(1) << bitCount);
        // The entries must all be in the file; none past the 256th can be indexed,
        // so only their presence matters and nothing is held.
        if (!src.Skip(paletteSize * 4))
            return false;
        if (bitCount == 1)
            return false;  // no decoder for monochrome pictures
        break;
    }
    case 16:
    case 24:
        if (hdr.pixelOffset > kHeaderBytes) {
            if (hdr.compression == kCompressionBitfields) {
                if (hdr.pixelOffset != kBitfieldsOffset)
                    return false;
                std::array<uint8_t, 12> masks{};
                if (!src.Read(masks.data(), masks.size()))
                    return false;
                const uint32_t red = U32(masks.data()), green = U32(masks.data() + 4), blue = U32(masks.data() + 8);
                if ((red & green & blue) != 0)
                    return false;
            } else if (!src.Skip(hdr.pixelOffset - kHeaderBytes)) {
                return false;
            }
        } else if (hdr.compression == kCompressionBitfields) {
            return false;
        }
        break;
    default:
        return false;
    }

    const uint64_t stride = ((uint64_t(width) * bitCount + 31) / 32) * 4;
    if (stride * uint64_t(height) > src.Size() - src.Position())
        return false;  // the picture is not all there: refuse before reading any of it
    if (bitCount == 4 || bitCount == 8) {
        std::vector<uint8_t> row(stride);
        for (int64_t y = 0; y < height; ++y) {
            if (!src.Read(row.data(), row.size()) || !IndicesInPalette(row, width, bitCount, paletteSize))
                return false;
        }
    } else if (!src.Skip(stride * uint64_t(height))) {
        // Every 16- and 24-bit pixel value expands to a colour, so only presence counts.
        return false;
    }
    if (size) {
        size->width = int32_t(width);
        size->height = int32_t(height);
    }
    return true;
}

}  // namespace

bool ValidateBitmapBytes(const uint8_t *data, size_t length, BitmapSize *size)
{
    MemorySource src(data, length);
    return Validate(src, size);
}

bool ValidateBitmapFile(const std::string &path, BitmapSize *size)
{
    FileSource src(path);
    return src.IsOpen() && Validate(src, size);
}

