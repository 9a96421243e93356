#pragma once

#include <QtGlobal>
#include <vector>

// Block round-trip times in microseconds: exact count, minimum and maximum, and percentiles
// from a log-linear histogram. Values below 256 µs are kept exactly, larger ones in buckets
// 1/128 of their power of two wide, so a percentile is within 0.4 % of the exact one. Memory
// stays the same however long a run lasts, and adding a time allocates nothing.
namespace parvolo {

class RoundTripStats {
public:
    RoundTripStats();

    void add(quint64 microseconds);

    quint64 count() const { return m_count; }
    quint64 min() const { return m_min; }
    quint64 max() const { return m_max; }
    // The nearest-rank percentile (the smallest time that `percent` % of the blocks did not
    // exceed), 0 when nothing was added. The median is percentile(50).
    quint64 percentile(double percent) const;

private:
    static constexpr int kSubBits = 7;
    static constexpr quint64 kExact = quint64(2) << kSubBits;  // 256
    static int bucketOf(quint64 value);
    static quint64 middleOf(int bucket);

    std::vector<quint64> m_buckets;
    quint64 m_count = 0;
    quint64 m_min = 0;
    quint64 m_max = 0;
};

}  // namespace parvolo
