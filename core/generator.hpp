// forestfit's generator: xoshiro256** (Blackman and Vigna), its state filled
// by splitmix64, with unbiased bounded draws by rejection, so that a seed
// gives the same forest on every platform and build. Each tree draws from a
// stream of its own, fixed by the seed and the tree's number alone, so the
// forest is the same whichever thread, process or machine grows each tree.
// Part of the learner core: no host calls.
#pragma once

#include <cstdint>

namespace core::fit {

class Generator {
public:
    explicit Generator(std::uint64_t seed)
    {
        for (std::uint64_t &word : state_)
            word = splitmix64(seed);
    }

    // Tree t's stream (t counted from 1 over the whole forest): splitmix64
    // turns the seed into a key, the key xor t times an odd constant (one
    // value per t) seeds the stream as a seed seeds a generator.
    static Generator for_tree(std::uint64_t seed, std::uint64_t tree)
    {
        const std::uint64_t key = splitmix64(seed);
        return Generator(key ^ (tree * 0xd1b54a32d192ed03ULL));
    }

    std::uint64_t next()
    {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // Uniform on 0..n-1 (n >= 1): draws below 2^64 mod n are rejected, so
    // the accepted range is a whole number of copies of 0..n-1. A caller
    // drawing often from one n passes rejected(n), worked out once (a
    // 64-bit division costs about as much as the rest of a draw).
    static std::uint64_t rejected(std::uint64_t n) { return (0 - n) % n; }
    std::uint64_t below(std::uint64_t n, std::uint64_t rejected)
    {
        for (;;) {
            const std::uint64_t r = next();
            if (r >= rejected)
                return r % n;
        }
    }

private:
    static std::uint64_t splitmix64(std::uint64_t &x)
    {
        std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t state_[4];
};

} // namespace core::fit
