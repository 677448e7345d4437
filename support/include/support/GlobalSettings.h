#pragma once

#include <cstdint>
#include <string>

namespace brix32 {

// The few facts an exception report needs about the running program. Written once on the main
// thread before the listener starts, only read afterwards, so nobody locks it.
struct tGlobalSettings {
    std::string SelfName;
    std::string Version;
    std::string HostName;
    std::string ExceptionFileTemplate;
};

extern tGlobalSettings GlobalSettings;

}  // namespace brix32
