#pragma once

// The collector's own options, after the toolkit has taken its options out. No Qt, so that the
// rules are tested without a window.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "FlowAddress.h"

struct CollectorOptions {
    bool OpenTraffic = false;  // --traffic
    // --sampling-rate ADDRESS=N (repeatable): the operator's rate, over what the exporter reports.
    std::vector<std::pair<FlowAddress, std::uint32_t>> SamplingRates;
};

// False with Error set (naming the option) when an option is malformed; arguments it does not know
// are left alone, as they always were.
bool ParseCollectorOptions(const std::vector<std::string>& Arguments, CollectorOptions& Options, std::string& Error);
