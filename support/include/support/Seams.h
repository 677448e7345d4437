#pragma once

#include <string>

#include "support/DateTime.h"

// The side effects the decoders and the handler need, as small interfaces. Production code takes
// the defaults below; tests pass their own (tests/testsupport).
namespace brix32 {

struct tExceptionRec;

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

// Where a traced operation's failure goes.
class ExceptionReporter {
  public:
    virtual ~ExceptionReporter() = default;
    // Returns the report's file name, empty when none was written. Never throws.
    virtual std::string Report(const tExceptionRec& ExceptionRec) = 0;
};

// Writes the XML report into a directory (the program's directory when none is given), takes its
// times from a clock and plays the four tones through a tone output when the record asks for them.
class XmlFileReporter : public ExceptionReporter {
  public:
    explicit XmlFileReporter(std::string sDirectory = "", Clock& TheClock = SystemClock(),
                             ToneOutput& Tones = DefaultToneOutput());
    std::string Report(const tExceptionRec& ExceptionRec) override;

  private:
    std::string sDirectory_;
    Clock& Clock_;
    ToneOutput& Tones_;
};

// The reporter of the operations that are not handed one: an XmlFileReporter for the program's
// directory unless the program installs another. Installing nullptr restores that one. The program
// installs before the listener thread starts, and the reporter must outlive its use.
ExceptionReporter& DefaultExceptionReporter();
void InstallDefaultExceptionReporter(ExceptionReporter* Reporter);

}  // namespace brix32
