// The flow history's questions against a store of a full day at 1,000 flows/s (86.4 million
// flows): top 20 sources, destinations, conversations, source countries and destination AS numbers
// over the day, the chart over 7 days, every
// flow of one address over the day, and the count. Fills the store first when the folder is empty,
// writing through the collector's own writers with a clock of its own (two threads: raw and summaries).
//
// Usage: history_query_bench DATA_FOLDER
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "HistoryQuery.h"
#include "HistorySchema.h"
#include "HistoryStore.h"

namespace {

constexpr std::int64_t kEnd = 1796947200000;  // 2026-12-11T00:00Z
constexpr std::int64_t kStart = kEnd - history::kDayMs;
constexpr int kPerSecond = 1000;

// A site of 2,000 inside hosts talking to 50,000 outside ones over 30 services through 4 exporters:
// a few hosts carry most bytes, as on a real network.
FlowRecord Synthetic(std::uint64_t N, std::int64_t Ms) {
    FlowRecord r;
    const std::uint64_t h = N * 0x9E3779B97F4A7C15ULL;
    r.ReceivedMs = Ms;
    r.StartMs = Ms - static_cast<std::int64_t>(h % 30000);
    r.EndMs = Ms;
    r.TimesFromExporter = true;
    r.Exporter = FlowAddress::FromIPv4(0xC0000201u + static_cast<std::uint32_t>(N % 4));
    const std::uint32_t inside =
        static_cast<std::uint32_t>((h >> 8) % 2000 * ((h >> 20) % 4 == 0 ? 1 : (h >> 24) % 50 + 1) % 2000);
    const std::uint32_t outside = static_cast<std::uint32_t>((h >> 32) % 50000);
    const bool outbound = (h >> 40) % 2 == 0;
    const FlowAddress in = FlowAddress::FromIPv4(0x0A000000u + inside);
    const FlowAddress out = FlowAddress::FromIPv4(0xCB000000u + outside * 7);
    r.Source = outbound ? in : out;
    r.Destination = outbound ? out : in;
    static const std::uint16_t services[] = {443, 80, 53, 22, 25, 123, 993, 587, 3389, 8080};
    const std::uint16_t service = services[(h >> 44) % 10];
    r.SourcePort = outbound ? static_cast<std::uint16_t>(1024 + (h >> 48) % 60000) : service;
    r.DestinationPort = outbound ? service : static_cast<std::uint16_t>(1024 + (h >> 48) % 60000);
    r.Protocol = service == 53 || service == 123 ? 17 : 6;
    r.Bytes = 64 + (h >> 12) % ((h >> 56) % 16 == 0 ? 10000000 : 20000);
    r.Packets = 1 + r.Bytes / 900;
    r.InputIf = 1 + static_cast<std::uint32_t>(N % 8);
    r.OutputIf = 9;
    r.Version = 9;
    return r;
}

double Seconds(std::chrono::steady_clock::time_point Since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - Since).count();
}

void Fill(const std::string& Folder) {
    // Each writer's clock follows its own flows, as the wall clock follows the flows in the
    // collector: the raw writer commits once their second has passed, the summaries write a minute
    // once it is over.
    static thread_local std::int64_t now = kStart;
    history::HistoryOptions options;
    options.NowMs = [] { return now; };
    options.Keep.MaxShareOfFileSystem = 0;
    options.Keep.MaxBytes = 1ULL << 40;
    history::HistoryStore store(Folder, options);
    if (!store.Storing()) {
        std::fprintf(stderr, "cannot store in %s\n", Folder.c_str());
        std::exit(1);
    }
    const auto began = std::chrono::steady_clock::now();
    // Each writer on its own thread, as in the collector; the clock only moves forward.
    auto feed = [&](FlowConsumer& Consumer) {
        FlowBatch batch(kPerSecond);
        std::uint64_t n = 0;
        for (std::int64_t second = kStart; second < kEnd; second += 1000) {
            for (FlowRecord& r : batch) {
                r = Synthetic(n, second + static_cast<std::int64_t>(n % 1000));
                ++n;
            }
            Consumer.Consume(batch);
            // Transactions of 100 s of flows: the collector's are of one second, but here no
            // listener waits and fewer commits fill the store sooner.
            if ((second - kStart) % 100000 == 99000) {
                now = second + 1000;
                Consumer.EndRun();
            }
        }
        now = kEnd + 1000;
        Consumer.EndRun();
    };
    std::thread raw([&] { feed(store.RawConsumer()); });
    std::thread summary([&] { feed(store.SummaryConsumer()); });
    raw.join();
    summary.join();
    store.FlushNow();
    std::printf("filled %s with %lld flows in %.0f s\n", Folder.c_str(),
                static_cast<long long>((kEnd - kStart) / 1000 * kPerSecond), Seconds(began));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: history_query_bench DATA_FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    if (!std::filesystem::exists(folder + "/history/summary.sqlite")) Fill(folder);

    history::HistoryQuery query(folder + "/history/");
    const history::Span day{kStart, kEnd};
    const FlowFilter none;
    for (const auto& [key, name] :
         {std::pair{history::TopKey::Source, "sources"}, std::pair{history::TopKey::Destination, "destinations"},
          std::pair{history::TopKey::Conversation, "conversations"},
          std::pair{history::TopKey::SourceCountry, "src countries"},
          std::pair{history::TopKey::DestinationAsn, "dst AS"}}) {
        const auto began = std::chrono::steady_clock::now();
        const history::TopResult top = query.Top(day, key, history::RankBy::Bytes, 20, none);
        std::printf("top 20 %-13s over 24 h: %6.2f s  (%zu rows, %s, first %s)\n", name, Seconds(began),
                    top.Rows.size(), top.Exact ? "exact" : "from summaries",
                    top.Rows.empty()            ? "-"
                    : history::LocationKey(key) ? std::to_string(top.Rows[0].Number).c_str()
                                                : top.Rows[0].First.ToString().c_str());
    }
    {
        const auto began = std::chrono::steady_clock::now();
        const history::SeriesResult series = query.Series({kEnd - 7 * history::kDayMs, kEnd}, none);
        std::printf("chart over 7 days:              %6.2f s  (%zu points of %lld s)\n", Seconds(began),
                    series.Points.size(), static_cast<long long>(series.StepMs / 1000));
    }
    {
        const auto began = std::chrono::steady_clock::now();
        const history::CountResult count = query.Count(day, none);
        std::printf("count over 24 h:                %6.2f s  (%llu flows)\n", Seconds(began),
                    static_cast<unsigned long long>(count.Flows));
    }
    {
        FlowFilter one;
        one.Parse("10.0.0.77");
        std::uint64_t flows = 0;
        int progressCalls = 0;
        history::QueryControl control;
        control.Progress = [&progressCalls](double) { ++progressCalls; };
        const auto began = std::chrono::steady_clock::now();
        const history::FlowsResult result = query.Flows(
            day, one, 0,
            [&flows](const FlowRecord&) {
                ++flows;
                return true;
            },
            control);
        std::printf("every flow of one address, 24 h: %5.2f s  (%llu flows, %d progress reports)%s\n", Seconds(began),
                    static_cast<unsigned long long>(flows), progressCalls,
                    result.Error.empty() ? "" : (" error: " + result.Error).c_str());
    }
    return 0;
}
