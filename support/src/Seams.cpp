#include "support/Seams.h"

#include <chrono>

#include "support/Tones.h"

namespace brix32 {
namespace {

class LocalClock : public Clock {
  public:
    TDateTime Now() override { return brix32::Now(); }
};

class SoundDevice : public ToneOutput {
  public:
    void PlayTone(unsigned FrequencyHz, unsigned DurationMs) override { brix32::PlayTone(FrequencyHz, DurationMs); }
};

}  // namespace

std::int64_t Clock::EpochMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Clock& SystemClock() {
    static LocalClock Instance;
    return Instance;
}

ToneOutput& DefaultToneOutput() {
    static SoundDevice Device;
    return Device;
}

}  // namespace brix32
