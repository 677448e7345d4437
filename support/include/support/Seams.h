#pragma once

#include <cstdint>
#include <string>

#include "support/DateTime.h"

// The side effects the decoders and the handler need, as small interfaces. Production code takes
// the defaults below; tests pass their own (tests/testsupport).
namespace brix32 {

struct tExceptionRec;

// Local wall-clock time as the program shows it, and the same instant as an epoch count for the
// times that are stored and compared (a datagram's arrival).
class Clock {
  public:
    virtual ~Clock() = default;
    virtual TDateTime Now() = 0;
    // Microseconds since 1970-01-01 UTC; the system's real-time clock unless a clock says otherwise.
    virtual std::int64_t EpochMicroseconds();
};
Clock& SystemClock();

// Sound: one tone of a frequency and a duration, played to its end.
class ToneOutput {
  public:
    virtual ~ToneOutput() = default;
    virtual void PlayTone(unsigned FrequencyHz, unsigned DurationMs) = 0;
};
ToneOutput& DefaultToneOutput();

// Where a traced operation's failure goes.
class ExceptionReporter {
  public:
    virtual ~ExceptionReporter() = default;
    // Returns the report's file name, empty when none was written. Never throws.
    virtual std::string Report(const tExceptionRec& ExceptionRec) = 0;
};

// The reporter of the operations that are not handed one: an XmlFileReporter (ExceptionReport.h)
// for the program's directory unless the program installs another. Installing nullptr restores
// that one. The program installs before the listener thread starts, and the reporter must outlive
// its use. Defined with the report, which this header knows nothing of.
ExceptionReporter& DefaultExceptionReporter();
void InstallDefaultExceptionReporter(ExceptionReporter* Reporter);

}  // namespace brix32
