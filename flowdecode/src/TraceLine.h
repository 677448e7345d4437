#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "TextForms.h"

namespace netflowlib {

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
