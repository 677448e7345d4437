#pragma once

#include <cstdint>
#include <vector>

#include "support/Seams.h"

namespace brix32 {

// Plays one tone on the default sound device and returns when it has ended. Where no sound device
// can be opened (a server, CI) it returns at once; it never throws.
void PlayTone(unsigned FrequencyHz, unsigned DurationMs);

struct tTone {
    unsigned FrequencyHz = 0;
    unsigned DurationMs = 0;
    bool operator==(const tTone&) const = default;
};

// The four report tones: 200, 400, 800 and 1600 Hz, 50 ms each, one after the other.
void PlayReportTones();
void PlayReportTones(ToneOutput& Tones);
const std::vector<tTone>& ReportTones();

// The samples PlayTone sends, kept apart from the device so they can be checked.
std::vector<std::int16_t> SynthesizeTone(unsigned FrequencyHz, unsigned DurationMs, unsigned SampleRate);

constexpr unsigned kToneSampleRate = 48000;

}  // namespace brix32
