#pragma once

#include <string>

#include "support/DateTime.h"

// The side effects the decoders and the handler need, as small interfaces. Production code takes
// the defaults below; tests pass their own (tests/testsupport).
namespace brix32 {

struct tExceptionRec;

// Where a traced operation's failure goes. The default writes the XML report beside the program and
// plays the four tones when the record asks for them.
class ExceptionReporter {
public:
    virtual ~ExceptionReporter() = default;
    // Returns the report's file name, empty when none was written. Never throws.
    virtual std::string Report(const tExceptionRec& ExceptionRec) = 0;
};
ExceptionReporter& DefaultExceptionReporter();

// Local wall-clock time as the program shows it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual TDateTime Now() = 0;
};
Clock& SystemClock();

// Sound: one tone of a frequency and a duration, played to its end.
class ToneOutput {
public:
    virtual ~ToneOutput() = default;
    virtual void PlayTone(unsigned FrequencyHz, unsigned DurationMs) = 0;
};
ToneOutput& DefaultToneOutput();

}  // namespace brix32
