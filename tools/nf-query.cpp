// nf-query: answers questions from the flow history that the collector keeps, on the command line:
// how many flows, the top keys, the flows themselves. It only reads, takes no lock and writes
// nothing into the folder, so it runs beside a collector that is writing the same history. With
// --clickhouse it asks the server the collector sends its flows to instead.

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Answers.h"
#include "ClickHouseAnswers.h"
#include "DataFolder.h"
#include "HistoryQuery.h"
#include "HistorySchema.h"
#include "Locations.h"
#include "QueryOptions.h"
#include "QueryOutput.h"
#include "ReverseDns.h"

namespace {

using namespace query;

class HistoryAnswers final : public Answers {
  public:
    HistoryAnswers(std::string Folder, const std::string& LocationDatabase) : Query_(std::move(Folder)) {
        Query_.SetLocationDatabase(LocationDatabase);
    }
    bool Ready(std::string& Error) const override { return Query_.Readable(Error); }
    history::CountResult Count(const Options& Ask) const override { return Query_.Count(Ask.Range, Ask.Filter); }
    history::TopResult Top(const Options& Ask) const override {
        return Query_.Top(Ask.Range, Ask.Key, Ask.By, Ask.TopRows, Ask.Filter);
    }
    history::FlowsResult Flows(const Options& Ask, const std::function<bool(const FlowRecord&)>& Each) const override {
        return Query_.Flows(Ask.Range, Ask.Filter, Ask.FlowLimit, Each);
    }

  private:
    history::HistoryQuery Query_;
};

int Fail(const std::string& Why) {
    std::fprintf(stderr, "nf-query: %s\n", Why.c_str());
    return kExitFailure;
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') return home;
    if (const passwd* account = ::getpwuid(::getuid()); account != nullptr && account->pw_dir != nullptr) {
        return account->pw_dir;
    }
    return {};
}

// A folder that is a history folder itself, so that DIR may name it too: one that holds history
// files, or one named so (a collector that has only just started has written none yet).
bool HoldsHistory(const std::filesystem::path& Dir) {
    std::error_code error;
    std::filesystem::path named = Dir;
    if (!named.has_filename()) named = named.parent_path();
    if (named.filename() == history::kFolderName && std::filesystem::is_directory(Dir, error)) return true;
    if (std::filesystem::exists(Dir / history::kSummaryFile, error)) return true;
    for (std::filesystem::directory_iterator it(Dir, error), end; !error && it != end; it.increment(error)) {
        if (history::DayOfFlowsFile(it->path().filename().string()) >= 0) return true;
    }
    return false;
}

// The history folder for the data folder DataDir, or DataDir itself where it is one.
std::string HistoryFolderOf(const std::string& DataDir) {
    const std::filesystem::path dir(DataDir);
    std::error_code error;
    if (std::filesystem::is_directory(dir / history::kFolderName, error)) {
        return (dir / history::kFolderName).string() + "/";
    }
    if (HoldsHistory(dir)) return (dir / "").string();
    return (dir / history::kFolderName).string() + "/";
}

// The first reason standard output refused a write; later calls would only report the stream's
// state (EBADF) instead of the cause.
int gWriteErrno = 0;

bool Write(const std::string& Text) {
    if (Text.empty() || std::fwrite(Text.data(), 1, Text.size(), stdout) == Text.size()) return true;
    if (gWriteErrno == 0) gWriteErrno = errno;
    return false;
}

// Standard output that cannot take the answer (a full disk, a closed pipe with SIGPIPE ignored) is
// a failure, not an answer.
int Finish(int Status) {
    if (std::fflush(stdout) != 0 && gWriteErrno == 0) gWriteErrno = errno;
    if (gWriteErrno != 0 || std::ferror(stdout)) {
        return Fail(std::string("cannot write the answer: ") + std::strerror(gWriteErrno != 0 ? gWriteErrno : EIO));
    }
    return Status;
}

// Host names are asked of the DNS only with --resolve, for what is about to be shown, and waited for
// at most this long in all: a listing is worth more without some names than never.
constexpr int kResolveWaitMs = 5000;
// Flows held back at a time to be named together, so that a long listing starts soon and its memory
// stays bounded.
constexpr std::size_t kResolveBatch = 1000;

// What names the answers get: the location database's, and with --resolve the DNS's.
class Naming {
  public:
    Naming(const Options& Ask, bool NeedPlaces) {
        if (NeedPlaces) {
            std::string why;
            Places_ = names::Locator::Open(Ask.LocationDatabase, &why);
            if (!Places_) PlacesMissing_ = why;
        }
        if (Ask.Resolve) {
            names::ReverseDnsOptions options;
            options.Server = Ask.DnsServer ? *Ask.DnsServer : names::SystemDnsServer();
            // A thousand flows name up to two thousand addresses: fast enough to fit the wait.
            options.QueriesPerSecond = 400;
            options.Burst = 400;
            options.TimeoutMs = 1500;
            Dns_ = std::make_unique<names::ReverseDns>(options);
            Deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kResolveWaitMs);
        }
    }

    // Why the flow lists have no countries; empty when they have.
    const std::string& PlacesMissing() const { return PlacesMissing_; }

    Labels Get() {
        Labels labels;
        if (Places_) {
            names::Locator* where = Places_.get();
            labels.Place = [where](const FlowAddress& A) { return where->Find(A); };
            labels.AsName = [where](std::uint32_t Asn) { return where->AsName(Asn); };
            labels.CountryName = [where](std::uint16_t Country) { return where->CountryName(Country); };
        }
        if (Dns_) {
            names::ReverseDns* dns = Dns_.get();
            labels.HostName = [dns](const FlowAddress& A) { return dns->Cached(A).value_or(""); };
        }
        return labels;
    }

    // Asks for the names of Addresses and waits for them, within what is left of the wait.
    void Resolve(const std::vector<FlowAddress>& Addresses) {
        if (!Dns_ || Addresses.empty()) return;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline_ - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        Dns_->Resolve(Addresses, static_cast<int>(left.count()));
    }
    bool Resolving() const { return Dns_ != nullptr; }

  private:
    std::unique_ptr<names::Locator> Places_;
    std::string PlacesMissing_;
    std::unique_ptr<names::ReverseDns> Dns_;
    std::chrono::steady_clock::time_point Deadline_;
};

int RunCount(const Answers& From, const Options& Ask) {
    const history::CountResult result = From.Count(Ask);
    if (!result.Error.empty()) return Fail("counting failed: " + result.Error);
    Write(CountText(Ask.Output, Ask.Range, result.Flows));
    return Finish(kExitOk);
}

int RunTop(const Answers& From, const Options& Ask, Naming& Names) {
    const history::TopResult result = From.Top(Ask);
    if (!result.Error.empty()) return Fail("the top query failed: " + result.Error);
    std::vector<FlowAddress> addresses;
    for (const history::TopRow& row : result.Rows) {
        for (const FlowAddress& a : {row.First, row.Second}) {
            if (a.Kind != FlowAddress::None) addresses.push_back(a);
        }
    }
    Names.Resolve(addresses);
    Write(TopText(Ask.Output, Ask.Key, Ask.By, Ask.Range, result, Names.Get()));
    const int status = Finish(kExitOk);
    if (status == kExitOk && !result.Exact && Ask.Output != Format::Table) {
        std::fprintf(stderr, "nf-query: note: %s\n", SummaryNoteOf(result).c_str());
    }
    return status;
}

int RunFlows(const Answers& From, const Options& Ask, Naming& Names) {
    if (!Names.PlacesMissing().empty()) {
        std::fprintf(stderr, "nf-query: note: no countries or AS numbers (%s)\n", Names.PlacesMissing().c_str());
    }
    const FlowListWriter writer(Ask.Output, Names.Get());
    // The header waits for the first flow or for the end, so that a failed query leaves no output.
    bool headerDone = false;
    bool written = true;
    // With --resolve, flows wait in batches for the names of their addresses.
    std::vector<FlowRecord> held;
    auto writeHeld = [&] {
        std::vector<FlowAddress> addresses;
        for (const FlowRecord& r : held) {
            if (r.Source.Kind != FlowAddress::None) addresses.push_back(r.Source);
            if (r.Destination.Kind != FlowAddress::None) addresses.push_back(r.Destination);
        }
        Names.Resolve(addresses);
        for (const FlowRecord& r : held) written = written && Write(writer.Line(r));
        held.clear();
    };
    const history::FlowsResult result = From.Flows(Ask, [&](const FlowRecord& Record) {
        if (!headerDone) {
            written = Write(writer.Header());
            headerDone = true;
        }
        if (!Names.Resolving()) {
            written = written && Write(writer.Line(Record));
            return written;
        }
        held.push_back(Record);
        if (held.size() >= kResolveBatch) writeHeld();
        return written;
    });
    writeHeld();
    if (!written) return Finish(kExitFailure);
    if (!result.Error.empty()) return Fail("listing the flows failed: " + result.Error);
    if (!headerDone) Write(writer.Header());
    const int status = Finish(kExitOk);
    if (status == kExitOk && result.Truncated) {
        std::fprintf(stderr, "nf-query: listed the first %llu flows and stopped; more match (-n 0 lists all)\n",
                     static_cast<unsigned long long>(result.Listed));
    }
    return status;
}

int Run(const Answers& From, const Options& Ask) {
    // The location database is opened for the names only where something shows them; the location
    // keys' own failure to open it is the query's.
    Naming names(Ask, Ask.What == Action::Flows || (Ask.What == Action::Top && history::LocationKey(Ask.Key)));
    switch (Ask.What) {
        case Action::Count:
            return RunCount(From, Ask);
        case Action::Top:
            return RunTop(From, Ask, names);
        case Action::Flows:
            return RunFlows(From, Ask, names);
        case Action::None:
            break;
    }
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    ::tzset();
    const std::int64_t nowMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    Options ask;
    std::string error;
    switch (ParseArguments(argc, argv, nowMs, ask, error)) {
        case Request::UsageError:
            std::fprintf(stderr, "nf-query: %s\n", error.c_str());
            return kExitUsage;
        case Request::Help:
            Write(UsageText());
            return Finish(kExitOk);
        case Request::Version:
            std::printf("nf-query %s\n", NFC_PROJECT_VERSION);
            return Finish(kExitOk);
        case Request::Run:
            break;
    }

    if (ask.ClickHouse) {
        const ClickHouseAnswers server(*ask.ClickHouse);
        if (!server.Ready(error)) return Fail(error);
        return Run(server, ask);
    }

    const bool defaultFolder = ask.DataDir.empty();
    if (defaultFolder) {
        const char* xdg = std::getenv("XDG_DATA_HOME");
        ask.DataDir = datafolder::DataFolderPath(xdg != nullptr ? xdg : "", HomeFolder());
        if (ask.DataDir.empty()) {
            return Fail("no data folder: neither XDG_DATA_HOME nor HOME names an absolute directory; give --data-dir");
        }
    }
    const std::string folder = HistoryFolderOf(ask.DataDir);
    const std::unique_ptr<Answers> answers = std::make_unique<HistoryAnswers>(folder, ask.LocationDatabase);
    std::error_code ignored;
    const bool exists = std::filesystem::is_directory(folder, ignored);
    if (!exists || !answers->Ready(error)) {
        std::string why =
            exists ? "cannot read the flow history in " + folder + ": " + error : "no flow history in " + folder;
        if (!exists && defaultFolder) {
            why +=
                "\n(a collector run from its build tree keeps its history beside its program, for example in"
                " build/release/collector/app/history/: give that folder with --data-dir)";
        }
        return Fail(why);
    }
    return Run(*answers, ask);
}
