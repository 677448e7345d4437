#include "flowdecode/StagedTraceSink.h"

#include <utility>

#include "support/TextFiles.h"

namespace netflowlib {

namespace {
constexpr std::size_t kInitialCapacity = 64 * 1024;
}

StagedTraceSink::StagedTraceSink(std::string sTraceFileName, std::string sMarkerFileName)
    : sTraceFileName_(std::move(sTraceFileName)), sMarkerFileName_(std::move(sMarkerFileName)) {
    sTrace_.reserve(kInitialCapacity);
}

void StagedTraceSink::BeginTrace(const std::string& sHeaderText) {
    sTrace_.assign(sHeaderText);
    bTraceStarted_ = true;
}

void StagedTraceSink::Line(const std::string& sLine) {
    // A line without a header would have been appended to the previous datagram's file; keeping
    // it with the current trace is the only sensible reading, and the decoder never does that.
    sTrace_.append(sLine);
}

void StagedTraceSink::Marker(const std::string& sText) {
    sMarker_.assign(sText);
    bMarkerSet_ = true;
}

void StagedTraceSink::Finish() {
    // Losing a trace is not worth stopping the collector for: as with the line-by-line writer, a
    // failed write is simply not there.
    if (bTraceStarted_) brix32::ReplaceFileAtomically(sTraceFileName_, sTrace_);
    if (bMarkerSet_) brix32::ReplaceFileAtomically(sMarkerFileName_, sMarker_);
    sTrace_.clear();
    if (sTrace_.capacity() > kKeptCapacity) {
        std::string().swap(sTrace_);
        sTrace_.reserve(kInitialCapacity);
    }
    bTraceStarted_ = false;
    bMarkerSet_ = false;
}

}  // namespace netflowlib
