#pragma once

#include <cstdint>

// Cuts a stream into pieces of varied sizes, from one seed byte of the input: the pieces
// are how the bytes arrive (announcements, reads), which the rest of the input does not
// have to spell out. Sizes are mostly small, sometimes up to `largest`.
class TFuzzPieces {
public:
    TFuzzPieces(std::uint8_t seed, std::int64_t largest)
        : m_state(0x9E3779B97F4A7C15ull ^ (seed * 0xBF58476D1CE4E5B9ull)), m_largest(largest) {}

    // The size of the next piece, at least `least`.
    std::int64_t NextSize(std::int64_t least = 1) {
        const std::uint64_t r = Next();
        const std::int64_t limits[] = {4, 16, 512, m_largest};
        const std::int64_t limit = limits[r % 4];
        return least + static_cast<std::int64_t>((r >> 8) % static_cast<std::uint64_t>(limit));
    }

    // A small count, 0 to below `bound`.
    int Below(int bound) { return static_cast<int>(Next() % static_cast<std::uint64_t>(bound)); }

private:
    std::uint64_t Next() {
        // xorshift64*: small and good enough to vary the cuts.
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return m_state * 0x2545F4914F6CDD1Dull;
    }

    std::uint64_t m_state;
    std::int64_t m_largest;
};
