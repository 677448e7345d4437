#include "support/Seams.h"

#include "support/ExceptionReport.h"
#include "support/Tones.h"

namespace brix32 {
namespace {

class XmlFileReporter : public ExceptionReporter {
public:
    std::string Report(const tExceptionRec& ExceptionRec) override { return SaveExceptionRecAsXML(ExceptionRec); }
};

class LocalClock : public Clock {
public:
    TDateTime Now() override { return brix32::Now(); }
};

class SoundDevice : public ToneOutput {
public:
    void PlayTone(unsigned FrequencyHz, unsigned DurationMs) override { brix32::PlayTone(FrequencyHz, DurationMs); }
};

}  // namespace

ExceptionReporter& DefaultExceptionReporter() {
    static XmlFileReporter Reporter;
    return Reporter;
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
