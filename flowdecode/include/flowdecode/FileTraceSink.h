#pragma once

#include <string>

#include "flowdecode/PacketTrace.h"

namespace netflowlib {

// Writes straight to the files, one text-file write per call: the header replaces the trace file,
// every line is appended on its own, every marker replaces the marker file.
class FileTraceSink : public PacketTraceSink {
  public:
    FileTraceSink(std::string sTraceFileName = kPacketTraceFileName, std::string sMarkerFileName = kMarkerFileName);
    void BeginTrace(const std::string& sHeaderText) override;
    void Line(const std::string& sLine) override;
    void Marker(const std::string& sText) override;

  private:
    std::string sTraceFileName_;
    std::string sMarkerFileName_;
};

}  // namespace netflowlib
