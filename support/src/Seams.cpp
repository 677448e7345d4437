#include "support/Seams.h"

#include <atomic>
#include <utility>

#include "support/ExceptionReport.h"
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

std::atomic<ExceptionReporter*> gInstalledReporter{nullptr};

}  // namespace

XmlFileReporter::XmlFileReporter(std::string sDirectory, Clock& TheClock, ToneOutput& Tones)
    : sDirectory_(std::move(sDirectory)), Clock_(TheClock), Tones_(Tones) {}

std::string XmlFileReporter::Report(const tExceptionRec& ExceptionRec) {
    return SaveExceptionRecAsXML(ExceptionRec, sDirectory_, Clock_, Tones_);
}

Clock& SystemClock() {
    static LocalClock Instance;
    return Instance;
}

ToneOutput& DefaultToneOutput() {
    static SoundDevice Device;
    return Device;
}

namespace {

// Looks the installed reporter up at every report, so that one installed after a caller took the
// default (the window makes its handler before it knows where its files go) is still the one used.
class InstalledOrProgramDirReporter : public ExceptionReporter {
  public:
    std::string Report(const tExceptionRec& ExceptionRec) override {
        if (ExceptionReporter* Installed = gInstalledReporter.load(std::memory_order_acquire)) {
            return Installed->Report(ExceptionRec);
        }
        return ProgramDir_.Report(ExceptionRec);
    }

  private:
    XmlFileReporter ProgramDir_;
};

}  // namespace

ExceptionReporter& DefaultExceptionReporter() {
    static InstalledOrProgramDirReporter Reporter;
    return Reporter;
}

void InstallDefaultExceptionReporter(ExceptionReporter* Reporter) {
    gInstalledReporter.store(Reporter, std::memory_order_release);
}

}  // namespace brix32
