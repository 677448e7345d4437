#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "RecordingSink.h"
#include "SeamDoubles.h"
#include "flowdecode/DecodeServices.h"
#include "flowdecode/Templates.h"
#include "support/ExceptionReport.h"
#include "support/Seams.h"
#include "support/Tones.h"

// Doubles for the side effects of the decoders and the report. The faults they raise stand for any
// failure at the point where the product meets them.
namespace doubles {

// Keeps the tones asked for and plays nothing; with bThrow it throws at the first one.
class RecordingTones : public brix32::ToneOutput {
  public:
    void PlayTone(unsigned FrequencyHz, unsigned DurationMs) override;
    std::vector<brix32::tTone> Tones;
    bool bThrow = false;
    std::string Message = "tone fault";
};

// Keeps every record it is handed, and writes the real report too when given a directory.
class RecordingReporter : public brix32::ExceptionReporter {
  public:
    RecordingReporter() = default;
    RecordingReporter(const std::string& sDirectory, brix32::Clock& TheClock, brix32::ToneOutput& Tones);
    std::string Report(const brix32::tExceptionRec& ExceptionRec) override;
    std::vector<brix32::tExceptionRec> Records;

  private:
    std::unique_ptr<brix32::XmlFileReporter> Writer_;
};

// A recording sink that throws std::runtime_error(Message) at the Occurrence-th line beginning with
// LinePrefix, or at the first marker equal to MarkerText, or when the trace header is handed over.
class FaultingSink : public RecordingSink {
  public:
    void BeginTrace(const std::string& sHeaderText) override;
    void Line(const std::string& sLine) override;
    void Marker(const std::string& sText) override;

    std::string LinePrefix;
    int Occurrence = 1;
    std::string MarkerText;
    bool bThrowAtHeader = false;
    std::string Message = "injected fault";

  private:
    int Seen_ = 0;
};

// A real store that throws at the chosen call of Find or Store.
class FaultingTemplateStore : public netflowlib::ExporterTemplateStore {
  public:
    const netflowlib::tLearnedTemplate* Find(std::string_view sSender, std::uint32_t SourceID,
                                             std::int32_t TemplateID) override;
    void Store(std::string_view sSender, std::uint32_t SourceID, const netflowlib::tLearnedTemplate& Template) override;
    int ThrowOnFind = 0;
    int ThrowOnStore = 0;

  private:
    int Finds_ = 0;
    int Stores_ = 0;
};

// One set of decoder services out of doubles: a recording (or faulting) sink, a reporter that
// writes into sDirectory and records, a template store of its own, a clock that stands still,
// silent tones.
struct DecoderRig {
    explicit DecoderRig(const std::string& sDirectory, netflowlib::tDecodeBounds Bounds = {});
    netflowlib::tDecodeServices Services();

    FaultingSink Sink;
    FakeClock Clock;
    RecordingTones Tones;
    RecordingReporter Reporter;
    FaultingTemplateStore Templates;
    netflowlib::tDecodeBounds Bounds;
};

}  // namespace doubles

namespace doubles {

// For the operations that use the default reporter (the datagram handler): while it lives, reports
// go into sDirectory with the system clock's times and the tones recorded, not played.
class InstalledReporter {
  public:
    explicit InstalledReporter(const std::string& sDirectory);
    ~InstalledReporter();
    InstalledReporter(const InstalledReporter&) = delete;
    InstalledReporter& operator=(const InstalledReporter&) = delete;

    RecordingTones Tones;
    brix32::XmlFileReporter Reporter;
};

}  // namespace doubles
