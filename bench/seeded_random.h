// The mutation runs' random numbers: xorshift64, the same sequence for the
// same seed on every machine.
#pragma once

#include <cstddef>
#include <cstdint>

class SeededRandom {
  public:
    explicit SeededRandom(uint64_t seed) : m_state(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    uint64_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }
    size_t Below(size_t n) { return n ? static_cast<size_t>(Next() % n) : 0; }

  private:
    uint64_t m_state;
};
