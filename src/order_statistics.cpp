#include "order_statistics.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "lanes.hpp"
#include "stop.hpp"

namespace valmora {
namespace {

// An unsigned key in ascending order: a < b gives key(a) < key(b), equal values one key (-0.0
// takes +0.0's), and every NaN sits above +infinity. Selecting on keys puts at each position a
// value equal to the one ascending order by < (NaNs last) would put there.
constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
constexpr std::uint64_t kNaNKey = ~std::uint64_t{0};

std::uint64_t order_key(double v) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    // All ones for a negative value (flipping every bit), the sign bit alone for a positive one.
    const std::uint64_t flip = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63) | kSign;
    if (std::isnan(v)) return kNaNKey;
    return v == 0.0 ? kSign : bits ^ flip;
}

// order_key of `count` values (a multiple of N), N at a time.
template <std::size_t N>
[[gnu::always_inline]] inline void order_keys_in_lanes(const double* values, std::size_t count, std::uint64_t* keys) {
    using Bits = lanes::Bits<N>;
    for (std::size_t i = 0; i < count; i += N) {
        lanes::Vec<N> v;
        lanes::load(v, values + i);
        Bits bits;
        std::memcpy(&bits, &v, sizeof bits);
        const Bits flip = (bits >> 63) | static_cast<long long>(kSign);
        const Bits zero = v == 0.0;
        const Bits nan = v != v;
        const Bits key = (((bits ^ flip) & ~zero) | (zero & static_cast<long long>(kSign))) | nan;
        std::memcpy(keys + i, &key, sizeof key);
    }
}

// The keys of a stretch of at most kKeyRun values.
constexpr std::size_t kKeyRun = 512;

void order_keys(const double* values, std::size_t count, std::uint64_t* keys) {
    const std::size_t whole = count / 8 * 8;
    lanes::run<lanes::Kernel::order_keys>([&]<std::size_t N>() __attribute__((always_inline)) {
        order_keys_in_lanes<N>(values, whole, keys);
    });
    for (std::size_t i = whole; i < count; ++i) keys[i] = order_key(values[i]);
}

// Calls step(i, key) for every value, in order, with a poll every million or so.
template <class Step>
void each_key(std::span<const double> values, Step step) {
    in_runs(values.size(), [&](std::size_t begin, std::size_t end) {
        std::uint64_t keys[kKeyRun];
        for (std::size_t i = begin; i < end; i += kKeyRun) {
            const std::size_t count = std::min(kKeyRun, end - i);
            order_keys(values.data() + i, count, keys);
            for (std::size_t j = 0; j < count; ++j) step(i + j, keys[j]);
        }
    });
}

// A value's key and its index in the series.
struct Keyed {
    std::uint64_t key;
    std::size_t at;
    friend bool operator<(const Keyed& a, const Keyed& b) { return a.key < b.key; }
};

// Puts at each wanted position (ascending, distinct, within [lo, hi)) the key a full sort
// would put there, at a cost of n log(positions) instead of n log n; every key before a wanted
// position is then <= its key, every key after it >=. A long range is split in three around a
// pivot, a run of keys at a time with a poll between; a short one (or one whose pivots kept
// failing) is left to the library's selection.
void place_order_statistics(Keyed* base, std::size_t lo, std::size_t hi, const std::size_t* wanted, std::size_t count,
                            unsigned depth) {
    constexpr std::size_t kShort = std::size_t{1} << 16;
    if (count == 0 || hi - lo < 2) return;
    poll_stop();
    if (hi - lo <= kShort || depth == 0) {
        const std::size_t mid = count / 2;
        const std::size_t p = wanted[mid];
        std::nth_element(base + lo, base + p, base + hi);
        place_order_statistics(base, lo, p, wanted, mid, depth);
        place_order_statistics(base, p + 1, hi, wanted + mid + 1, count - mid - 1, depth);
        return;
    }
    // The median of three keys at scattered places: the keys were gathered bucket by bucket, and
    // the split leaves them in patterns that defeat fixed places.
    std::uint64_t state = ((lo * 0x9e3779b97f4a7c15u) ^ hi) | 1;
    auto somewhere = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return base[lo + static_cast<std::size_t>(state % (hi - lo))].key;
    };
    const std::uint64_t a = somewhere(), b = somewhere(), c = somewhere();
    const std::uint64_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
    // [lo, less) < pivot, [less, next) == pivot, [greater, hi) > pivot; each step places one key.
    std::size_t less = lo, next = lo, greater = hi;
    in_runs(
        hi - lo,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                const std::uint64_t v = base[next].key;
                if (v < pivot) std::swap(base[less++], base[next++]);
                else if (v > pivot) std::swap(base[next], base[--greater]);
                else ++next;
            }
        },
        std::size_t{1} << 18);
    const std::size_t* below = std::lower_bound(wanted, wanted + count, less);
    const std::size_t* above = std::lower_bound(below, wanted + count, greater);
    place_order_statistics(base, lo, less, wanted, static_cast<std::size_t>(below - wanted), depth - 1);
    place_order_statistics(base, greater, hi, above, static_cast<std::size_t>(wanted + count - above), depth - 1);
}

// Places the statistics at positions `at` among the gathered keys, then gives each gathered
// value its count. The key at position j lies between the statistics on either side of j: it
// reaches every statistic placed before j, and of those from j on (never below it) exactly the
// run equal to it.
template <class Symbol>
void reach_gathered(std::vector<Keyed>& gathered, const std::vector<std::size_t>& at, Symbol* reached) {
    // Twice the depth of even splits, before the library's selection takes over.
    const auto depth = static_cast<unsigned>(2 * std::bit_width(gathered.size()));
    place_order_statistics(gathered.data(), 0, gathered.size(), at.data(), at.size(), depth);
    // past_equal[r]: the first statistic after r with a larger key (or the count of them).
    const std::size_t statistics = at.size();
    std::vector<std::size_t> past_equal(statistics);
    for (std::size_t r = statistics; r-- > 0;) {
        const bool tie = r + 1 < statistics && gathered[at[r + 1]].key == gathered[at[r]].key;
        past_equal[r] = tie ? past_equal[r + 1] : r + 1;
    }
    std::size_t before = 0;  // statistics placed before position j
    each_in_runs(gathered.size(), [&](std::size_t j) {
        if (before < statistics && at[before] < j) ++before;
        const Keyed& e = gathered[j];
        const bool tie = before < statistics && gathered[at[before]].key == e.key;
        reached[e.at] = static_cast<Symbol>(e.key == kNaNKey ? 0 : tie ? past_equal[before] : before);
    });
}

}  // namespace

// Long series are first split by the leading bits of the key: one pass counts the values per
// bucket, a second gathers only the buckets holding a wanted position, and the order statistics
// are placed among those few. Only the two sequential passes touch the whole series, and only
// the gathered keys are stored. A value outside the gathered buckets reaches exactly the
// statistics of the buckets before its own, which the gathering pass writes down at once.
template <class Symbol>
void order_statistics_reached(std::span<const double> values, const std::vector<std::size_t>& wanted, Symbol* reached) {
    constexpr unsigned kBucketBits = 16;
    constexpr unsigned kShift = 64 - kBucketBits;
    constexpr std::size_t kBuckets = std::size_t{1} << kBucketBits;
    // Below this length, zeroing and scanning the buckets costs more than selecting among all.
    constexpr std::size_t kShortSeries = 8192;
    const std::size_t m = values.size();
    std::vector<std::size_t> at(wanted);
    std::vector<Keyed> gathered;
    if (m < kShortSeries) {
        gathered.resize(m);
        for (std::size_t i = 0; i < m; ++i) gathered[i] = {order_key(values[i]), i};
        reach_gathered(gathered, at, reached);
        return;
    }
    std::vector<std::size_t> slot(kBuckets, 0);
    each_key(values, [&](std::size_t, std::uint64_t key) { ++slot[key >> kShift]; });
    // Buckets in key order: each wanted position falls in one; it becomes a position among the
    // gathered values, and its bucket's slot the next place to gather into. Other buckets
    // are marked as not gathered. Every bucket's count is the number of wanted positions in the
    // buckets before it (the gathered ones' are rewritten later).
    constexpr std::size_t kSkip = ~std::size_t{0};
    auto count = std::make_unique_for_overwrite<Symbol[]>(kBuckets);
    std::size_t before = 0;  // values in all earlier buckets
    std::size_t w = 0;
    std::size_t kept_values = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
        const std::size_t size = slot[b];
        const bool kept = w < at.size() && at[w] < before + size;
        count[b] = static_cast<Symbol>(w);
        for (; w < at.size() && at[w] < before + size; ++w) at[w] = at[w] - before + kept_values;
        slot[b] = kept ? kept_values : kSkip;
        kept_values += kept ? size : 0;
        before += size;
    }
    count[kBuckets - 1] = 0;  // the NaNs'
    gathered = filled(kept_values, Keyed{});
    // Plain pointers, copied into the step: a byte store may alias anything, and would make the
    // compiler reload every pointer it reaches through memory after each one.
    const Symbol* const counts = count.get();
    std::size_t* const slots = slot.data();
    Keyed* const into = gathered.data();
    each_key(values, [=](std::size_t i, std::uint64_t key) {
        const std::size_t b = key >> kShift;
        reached[i] = counts[b];
        std::size_t& next = slots[b];
        if (next != kSkip) into[next++] = {key, i};
    });
    reach_gathered(gathered, at, reached);
}

template void order_statistics_reached(std::span<const double>, const std::vector<std::size_t>&, std::uint8_t*);
template void order_statistics_reached(std::span<const double>, const std::vector<std::size_t>&, std::uint64_t*);

}  // namespace valmora
