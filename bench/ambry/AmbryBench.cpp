// Ambry side by side with the standard library: the byte ring against a plain memcpy
// queue, the hash map against std::unordered_map, string formatting against
// snprintf into a fixed buffer, and MD5 one-shot per login-sized block.
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "ambry/ByteBuffer.h"
#include "ambry/HashMap.h"
#include "ambry/Random.h"
#include "ambry/StrBuf.h"
#include "compare.h"

namespace {

constexpr size_t kChunk = 1500;      // one network read
constexpr size_t kRing = 64 * 1024;  // what the ring holds at most

// --- byte ring: append chunks, read them out in other sizes ----------------------

// Both sides keep about 16 KB queued and move 1500-byte chunks in, 1000-byte pieces out.
constexpr size_t kBacklog = 16 * 1024;
constexpr size_t kPiece = 1000;

void RingOurs(benchmark::State &state)
{
    std::vector<uint8_t> in(kChunk), out(kPiece);
    for (size_t i = 0; i < kChunk; ++i)
        in[i] = static_cast<uint8_t>(i);
    Ambry::CByteBuffer ring;
    ring.SetLimit(kRing);
    // Check before timing: bytes come out in order across the wrap.
    size_t position = 0;
    for (int i = 0; i < 200; ++i) {
        ring.Append(in.data(), kChunk);
        while (ring.Length() >= kPiece) {
            ring.Read(out.data(), kPiece);
            for (uint8_t b : out) {
                if (b != static_cast<uint8_t>(position++ % kChunk)) {
                    state.SkipWithError("ring returned wrong bytes");
                    return;
                }
            }
        }
    }
    ring.Clear();
    std::vector<uint8_t> fill(kBacklog, 1);
    ring.Append(fill.data(), fill.size());
    size_t moved = 0;
    for (auto _ : state) {
        ring.Append(in.data(), kChunk);
        while (ring.Length() >= kBacklog + kPiece) {
            ring.Read(out.data(), kPiece);
            moved += kPiece;
        }
        benchmark::DoNotOptimize(out.data());
    }
    bench::ReportRate(state, static_cast<double>(moved) / 1e6, "MB/s");
}

// The plain way: a vector appended at the back and erased at the front.
void RingRef(benchmark::State &state)
{
    std::vector<uint8_t> in(kChunk, 7), out(kPiece);
    std::vector<uint8_t> queue(kBacklog, 1);
    queue.reserve(kRing);
    size_t moved = 0;
    for (auto _ : state) {
        queue.insert(queue.end(), in.begin(), in.end());
        while (queue.size() >= kBacklog + kPiece) {
            std::memcpy(out.data(), queue.data(), kPiece);
            queue.erase(queue.begin(), queue.begin() + static_cast<long>(kPiece));
            moved += kPiece;
        }
        benchmark::DoNotOptimize(out.data());
    }
    bench::ReportRate(state, static_cast<double>(moved) / 1e6, "MB/s");
}

// --- hash map: the mix a handle table sees (puts, gets, removes) -------------------

constexpr int kKeys = 4096;

void MapOurs(benchmark::State &state)
{
    Ambry::CRandom random(1);
    std::vector<intptr_t> keys(kKeys);
    for (auto &k : keys)
        k = static_cast<intptr_t>(random.Next32()) * 8 + 8;
    {
        Ambry::CHashMap check(0);
        for (intptr_t k : keys)
            (void)check.Put(reinterpret_cast<void *>(k), reinterpret_cast<void *>(k + 1));
        for (intptr_t k : keys) {
            if (check.Get(reinterpret_cast<void *>(k)) != reinterpret_cast<void *>(k + 1)) {
                state.SkipWithError("map lost a key");
                return;
            }
        }
    }
    size_t operations = 0;
    for (auto _ : state) {
        Ambry::CHashMap map(0);
        for (intptr_t k : keys)
            (void)map.Put(reinterpret_cast<void *>(k), reinterpret_cast<void *>(k));
        intptr_t sum = 0;
        for (int round = 0; round < 4; ++round)
            for (intptr_t k : keys)
                sum += reinterpret_cast<intptr_t>(map.Get(reinterpret_cast<void *>(k)));
        for (intptr_t k : keys)
            map.Remove(reinterpret_cast<void *>(k));
        benchmark::DoNotOptimize(sum);
        operations += 6 * kKeys;
    }
    bench::ReportRate(state, static_cast<double>(operations), "ops/s");
}

void MapRef(benchmark::State &state)
{
    Ambry::CRandom random(1);
    std::vector<intptr_t> keys(kKeys);
    for (auto &k : keys)
        k = static_cast<intptr_t>(random.Next32()) * 8 + 8;
    size_t operations = 0;
    for (auto _ : state) {
        std::unordered_map<intptr_t, intptr_t> map;
        for (intptr_t k : keys)
            map[k] = k;
        intptr_t sum = 0;
        for (int round = 0; round < 4; ++round)
            for (intptr_t k : keys) {
                auto it = map.find(k);
                sum += it == map.end() ? 0 : it->second;
            }
        for (intptr_t k : keys)
            map.erase(k);
        benchmark::DoNotOptimize(sum);
        operations += 6 * kKeys;
    }
    bench::ReportRate(state, static_cast<double>(operations), "ops/s");
}

// --- formatting: the video-mode text of every list repaint --------------------------

void FormatOurs(benchmark::State &state)
{
    Ambry::TStrBuf<Ambry::_StrBuf32> text;
    if (!text.Format("%dx%d %.1f Hz", 1920, 1080, 60000 / 1000.0) || !(text == "1920x1080 60.0 Hz")) {
        state.SkipWithError("format gave the wrong text");
        return;
    }
    size_t count = 0;
    int width = 640;
    for (auto _ : state) {
        (void)text.Format("%dx%d %.1f Hz", width, 480, 59940 / 1000.0);
        benchmark::DoNotOptimize(text.c_str());
        width ^= 1;
        ++count;
    }
    bench::ReportRate(state, static_cast<double>(count), "calls/s");
}

void FormatRef(benchmark::State &state)
{
    char text[32];
    size_t count = 0;
    int width = 640;
    for (auto _ : state) {
        std::snprintf(text, sizeof text, "%dx%d %.1f Hz", width, 480, 59940 / 1000.0);
        benchmark::DoNotOptimize(text);
        width ^= 1;
        ++count;
    }
    bench::ReportRate(state, static_cast<double>(count), "calls/s");
}

// Appending many small pieces: growth policy against std::string's.
void AppendOurs(benchmark::State &state)
{
    size_t count = 0;
    for (auto _ : state) {
        Ambry::CStrBuf text;
        for (int i = 0; i < 1000; ++i)
            (void)text.Append("piece,", 6);
        benchmark::DoNotOptimize(text.c_str());
        count += 1000;
    }
    bench::ReportRate(state, static_cast<double>(count), "appends/s");
}

void AppendRef(benchmark::State &state)
{
    size_t count = 0;
    for (auto _ : state) {
        std::string text;
        for (int i = 0; i < 1000; ++i)
            text.append("piece,", 6);
        benchmark::DoNotOptimize(text.c_str());
        count += 1000;
    }
    bench::ReportRate(state, static_cast<double>(count), "appends/s");
}

}  // namespace

BENCHMARK(RingOurs)->Name("ambry_byte_ring/ours");
BENCHMARK(RingRef)->Name("ambry_byte_ring/ref:vector_memcpy");
BENCHMARK(MapOurs)->Name("ambry_hash_map/ours");
BENCHMARK(MapRef)->Name("ambry_hash_map/ref:std_unordered_map");
BENCHMARK(FormatOurs)->Name("ambry_format/ours");
BENCHMARK(FormatRef)->Name("ambry_format/ref:snprintf");
BENCHMARK(AppendOurs)->Name("ambry_append/ours");
BENCHMARK(AppendRef)->Name("ambry_append/ref:std_string");
