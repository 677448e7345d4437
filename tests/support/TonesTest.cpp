#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "Doubles.h"
#include "support/Tones.h"

namespace {

using brix32::SynthesizeTone;
using brix32::tTone;

// Sign changes from negative to non-negative: one per period of a sine that starts at zero.
int RisingCrossings(const std::vector<std::int16_t>& samples) {
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) crossings += samples[i - 1] < 0 && samples[i] >= 0;
    return crossings;
}

TEST(TonesTest, ReportPlaysFourRisingTonesOfFiftyMilliseconds) {
    doubles::RecordingTones tones;
    brix32::PlayReportTones(tones);
    const std::vector<tTone> expected = {{200, 50}, {400, 50}, {800, 50}, {1600, 50}};
    EXPECT_EQ(tones.Tones, expected);
}

TEST(TonesTest, SamplesHaveTheToneFrequencyAndLength) {
    for (const tTone& tone : brix32::ReportTones()) {
        const std::vector<std::int16_t> samples =
            SynthesizeTone(tone.FrequencyHz, tone.DurationMs, brix32::kToneSampleRate);
        ASSERT_EQ(samples.size(), 2400u) << tone.FrequencyHz;
        // 50 ms hold f / 20 whole periods; the last one ends exactly on the final sample boundary.
        EXPECT_NEAR(RisingCrossings(samples), static_cast<int>(tone.FrequencyHz / 20), 1) << tone.FrequencyHz;
        EXPECT_EQ(samples.front(), 0);
        const auto [lo, hi] = std::minmax_element(samples.begin(), samples.end());
        EXPECT_GT(*hi, 8000) << "audible";
        EXPECT_LT(*lo, -8000);
        EXPECT_LE(std::abs(*hi + *lo), 1) << "no offset";
    }
}

TEST(TonesTest, SampleCountIsRateTimesDuration) {
    EXPECT_EQ(SynthesizeTone(440, 50, 44100).size(), 2205u);
    EXPECT_EQ(SynthesizeTone(440, 7, 44100).size(), 308u);
    EXPECT_EQ(SynthesizeTone(440, 0, 48000).size(), 0u);
    EXPECT_EQ(SynthesizeTone(440, 1000, 0).size(), 0u);
    EXPECT_EQ(RisingCrossings(SynthesizeTone(1000, 1000, 8000)), 1000 - 1);
}

TEST(TonesTest, PlayingReturnsQuietlyWithOrWithoutADevice) {
    ::testing::internal::CaptureStderr();
    brix32::PlayTone(1000, 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
