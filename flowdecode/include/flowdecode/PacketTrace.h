#pragma once

#include <cstdint>
#include <string>

namespace netflowlib {

inline constexpr const char* kPacketTraceFileName = "debug-v9-packet.txt";
inline constexpr const char* kMarkerFileName = "debug.txt";

// Where the version 9 decoder sends its packet trace and its "debug.txt" markers. The decoder does no
// file I/O of its own; the sink decides what a line or a marker becomes.
class PacketTraceSink {
  public:
    virtual ~PacketTraceSink();
    // The trace header of one datagram; starts a fresh trace.
    virtual void BeginTrace(const std::string& sHeaderText) = 0;
    // One further trace line, CR LF included.
    virtual void Line(const std::string& sLine) = 0;
    // Replaces the marker (the whole new content, no line end).
    virtual void Marker(const std::string& sText) = 0;
    // The decoder is about to return, or about to report an exception: a sink that holds lines back
    // writes them now.
    virtual void Finish() {}
};

// Drops everything (fuzzing, benchmarks of the decoding alone).
class DiscardTraceSink : public PacketTraceSink {
  public:
    void BeginTrace(const std::string&) override {}
    void Line(const std::string&) override {}
    void Marker(const std::string&) override {}
};

}  // namespace netflowlib

// The file-writing sinks live apart; this one is included here for the callers that always found it here.
#include "flowdecode/FileTraceSink.h"
