// Parses nf-loadgen's command line with getopt_long, so that every option has the usual forms
// (--rate=10, --rate 10, -r 10, -r10) and every refusal names the option it is about.

#include "LoadgenOptions.h"

#include <getopt.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace loadgen {
namespace {

// Options without a short form get codes beyond any character.
constexpr int kAllowRemote = 256;
constexpr int kProgramVersion = 257;
constexpr int kReplay = 258;
constexpr int kSpeed = 259;
constexpr int kAsFastAsPossible = 260;
constexpr int kPublicAddresses = 261;

template <typename T>
bool ParseInteger(std::string_view text, T& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc{} && ptr == end;
}

// Decimals within [low, high]; strtod alone would take "1e3x" as 1000 and "nan" as a number.
bool ParseDecimal(const std::string& text, double low, double high, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !(v >= low && v <= high)) return false;
    value = v;
    return true;
}

bool ParsePositive(const std::string& text, double& value) { return ParseDecimal(text, 1e-9, 1e12, value); }

using Apply = bool (*)(const std::string& value, Options& opts);

struct OptionDef {
    const char* name;
    int key;  // the short letter, or a code above 255
    bool takesValue;
    Apply apply;  // null for --help and --version, which the parser answers itself
};

const OptionDef kOptions[] = {
    {"netflow-version", 'N', true,
     [](const std::string& v, Options& o) {
         if (v != "5" && v != "9" && v != "10") return false;
         o.netflowVersion = std::stoi(v);
         return true;
     }},
    {"host", 'H', true,
     [](const std::string& v, Options& o) {
         o.host = v;
         return !v.empty();
     }},
    {"port", 'p', true, [](const std::string& v, Options& o) { return ParseInteger(v, o.port) && o.port != 0; }},
    {"rate", 'r', true, [](const std::string& v, Options& o) { return ParsePositive(v, o.rate); }},
    {"duration", 'd', true,
     [](const std::string& v, Options& o) {
         double d = 0;
         if (!ParsePositive(v, d)) return false;
         o.duration = d;
         return true;
     }},
    {"count", 'c', true,
     [](const std::string& v, Options& o) {
         std::uint64_t n = 0;
         if (!ParseInteger(v, n) || n == 0) return false;
         o.count = n;
         return true;
     }},
    {"records", 'R', true,
     [](const std::string& v, Options& o) { return ParseInteger(v, o.records) && o.records >= 1; }},
    {"template-every", 't', true, [](const std::string& v, Options& o) { return ParseInteger(v, o.templateEvery); }},
    {"source-id", 's', true, [](const std::string& v, Options& o) { return ParseInteger(v, o.sourceId); }},
    {"burst", 'b', true,
     [](const std::string& v, Options& o) { return ParseInteger(v, o.burst) && o.burst >= 1 && o.burst <= kMaxBurst; }},
    {"spin-us", 'S', true, [](const std::string& v, Options& o) { return ParseDecimal(v, 0, 1e6, o.spinMicros); }},
    {"allow-remote", kAllowRemote, false,
     [](const std::string&, Options& o) {
         o.allowRemote = true;
         return true;
     }},
    {"public-addresses", kPublicAddresses, false,
     [](const std::string&, Options& o) {
         o.publicAddresses = true;
         return true;
     }},
    {"quiet", 'q', false,
     [](const std::string&, Options& o) {
         o.quiet = true;
         return true;
     }},
    {"replay", kReplay, true,
     [](const std::string& v, Options& o) {
         o.replayFile = v;
         return !v.empty();
     }},
    {"speed", kSpeed, true,
     [](const std::string& v, Options& o) {
         double f = 0;
         if (!ParseDecimal(v, 1e-3, 1e6, f)) return false;
         o.speed = f;
         return true;
     }},
    {"as-fast-as-possible", kAsFastAsPossible, false,
     [](const std::string&, Options& o) {
         o.asFastAsPossible = true;
         return true;
     }},
    {"help", 'h', false, nullptr},
    {"version", kProgramVersion, false, nullptr},
};

const OptionDef* FindOption(int key) {
    for (const auto& def : kOptions) {
        if (def.key == key) return &def;
    }
    return nullptr;
}

Request Refuse(const std::string& why) {
    std::fprintf(stderr, "nf-loadgen: %s (try --help)\n", why.c_str());
    return Request::UsageError;
}

// getopt_long reports an unusable option as '?': an unknown short letter (optopt holds it), an
// unknown or ambiguous long name (optopt 0, the word just consumed), or a value given with "="
// to an option that takes none (optopt is that option's code).
Request RefuseUnknown(char** argv) {
    if (const OptionDef* def = optopt ? FindOption(optopt) : nullptr) {
        return Refuse(std::string("--") + def->name + " takes no value");
    }
    if (optopt) return Refuse(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
    std::string word = argv[optind - 1];
    word = word.substr(0, word.find('='));
    return Refuse("unknown or ambiguous option '" + word + "'");
}

// What no single option can check: the choices that only make sense together.
Request CheckReplay(const Options& opts) {
    if (opts.rate > 0 || opts.duration || opts.count) {
        return Refuse("--replay sends what the capture holds: --rate, --duration and --count do not apply");
    }
    if (opts.speed && opts.asFastAsPossible) return Refuse("give at most one of --speed and --as-fast-as-possible");
    return Request::Send;
}

Request CheckCombination(const Options& opts) {
    if (!opts.replayFile.empty()) return CheckReplay(opts);
    if (opts.speed || opts.asFastAsPossible) return Refuse("--speed and --as-fast-as-possible go with --replay");
    if (opts.rate <= 0) return Refuse("--rate is required");
    if (opts.duration.has_value() == opts.count.has_value()) {
        return Refuse("give exactly one of --duration and --count");
    }
    const int maxRecords = opts.netflowVersion == 5   ? kV5MaxRecords
                           : opts.netflowVersion == 9 ? kV9MaxRecords
                                                      : kIpfixMaxRecords;
    if (opts.records > maxRecords) {
        const std::string format = opts.netflowVersion == 10 ? std::string("IPFIX (version 10)")
                                                             : "NetFlow version " + std::to_string(opts.netflowVersion);
        return Refuse("--records: " + format + " carries at most " + std::to_string(maxRecords) +
                      " records per datagram");
    }
    return Request::Send;
}

}  // namespace

Request ParseArguments(int argc, char** argv, Options& opts) {
    std::vector<option> longOptions;
    // "+": stop at the first word that is no option instead of moving it to the end, so a stray word
    // is seen where it stood; ":": a missing value comes back as ':', not '?'.
    std::string shortOptions = "+:";
    for (const auto& def : kOptions) {
        longOptions.push_back({def.name, def.takesValue ? required_argument : no_argument, nullptr, def.key});
        if (def.key < 256) {
            shortOptions += static_cast<char>(def.key);
            if (def.takesValue) shortOptions += ':';
        }
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    opterr = 0;
    optind = 0;  // glibc's full restart, so a second call parses afresh

    bool help = false;
    bool version = false;
    for (int key; (key = ::getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr)) != -1;) {
        if (key == '?') return RefuseUnknown(argv);
        const OptionDef* def = FindOption(key == ':' ? optopt : key);
        if (key == ':') return Refuse(std::string("--") + def->name + " needs a value");
        if (key == 'h') {
            help = true;
        } else if (key == kProgramVersion) {
            version = true;
        } else if (!def->apply(optarg ? optarg : "", opts)) {
            // The versions are few enough to list, and "-N 7" alone would not say which exist.
            return Refuse(std::string("bad value for --") + def->name + ": '" + optarg + "'" +
                          (key == 'N' ? "; give 5, 9 or 10 (IPFIX)" : ""));
        }
    }
    // A stray word is refused even beside --help or --version: "--version 5" is the old spelling of
    // --netflow-version 5, and answering it with the program version would send nothing, silently.
    if (optind < argc) {
        const bool afterVersion = version && std::string_view(argv[optind - 1]) == "--version";
        return Refuse(std::string("unexpected argument '") + argv[optind] + "'" +
                      (afterVersion ? "; the NetFlow version is given with --netflow-version" : ""));
    }
    if (help) return Request::Help;
    if (version) return Request::Version;
    return CheckCombination(opts);
}

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: nf-loadgen --rate DATAGRAMS_PER_S (--duration S | --count N) [options]\n"
                 "       nf-loadgen --replay FILE.pcap [--speed F | --as-fast-as-possible] [options]\n"
                 "\n"
                 "Sends NetFlow or IPFIX export datagrams over UDP at a steady rate and reports what it\n"
                 "sent, or sends the UDP datagrams of a capture file again, in order.\n"
                 "An option's value follows it as --rate=10, --rate 10, -r 10 or -r10.\n"
                 "\n"
                 "  -N, --netflow-version V     export format: 5, 9 or 10 (IPFIX) (default 5)\n"
                 "  -H, --host ADDR             destination address (default 127.0.0.1); only loopback\n"
                 "                              (127.0.0.0/8, ::1) unless --allow-remote is given\n"
                 "  -p, --port N                destination UDP port (default 9996)\n"
                 "  -r, --rate R                datagrams per second (required, > 0)\n"
                 "  -d, --duration S            send for S seconds (decimals allowed)\n"
                 "  -c, --count N               send N datagrams\n"
                 "  -R, --records R             flow records per datagram (default 30; v5: 1-%d, v9: 1-%d,\n"
                 "                              v10: 1-%d)\n"
                 "  -t, --template-every N      v9 and v10: the template rides in the first datagram and\n"
                 "                              then in every N-th one (default 1: every datagram; 0: the\n"
                 "                              first only)\n"
                 "  -s, --source-id ID          v9 source id; v10 observation domain id; v5 engine type/id\n"
                 "                              (high/low byte) (default 0)\n"
                 "  -b, --burst B               send B datagrams per wake-up with one sendmmsg (1-%d,\n"
                 "                              default 1); the average rate stays R\n"
                 "  -S, --spin-us U             busy-wait the last U microseconds before each deadline\n"
                 "                              (default 20; 0 sleeps only)\n"
                 "      --replay FILE           send the UDP payloads of capture FILE (pcap or pcapng) at\n"
                 "                              their original spacing instead of generated datagrams\n"
                 "      --speed F               with --replay: F times the original pace (default 1)\n"
                 "      --as-fast-as-possible   with --replay: back to back, no pacing\n"
                 "      --allow-remote          permit a destination outside loopback (and host name lookup)\n"
                 "      --public-addresses      flows between addresses all over the public IPv4 space\n"
                 "                              (default: 10.0.0.0/8 to 192.168.0.0/16)\n"
                 "  -q, --quiet                 print only the closing summary\n"
                 "  -h, --help                  this text\n"
                 "      --version               the program's version\n"
                 "\n"
                 "Sequence numbers count what was exported: v5 flow_sequence and the v10 sequence number\n"
                 "are the number of flows in earlier datagrams, the v9 sequence number the number of\n"
                 "earlier datagrams. A datagram the kernel refuses is counted as a send error, not as\n"
                 "sent, and leaves a sequence gap, as a loss on the way would. Ctrl-C stops early and\n"
                 "still prints the summary.\n"
                 "Exit status: 0 sent, 2 bad arguments, 3 destination refused, 4 socket error.\n",
                 kV5MaxRecords, kV9MaxRecords, kIpfixMaxRecords, kMaxBurst);
}

}  // namespace loadgen
