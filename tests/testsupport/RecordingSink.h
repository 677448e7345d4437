#pragma once

#include <string>
#include <vector>

#include "flowdecode/PacketTrace.h"

// Keeps what the decoder sends, in order, for the tests to read back.
class RecordingSink : public netflowlib::PacketTraceSink {
  public:
    void BeginTrace(const std::string& sHeaderText) override {
        ++Begins;
        Header = sHeaderText;
        Lines.clear();
    }
    void Line(const std::string& sLine) override { Lines.push_back(sLine); }
    void Marker(const std::string& sText) override { Markers.push_back(sText); }
    void Finish() override { ++Finishes; }

    // The trace lines without their CR LF; a line that lacks it is kept whole, so it shows up.
    std::vector<std::string> Bare() const {
        std::vector<std::string> Out;
        for (const std::string& s : Lines) {
            Out.push_back(s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0 ? s.substr(0, s.size() - 2)
                                                                                   : s + "<no CR LF>");
        }
        return Out;
    }
    bool HasLine(const std::string& sBare) const {
        for (const std::string& s : Bare()) {
            if (s == sBare) return true;
        }
        return false;
    }
    int CountLinesStartingWith(const std::string& sPrefix) const {
        int n = 0;
        for (const std::string& s : Lines) n += s.rfind(sPrefix, 0) == 0 ? 1 : 0;
        return n;
    }

    int Begins = 0;
    int Finishes = 0;
    std::string Header;
    std::vector<std::string> Lines;
    std::vector<std::string> Markers;
};
