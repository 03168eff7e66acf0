// SPDX-License-Identifier: MIT
// The campaign's source of randomness: one generator per seed, whose draws
// are made here rather than by the standard distributions (whose results
// differ between library versions), so a seed names the same run on every
// machine and every build.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace campaign {

// A value and how often it is chosen (Random::choose).
template <class T>
struct Weighted {
    unsigned weight;
    T value;
};

class Random {
public:
    explicit Random(uint64_t seed) : engine_(seed) {}

    uint64_t next() { return engine_(); }
    // 0 .. n-1 (n > 0).
    uint64_t below(uint64_t n) { return next() % n; }
    // lo .. hi, both included.
    int between(int lo, int hi) { return lo + static_cast<int>(below(static_cast<uint64_t>(hi - lo) + 1)); }
    // True with probability `percent` in 100.
    bool percent(unsigned percent) { return below(100) < percent; }
    uint8_t byte() { return static_cast<uint8_t>(next()); }
    // `n` random bytes, eight from each draw (images are large).
    std::string bytes(size_t n)
    {
        std::string out(n, '\0');
        for (size_t i = 0; i < n; i += 8) {
            uint64_t draw = next();
            for (size_t k = i; k < n && k < i + 8; ++k, draw >>= 8)
                out[k] = static_cast<char>(draw);
        }
        return out;
    }

    template <class T>
    const T& pick(const std::vector<T>& items)
    {
        return items[below(items.size())];
    }
    template <class T>
    T pick(std::initializer_list<T> items)
    {
        return items.begin()[below(items.size())];
    }

    // One of `choices`, each as likely as its weight, in one draw. The
    // values are worked out before the draw, left to right, draws included.
    template <class T>
    T choose(std::initializer_list<Weighted<T>> choices)
    {
        unsigned total = 0;
        for (const Weighted<T>& c : choices)
            total += c.weight;
        uint64_t draw = below(total);
        for (const Weighted<T>& c : choices) {
            if (draw < c.weight)
                return c.value;
            draw -= c.weight;
        }
        return std::prev(choices.end())->value;
    }

private:
    std::mt19937_64 engine_;  // its output sequence is fixed by the language standard
};

}  // namespace campaign
