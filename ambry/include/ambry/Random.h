// 48-bit linear congruential random numbers (the rand48 family: multiplier
// 0x5DEECE66D, increment 0xB, modulus 2^48).
#pragma once

#include <cstdint>
#include <mutex>

namespace Ambry {

class CRandom {
public:
    static constexpr uint64_t kMultiplier = 0x5DEECE66DULL;
    static constexpr uint64_t kIncrement = 0xB;
    static constexpr uint64_t kMask = (1ULL << 48) - 1;

    // Seeded from ClockUniqueNow().
    CRandom();
    explicit CRandom(int64_t seed) { Seed(seed); }

    // state = (seed XOR multiplier) masked to 48 bits.
    void Seed(int64_t seed);
    // Advances the state; returns its top bits (1..32) as an unsigned value.
    uint32_t Next(int bits);
    uint32_t Next32() { return Next(32); }
    uint64_t State() const { return m_state; }

private:
    uint64_t m_state = 0;
};

// The next 32-bit value of the process-wide generator, under its own mutex. Usable
// from any thread, also before CoreStart.
uint32_t RandomNext32();

}  // namespace Ambry
