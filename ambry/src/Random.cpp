#include "ambry/Random.h"

#include "ambry/Clock.h"

namespace Ambry {

CRandom::CRandom() { Seed(ClockUniqueNow()); }

void CRandom::Seed(int64_t seed) { m_state = (static_cast<uint64_t>(seed) ^ kMultiplier) & kMask; }

uint32_t CRandom::Next(int bits)
{
    if (bits < 1)
        bits = 1;
    if (bits > 32)
        bits = 32;
    m_state = (m_state * kMultiplier + kIncrement) & kMask;
    return static_cast<uint32_t>(m_state >> (48 - bits));
}

namespace {

struct DefaultGenerator {
    std::mutex mutex;
    CRandom random;
};

DefaultGenerator &Default()
{
    // Made on first use, so it works before CoreStart and from static constructors.
    static DefaultGenerator generator;
    return generator;
}

}  // namespace

uint32_t RandomNext32()
{
    DefaultGenerator &g = Default();
    std::lock_guard<std::mutex> lock(g.mutex);
    return g.random.Next32();
}

// Used by the "RANDOM" module start to reseed the default generator.
void RandomModuleStart()
{
    DefaultGenerator &g = Default();
    std::lock_guard<std::mutex> lock(g.mutex);
    g.random.Seed(ClockUniqueNow());
}

}  // namespace Ambry
