#include "order_statistics.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "stop.hpp"

namespace valmora {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// An unsigned key in ascending order: a < b gives key(a) < key(b),
// -0.0 sits just below +0.0, and every NaN above +infinity. Selecting on keys puts a value
// at each position that ascending order by < (NaNs last) would put there, up to the sign of a
// zero, and 0.0 and -0.0 compare alike against every value.
constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
constexpr std::uint64_t kNaNKey = ~std::uint64_t{0};

std::uint64_t order_key(double v) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    // All ones for a negative value (flipping every bit), the sign bit alone for a positive one.
    const std::uint64_t flip = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63) | kSign;
    return std::isnan(v) ? kNaNKey : bits ^ flip;
}

double from_order_key(std::uint64_t key) {
    if (key == kNaNKey) return kNaN;
    return std::bit_cast<double>((key & kSign) != 0 ? key & ~kSign : ~key);
}

// Puts at each wanted position (ascending, distinct, within [lo, hi)) the key a full sort
// would put there, at a cost of n log(positions) instead of n log n. A long range is split in
// three around a pivot, a run of keys at a time with a poll between; a short one (or one whose
// pivots kept failing) is left to the library's selection.
void place_order_statistics(std::uint64_t* base, std::size_t lo, std::size_t hi, const std::size_t* wanted,
                            std::size_t count, unsigned depth) {
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
        return base[lo + static_cast<std::size_t>(state % (hi - lo))];
    };
    const std::uint64_t a = somewhere(), b = somewhere(), c = somewhere();
    const std::uint64_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
    // [lo, less) < pivot, [less, next) == pivot, [greater, hi) > pivot; each step places one key.
    std::size_t less = lo, next = lo, greater = hi;
    in_runs(
        hi - lo,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                const std::uint64_t v = base[next];
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

}  // namespace

// Long series are first split by the
// leading bits of the key: one pass counts the values per bucket, a second gathers only the
// buckets holding a wanted position, and the order statistics are placed among those few. Only
// the two sequential passes touch the whole series, and only the gathered keys are stored.
std::vector<double> order_statistics(std::span<const double> values, const std::vector<std::size_t>& wanted) {
    constexpr unsigned kBucketBits = 16;
    constexpr std::size_t kBuckets = std::size_t{1} << kBucketBits;
    // Below this length, zeroing and scanning the buckets costs more than selecting among all.
    constexpr std::size_t kShortSeries = 8192;
    const std::size_t m = values.size();
    std::vector<std::size_t> at(wanted);
    std::vector<std::uint64_t> scratch;
    if (m < kShortSeries) {
        scratch.resize(m);
        for (std::size_t i = 0; i < m; ++i) scratch[i] = order_key(values[i]);
    } else {
        std::vector<std::size_t> slot(kBuckets, 0);
        each_in_runs(m, [&](std::size_t i) { ++slot[order_key(values[i]) >> (64 - kBucketBits)]; });
        // Buckets in key order: each wanted position falls in one; it becomes a position among the
        // gathered values, and its bucket's slot the next place to gather into. Other buckets
        // are marked as not gathered.
        constexpr std::size_t kSkip = ~std::size_t{0};
        std::size_t before = 0;  // values in all earlier buckets
        std::size_t w = 0;
        std::size_t gathered = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::size_t size = slot[b];
            const bool kept = w < at.size() && at[w] < before + size;
            for (; w < at.size() && at[w] < before + size; ++w) at[w] = at[w] - before + gathered;
            slot[b] = kept ? gathered : kSkip;
            gathered += kept ? size : 0;
            before += size;
        }
        scratch.resize(gathered);
        each_in_runs(m, [&](std::size_t i) {
            const std::uint64_t key = order_key(values[i]);
            std::size_t& next = slot[key >> (64 - kBucketBits)];
            if (next != kSkip) scratch[next++] = key;
        });
        poll_stop();
    }
    // Twice the depth of even splits, before the library's selection takes over.
    const auto depth = static_cast<unsigned>(2 * std::bit_width(scratch.size()));
    place_order_statistics(scratch.data(), 0, scratch.size(), at.data(), at.size(), depth);
    std::vector<double> found;
    found.reserve(at.size());
    each_in_runs(at.size(), [&](std::size_t r) { found.push_back(from_order_key(scratch[at[r]])); });
    return found;
}

}  // namespace valmora
