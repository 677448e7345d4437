#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// A rate over the last few seconds from readings of a running total, taken a few times a second.
// The reader keeps the history, so the writer of the total pays nothing for it.
class RateMeter {
  public:
    static constexpr std::int64_t kWindowMs = 3000;

    void Add(std::int64_t NowMs, std::uint64_t Total) {
        Samples_[Next_] = {NowMs, Total};
        Next_ = (Next_ + 1) % kSamples;
        if (Filled_ < kSamples) ++Filled_;
    }

    // Per second, between the newest reading and the oldest one still inside the window.
    double PerSecond() const {
        if (Filled_ < 2) return 0.0;
        const Sample& newest = At(0);
        const Sample* oldest = &At(1);
        for (std::size_t i = 2; i < Filled_ && newest.TimeMs - At(i).TimeMs <= kWindowMs; ++i) oldest = &At(i);
        const std::int64_t span = newest.TimeMs - oldest->TimeMs;
        if (span <= 0 || newest.Total < oldest->Total) return 0.0;
        return static_cast<double>(newest.Total - oldest->Total) * 1000.0 / static_cast<double>(span);
    }

  private:
    struct Sample {
        std::int64_t TimeMs = 0;
        std::uint64_t Total = 0;
    };
    static constexpr std::size_t kSamples = 32;

    // Age 0 is the newest reading.
    const Sample& At(std::size_t Age) const { return Samples_[(Next_ + kSamples - 1 - Age) % kSamples]; }

    std::array<Sample, kSamples> Samples_{};
    std::size_t Next_ = 0;
    std::size_t Filled_ = 0;
};
