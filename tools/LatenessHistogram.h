#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace loadgen {

using Nanos = std::int64_t;

// Lateness of each send behind its deadline, in microsecond buckets, for the closing summary.
class LatenessHistogram {
  public:
    void Add(Nanos late) {
        const Nanos us = std::max<Nanos>(0, late) / 1000;
        ++Buckets_[static_cast<std::size_t>(std::min<Nanos>(us, kBuckets - 1))];
        Max_ = std::max(Max_, late);
        Sum_ += static_cast<double>(std::max<Nanos>(0, late));
        ++N_;
    }
    double MeanMicros() const { return N_ ? Sum_ / static_cast<double>(N_) / 1000.0 : 0; }
    double MaxMicros() const { return static_cast<double>(Max_) / 1000.0; }
    // Upper bound of the bucket holding the given share; the last bucket means "at least".
    long PercentileMicros(double share) const {
        const auto target = static_cast<std::uint64_t>(share * static_cast<double>(N_));
        std::uint64_t seen = 0;
        for (long us = 0; us < kBuckets; ++us) {
            seen += Buckets_[static_cast<std::size_t>(us)];
            if (seen > target) return us + 1;
        }
        return kBuckets;
    }

  private:
    static constexpr long kBuckets = 100000;
    std::vector<std::uint64_t> Buckets_ = std::vector<std::uint64_t>(kBuckets);
    Nanos Max_ = 0;
    double Sum_ = 0;
    std::uint64_t N_ = 0;
};

}  // namespace loadgen
