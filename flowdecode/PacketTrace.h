#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "TextForms.h"

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

// Drops everything (fuzzing, benchmarks of the decoding alone).
class DiscardTraceSink : public PacketTraceSink {
public:
    void BeginTrace(const std::string&) override {}
    void Line(const std::string&) override {}
    void Marker(const std::string&) override {}
};

// Builds one trace line in a reused buffer: no allocation per line once the buffer has grown.
class TraceLine {
public:
    TraceLine() { sLine_.reserve(256); }
    TraceLine& Start() {
        sLine_.clear();
        return *this;
    }
    TraceLine& Text(std::string_view s) {
        sLine_.append(s);
        return *this;
    }
    TraceLine& Dec(std::int64_t Value) {
        AppendDec(sLine_, Value);
        return *this;
    }
    TraceLine& Hex2(std::int64_t Value) {
        AppendHex2(sLine_, Value);
        return *this;
    }
    TraceLine& Hex4(std::int64_t Value) {
        AppendHex4(sLine_, Value);
        return *this;
    }
    // Ends the line with CR LF and returns the whole text.
    const std::string& End() {
        sLine_.append("\r\n");
        return sLine_;
    }
    std::string& Buffer() { return sLine_; }

private:
    std::string sLine_;
};

}  // namespace netflowlib
