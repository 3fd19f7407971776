// The vector kernels against the plain ones: same bytes for every input, odd
// sizes, unaligned buffers and buffers that end where an inaccessible page begins.
// Each test prints which vector paths its comparisons covered and fails when the
// processor has a path of that operation that no comparison ran.
#include "Helpers.h"

#include "imaging/Convert.h"
#include "imaging/Decoder.h"
#include "imaging/Encoder.h"
#include "imaging/Scaler.h"
#include "imaging/Simd.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

using namespace imaging;
using imaging_test::OwnedFrame;

namespace {

// Bytes that end where a page without access begins: a kernel reading or writing one
// byte past the end faults.
class CGuardedBytes {
public:
    explicit CGuardedBytes(size_t size) : m_size(size)
    {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        m_span = (size + page - 1) / page * page + page;
        void *base = mmap(nullptr, m_span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            ADD_FAILURE() << "cannot map " << m_span << " bytes";
            return;
        }
        m_base = static_cast<uint8_t *>(base);
        if (mprotect(m_base + m_span - page, page, PROT_NONE) != 0)
            ADD_FAILURE() << "cannot protect the guard page";
        m_data = m_base + m_span - page - size;
    }
    ~CGuardedBytes()
    {
        if (m_base)
            munmap(m_base, m_span);
    }
    CGuardedBytes(const CGuardedBytes &) = delete;
    CGuardedBytes &operator=(const CGuardedBytes &) = delete;

    uint8_t *Data() const { return m_data; }
    std::vector<uint8_t> Bytes() const { return m_data ? std::vector<uint8_t>(m_data, m_data + m_size) : std::vector<uint8_t>{}; }

private:
    uint8_t *m_base = nullptr;
    uint8_t *m_data = nullptr;
    size_t m_size;
    size_t m_span = 0;
};

std::string PathNames(unsigned paths)
{
    std::string names;
    for (auto [bit, name] : {std::pair{kSimdSsse3, "SSSE3"}, {kSimdAvx2, "AVX2"}, {kSimdAvx512, "AVX-512"}})
        if (paths & bit)
            names += names.empty() ? name : std::string(" ") + name;
    return names.empty() ? "none" : names;
}

// The vector paths the comparisons of the running test covered.
unsigned g_compared = 0;

// Each test names the vector paths its operation has; at its end the test prints what
// its comparisons covered and fails when the processor has one of those paths that
// no comparison ran.
class VectorKernels : public ::testing::Test {
protected:
    void SetUp() override
    {
        (void)TakeSimdPathsChosen();
        g_compared = 0;
    }
    void TearDown() override
    {
        const unsigned supported = SimdPathsSupported();
        std::printf("[  paths   ] compared: %s (the processor has: %s)\n", PathNames(g_compared).c_str(),
                    PathNames(supported).c_str());
        EXPECT_EQ(g_compared & m_paths, supported & m_paths)
            << "the operation's paths " << PathNames(supported & m_paths) << " were not all compared";
    }
    void Paths(unsigned paths) { m_paths = paths; }

private:
    unsigned m_paths = 0;
};

// Takes the paths chosen by one run in `mode` (0 plain, 1 no 512-bit kernels, 2 all)
// and checks that the mode was kept.
void NoteRun(int mode, const std::string &what)
{
    const unsigned chosen = TakeSimdPathsChosen();
    if (mode == 0) {
        EXPECT_EQ(chosen, 0u) << what << ": the plain run chose " << PathNames(chosen);
        return;
    }
    if (mode == 1) {
        EXPECT_EQ(chosen & kSimdAvx512, 0u) << what << ": 512-bit kernels ran while switched off";
    }
    g_compared |= chosen;
}

// Runs `op` on a copy of `frame` with the vector kernels off, with them on but the
// 512-bit ones off, and with all of them on; each vector mode once with the frame
// ending at an inaccessible page and once starting one byte past an aligned address.
void ExpectSameEveryWay(const OwnedFrame &frame, const std::function<bool(FrameBuffer &, std::vector<uint8_t> &)> &op,
                        const std::string &what)
{
    struct Run {
        int mode;
        bool guarded;
    };
    const Run runs[] = {{0, true}, {1, true}, {1, false}, {2, true}, {2, false}};
    (void)TakeSimdPathsChosen();
    std::vector<uint8_t> results[std::size(runs)];
    FrameBuffer after[std::size(runs)];
    for (size_t r = 0; r < std::size(runs); ++r) {
        const Run run = runs[r];
        SetSimdEnabled(run.mode != 0);
        SetWideVectorsEnabled(run.mode == 2);
        CGuardedBytes guarded(frame.bytes.size());
        std::vector<uint8_t> offset(frame.bytes.size() + 1);
        uint8_t *data = run.guarded ? guarded.Data() : offset.data() + 1;
        if (!data)
            return;
        std::memcpy(data, frame.bytes.data(), frame.bytes.size());
        FrameBuffer f = frame.frame;
        f.data = data;
        std::vector<uint8_t> out(frame.bytes.size() + 64, 0xCD);
        const bool ok = op(f, out);
        SetSimdEnabled(true);
        SetWideVectorsEnabled(true);
        NoteRun(run.mode, what);
        ASSERT_TRUE(ok) << what;
        results[r].assign(data, data + frame.bytes.size());
        results[r].insert(results[r].end(), out.begin(), out.end());
        after[r] = f;
    }
    for (size_t r = 1; r < std::size(runs); ++r) {
        const std::string how = " (vector mode " + std::to_string(runs[r].mode) +
                                (runs[r].guarded ? ", ending at a guard page)" : ", unaligned)");
        EXPECT_EQ(results[0], results[r]) << what << how;
        EXPECT_EQ(after[0].format, after[r].format) << what << how;
        EXPECT_EQ(after[0].size, after[r].size) << what << how;
    }
}

using ResizeJobs = std::vector<std::pair<imaging_test::Size, imaging_test::Size>>;

// Each job's resize with the vector kernels on and off, into an output with 64
// guard bytes behind it.
void ExpectResizesSameEveryWay(uint32_t id, const ResizeJobs &jobs, bool (*resize)(const FrameBuffer &, FrameBuffer &))
{
    for (const auto &job : jobs) {
        const imaging_test::Size from = job.first, to = job.second;
        OwnedFrame f(from.width, from.height, id, static_cast<uint32_t>(from.width * 31 + to.width));
        ExpectSameEveryWay(
            f,
            [&](FrameBuffer &fb, std::vector<uint8_t> &out) {
                out.resize(static_cast<size_t>(FrameSize(to.width, to.height, id)) + 64, 0xCD);
                FrameBuffer dst{out.data(), out.size() - 64, 0, to.width, to.height};
                return resize(fb, dst);
            },
            std::to_string(id) + " " + std::to_string(from.width) + "x" + std::to_string(from.height) + " to " +
                std::to_string(to.width) + "x" + std::to_string(to.height));
    }
}

}  // namespace

TEST_F(VectorKernels, ColourConversionsOverEveryLumaAndChroma)
{
    Paths(kSimdAvx2 | kSimdAvx512);
    // Every (Y, U) pair with a varying V, then every (Y, V) pair with a varying U,
    // across all targets and both row orders.
    for (bool every_v : {false, true}) {
        OwnedFrame all(512, 256, kYuy2, 1);
        for (int i = 0; i < 256; ++i)
            for (int j = 0; j < 256; ++j) {
                uint8_t *p = &all.bytes[static_cast<size_t>((i * 256 + j) * 4)];
                const auto other = static_cast<uint8_t>((i * 7 + j * 13) & 255);
                p[0] = static_cast<uint8_t>(i);
                p[1] = every_v ? other : static_cast<uint8_t>(j);
                p[2] = static_cast<uint8_t>(255 - i);
                p[3] = every_v ? static_cast<uint8_t>(j) : other;
            }
        for (uint32_t target : {uint32_t{kRgb565}, uint32_t{kBgr565}, uint32_t{kRgb565} | kBottomUp,
                                uint32_t{kRgb332}, uint32_t{kRgb4}, uint32_t{kUyvy}})
            ExpectSameEveryWay(
                all, [&](FrameBuffer &f, std::vector<uint8_t> &) { return ConvertFromYuy2(f, target); },
                "target " + std::to_string(target) + (every_v ? " every V" : " every U"));
    }
    for (auto [w, h] : std::vector<imaging_test::Size>{{2, 1}, {6, 3}, {18, 5}, {34, 7}, {50, 3}, {66, 9}, {642, 4}})
        for (uint32_t target : {uint32_t{kRgb565}, uint32_t{kBgr565} | kBottomUp, uint32_t{kRgb332}, uint32_t{kUyvy}}) {
            OwnedFrame f(w, h, kYuy2, static_cast<uint32_t>(w * h));
            ExpectSameEveryWay(f, [&](FrameBuffer &fb, std::vector<uint8_t> &) { return ConvertFromYuy2(fb, target); },
                               std::to_string(w) + "x" + std::to_string(h));
        }
}

TEST_F(VectorKernels, RotationsAndReversal)
{
    Paths(kSimdAvx2);
    const std::vector<imaging_test::Size> sizes = {{2, 2},   {8, 8},   {10, 6},  {18, 14}, {32, 24},
                                                   {50, 34}, {66, 34}, {82, 18}, {130, 18}};
    for (uint32_t id : {uint32_t{kLuma8}, uint32_t{kPixel32}, uint32_t{kPlanarYvu420}, uint32_t{kRgb4}})
        for (auto [w, h] : sizes) {
            OwnedFrame f(w, h, id, static_cast<uint32_t>(id + w));
            const std::string what = std::to_string(id) + " " + std::to_string(w) + "x" + std::to_string(h);
            for (bool cw : {true, false}) {
                if (id == kRgb4)
                    continue;
                ExpectSameEveryWay(
                    f,
                    [&](FrameBuffer &fb, std::vector<uint8_t> &out) {
                        FrameBuffer dst{out.data(), out.size(), 0, 0, 0};
                        return Rotate90(fb, dst, cw);
                    },
                    what);
            }
            ExpectSameEveryWay(f, [&](FrameBuffer &fb, std::vector<uint8_t> &) { return Rotate180(fb); }, what);
        }
}

TEST_F(VectorKernels, DecoderPixelPairs)
{
    Paths(kSimdSsse3);
    const std::vector<imaging_test::Size> sizes = {{2, 2}, {10, 4}, {34, 20}, {130, 10}};
    for (auto [w, h] : sizes) {
        OwnedFrame pic(w, h, kYuy2, static_cast<uint32_t>(w));
        for (uint32_t id : {uint32_t{kCompressedYuv}, uint32_t{kCompressedUyvy}}) {
            FrameEncoder enc;
            const auto frame = enc.EncodeSelfContained(pic.bytes.data(), uint32_t(w), uint32_t(h), id, {});
            (void)TakeSimdPathsChosen();  // the encoder's choices are not compared here
            std::vector<uint8_t> out[2];
            for (int plain = 0; plain < 2; ++plain) {
                SetSimdEnabled(plain == 0);
                FrameDecoder dec;
                out[plain].resize(pic.bytes.size());
                EXPECT_EQ(dec.Decode(frame.data(), frame.size(), out[plain].data(), out[plain].size()), frame.size());
                SetSimdEnabled(true);
                NoteRun(plain ? 0 : 2, "decoder");
            }
            EXPECT_EQ(out[0], pic.bytes);
            EXPECT_EQ(out[1], pic.bytes);
        }
    }
}

TEST_F(VectorKernels, WeightedAverageEnlargementsAndHalving)
{
    Paths(kSimdSsse3 | kSimdAvx2);
    // Enlargements whose source pixels repeat, straddle, or end at the row's last
    // bytes; halvings around the vector blocks of eight and sixteen pixels.
    const ResizeJobs jobs = {{{2, 2}, {3, 3}},    {{4, 3}, {6, 5}},    {{7, 5}, {11, 9}},    {{10, 4}, {15, 6}},
                             {{33, 9}, {50, 14}}, {{64, 8}, {97, 13}}, {{100, 6}, {301, 7}}, {{17, 3}, {200, 4}},
                             {{16, 2}, {8, 1}},   {{18, 4}, {9, 2}},   {{34, 6}, {17, 3}},   {{50, 2}, {25, 1}},
                             {{66, 4}, {33, 2}},  {{80, 4}, {40, 2}},  {{98, 2}, {49, 1}},   {{130, 2}, {65, 1}}};
    for (uint32_t id : {uint32_t{kBgr24}, uint32_t{kRgb24}})
        ExpectResizesSameEveryWay(id, jobs, WeightedAverage);
}

TEST_F(VectorKernels, PixelResizeRows)
{
    Paths(kSimdSsse3);
    // Shrinking and enlarging around the shuffle groups (five 24-bit pixels, eight
    // 16-bit, sixteen 8-bit): rows that end inside a group, ratios whose groups
    // reach the 32-byte limit or pass it, and rows whose last source pixel is
    // picked.
    const ResizeJobs jobs = {{{10, 2}, {5, 1}},    {{11, 3}, {5, 2}},  {{12, 2}, {6, 2}},   {{22, 2}, {10, 1}},
                             {{45, 3}, {20, 2}},   {{64, 4}, {27, 3}}, {{100, 2}, {11, 1}}, {{640, 4}, {320, 2}},
                             {{641, 3}, {213, 2}}, {{7, 2}, {16, 3}},  {{20, 2}, {30, 2}},  {{33, 1}, {101, 2}}};
    ExpectResizesSameEveryWay(kBgr24, jobs, PixelResize);
    const ResizeJobs even = {{{10, 2}, {4, 1}},    {{12, 2}, {6, 2}},   {{22, 2}, {10, 1}}, {{46, 3}, {20, 2}},
                             {{64, 4}, {26, 3}},   {{100, 2}, {12, 1}}, {{640, 4}, {320, 2}}, {{642, 3}, {214, 2}},
                             {{8, 2}, {16, 3}},    {{20, 2}, {30, 2}},  {{34, 1}, {102, 2}}, {{96, 2}, {144, 2}}};
    for (uint32_t id : {uint32_t{kLuma8}, uint32_t{kRgb332}, uint32_t{kRgb565}, uint32_t{kYuy2}, uint32_t{kUyvy}})
        ExpectResizesSameEveryWay(id, even, PixelResize);
}

TEST_F(VectorKernels, CropOfLongRows)
{
    Paths(kSimdAvx2);
    // Rows of 256 bytes and more go through the prefetching copy: row lengths
    // that are and are not multiples of 32 and 64, with the last row at the
    // frame's end.
    const std::vector<Rect> rects = {{0, 0, 86, 6}, {3, 1, 100, 4}, {8, 2, 192, 4}, {1, 0, 199, 6}, {13, 5, 150, 1}};
    for (uint32_t id : {uint32_t{kBgr24}, uint32_t{kPixel32}})
        for (Rect r : rects) {
            OwnedFrame f(200, 6, id, static_cast<uint32_t>(r.x * 7 + r.width));
            ExpectSameEveryWay(
                f,
                [&](FrameBuffer &fb, std::vector<uint8_t> &out) {
                    FrameBuffer dst{out.data(), out.size() - 64, 0, 0, 0};
                    return Crop(fb, dst, r);
                },
                std::to_string(id) + " " + std::to_string(r.x) + "," + std::to_string(r.y) + " " +
                    std::to_string(r.width) + "x" + std::to_string(r.height));
        }
}

TEST_F(VectorKernels, FlipOfRowsAroundTheVectorBlock)
{
    Paths(kSimdAvx2);
    // Rows shorter than, equal to and past a 64-byte block, odd and even heights.
    for (auto [w, h] : std::vector<imaging_test::Size>{{4, 3}, {20, 2}, {28, 5}, {64, 4}, {100, 7}, {644, 6}}) {
        OwnedFrame f(w, h, kBgr24, static_cast<uint32_t>(w * h));
        ExpectSameEveryWay(
            f, [](FrameBuffer &fb, std::vector<uint8_t> &) { return FlipFrame(fb); },
            std::to_string(w) + "x" + std::to_string(h));
    }
}
