#include "round_trip_stats.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace parvolo {

namespace {
constexpr int kSub = 1 << 7;
// Exact values, then one row of kSub buckets for each shift from 1 to 56.
constexpr int kBucketCount = 2 * kSub + 56 * kSub;
}  // namespace

RoundTripStats::RoundTripStats() : m_buckets(kBucketCount, 0) {}

int RoundTripStats::bucketOf(quint64 value) {
    if (value < kExact) return int(value);
    const int shift = std::bit_width(value) - (kSubBits + 1);
    const int top = int(value >> shift);  // kSub .. 2 * kSub - 1
    return int(kExact) + (shift - 1) * kSub + (top - kSub);
}

quint64 RoundTripStats::middleOf(int bucket) {
    if (bucket < int(kExact)) return quint64(bucket);
    const int shift = (bucket - int(kExact)) / kSub + 1;
    const quint64 top = quint64((bucket - int(kExact)) % kSub + kSub);
    const quint64 low = top << shift;
    return low + ((quint64(1) << shift) - 1) / 2;
}

void RoundTripStats::add(quint64 microseconds) {
    ++m_buckets[size_t(bucketOf(microseconds))];
    m_min = m_count == 0 ? microseconds : std::min(m_min, microseconds);
    m_max = std::max(m_max, microseconds);
    ++m_count;
}

quint64 RoundTripStats::percentile(double percent) const {
    if (m_count == 0) return 0;
    const quint64 rank =
        std::clamp<quint64>(quint64(std::ceil(percent * double(m_count) / 100.0)), 1, m_count);
    quint64 seen = 0;
    for (size_t bucket = 0; bucket < m_buckets.size(); ++bucket) {
        seen += m_buckets[bucket];
        if (seen >= rank) return std::clamp(middleOf(int(bucket)), m_min, m_max);
    }
    return m_max;
}

}  // namespace parvolo
