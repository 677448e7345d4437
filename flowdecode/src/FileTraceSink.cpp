#include "flowdecode/FileTraceSink.h"

#include <utility>

#include "support/TextFiles.h"

namespace netflowlib {

FileTraceSink::FileTraceSink(std::string sTraceFileName, std::string sMarkerFileName)
    : sTraceFileName_(std::move(sTraceFileName)), sMarkerFileName_(std::move(sMarkerFileName)) {}

// A failed write loses that line or marker and nothing more: decoding never depends on the trace.
void FileTraceSink::BeginTrace(const std::string& sHeaderText) {
    brix32::AppendToTextFile(sHeaderText, sTraceFileName_, false);
}

void FileTraceSink::Line(const std::string& sLine) { brix32::AppendToTextFile(sLine, sTraceFileName_, true); }

void FileTraceSink::Marker(const std::string& sText) { brix32::AppendToTextFile(sText, sMarkerFileName_, false); }

}  // namespace netflowlib
