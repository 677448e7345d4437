#include "CommandLine.h"

#include <charconv>

namespace {

constexpr const char* kSamplingRate = "--sampling-rate";
// A rate above this is no router's: the version 5 header holds 14 bits, options data rarely more
// than a million.
constexpr std::uint32_t kMaxRate = 1'000'000'000;

bool ParseSamplingRate(const std::string& Value, CollectorOptions& Options, std::string& Error) {
    const std::size_t eq = Value.rfind('=');
    const auto fail = [&] {
        Error = std::string(kSamplingRate) + ": expected ADDRESS=N with an IPv4 or IPv6 address and N from 1 to " +
                std::to_string(kMaxRate) + ", got \"" + Value + "\"";
        return false;
    };
    if (eq == std::string::npos) return fail();
    const FlowAddress Address = FlowAddress::Parse(Value.substr(0, eq));
    if (Address.Kind == FlowAddress::None) return fail();
    std::uint32_t Rate = 0;
    const char* first = Value.data() + eq + 1;
    const char* last = Value.data() + Value.size();
    const auto [end, ec] = std::from_chars(first, last, Rate);
    if (ec != std::errc{} || end != last || first == last || Rate == 0 || Rate > kMaxRate) return fail();
    Options.SamplingRates.emplace_back(Address, Rate);
    return true;
}

}  // namespace

bool ParseCollectorOptions(const std::vector<std::string>& Arguments, CollectorOptions& Options, std::string& Error) {
    const std::string prefix = std::string(kSamplingRate) + "=";
    for (std::size_t i = 0; i < Arguments.size(); ++i) {
        const std::string& a = Arguments[i];
        if (a == "--traffic") {
            Options.OpenTraffic = true;
        } else if (a == kSamplingRate) {
            if (i + 1 >= Arguments.size()) {
                Error = std::string(kSamplingRate) + ": missing ADDRESS=N";
                return false;
            }
            if (!ParseSamplingRate(Arguments[++i], Options, Error)) return false;
        } else if (a.rfind(prefix, 0) == 0) {
            if (!ParseSamplingRate(a.substr(prefix.size()), Options, Error)) return false;
        }
    }
    return true;
}
