#include "Doubles.h"

#include "support/DateTime.h"

namespace doubles {

void RecordingTones::PlayTone(unsigned FrequencyHz, unsigned DurationMs) {
    if (bThrow) throw std::runtime_error(Message);
    Tones.push_back({FrequencyHz, DurationMs});
}

RecordingReporter::RecordingReporter(const std::string& sDirectory, brix32::Clock& TheClock, brix32::ToneOutput& Tones)
    : Writer_(std::make_unique<brix32::XmlFileReporter>(sDirectory, TheClock, Tones)) {}

std::string RecordingReporter::Report(const brix32::tExceptionRec& ExceptionRec) {
    Records.push_back(ExceptionRec);
    return Writer_ ? Writer_->Report(ExceptionRec) : std::string();
}

void FaultingSink::BeginTrace(const std::string& sHeaderText) {
    if (bThrowAtHeader) throw std::runtime_error(Message);
    RecordingSink::BeginTrace(sHeaderText);
}

void FaultingSink::Line(const std::string& sLine) {
    if (!LinePrefix.empty() && sLine.rfind(LinePrefix, 0) == 0 && ++Seen_ == Occurrence) {
        throw std::runtime_error(Message);
    }
    RecordingSink::Line(sLine);
}

void FaultingSink::Marker(const std::string& sText) {
    if (!MarkerText.empty() && sText == MarkerText) throw std::runtime_error(Message);
    RecordingSink::Marker(sText);
}

const netflowlib::tLearnedTemplate* FaultingTemplateStore::Find(std::string_view sSender, std::uint32_t SourceID,
                                                                std::int32_t TemplateID) {
    if (++Finds_ == ThrowOnFind) throw std::runtime_error("template store fault");
    return ExporterTemplateStore::Find(sSender, SourceID, TemplateID);
}

void FaultingTemplateStore::Store(std::string_view sSender, std::uint32_t SourceID,
                                  const netflowlib::tLearnedTemplate& Template) {
    if (++Stores_ == ThrowOnStore) throw std::runtime_error("template store fault");
    ExporterTemplateStore::Store(sSender, SourceID, Template);
}

DecoderRig::DecoderRig(const std::string& sDirectory, netflowlib::tDecodeBounds TheBounds)
    : Clock(brix32::EncodeDateTime({2026, 1, 6, 14, 3, 4, 5})), Reporter(sDirectory, Clock, Tones), Bounds(TheBounds) {}

netflowlib::tDecodeServices DecoderRig::Services() {
    return netflowlib::tDecodeServices{Sink, Reporter, Templates, Clock, Bounds};
}

}  // namespace doubles

namespace doubles {

InstalledReporter::InstalledReporter(const std::string& sDirectory)
    : Reporter(sDirectory, brix32::SystemClock(), Tones) {
    brix32::InstallDefaultExceptionReporter(&Reporter);
}

InstalledReporter::~InstalledReporter() { brix32::InstallDefaultExceptionReporter(nullptr); }

}  // namespace doubles
