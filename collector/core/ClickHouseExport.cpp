#include "ClickHouseExport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "ClickHouseSchema.h"
#include "HistoryStore.h"
#include "StatusWords.h"

namespace clickhouse {

namespace {

// Batches in memory between the consumer and the sender: enough to keep the sender busy while the
// next one fills, few enough that a server going away leaves little to move to disk.
constexpr std::size_t kQueueDepth = 4;
constexpr std::int64_t kMinuteMs = 60000;

std::string Duration(std::int64_t Ms) {
    if (Ms < 120000) return std::to_string(std::max<std::int64_t>(Ms, 0) / 1000) + " s";
    if (Ms < 2 * 3600000) return std::to_string(Ms / kMinuteMs) + " min";
    return std::to_string(Ms / 3600000) + " h";
}

std::string Behind(std::int64_t Ms) {
    if (Ms < 10000) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(std::max<std::int64_t>(Ms, 0)) / 1000.0);
        return text;
    }
    return Duration(Ms);
}

std::string RefusalWord(const ExportStatus& S) {
    if (S.Why == Failure::Credentials) return "user or password";
    if (S.Why == Failure::Database) return "unknown database";
    if (S.TableMismatch) return "table does not match";
    return "server error";
}

}  // namespace

std::string StatusText(const ExportStatus& S) {
    std::string text;
    switch (S.State) {
        case ExportState::Connecting:
            text = "ClickHouse: connecting";
            break;
        case ExportState::Up:
            text = "ClickHouse: up, " + Behind(S.BehindMs) + " behind";
            break;
        case ExportState::Unreachable:
            text = "ClickHouse: unreachable since " + statuswords::LocalClock(S.SinceMs, "%H:%M");
            break;
        case ExportState::Refused:
            text = "ClickHouse: refused since " + statuswords::LocalClock(S.SinceMs, "%H:%M") + " (" + RefusalWord(S) +
                   ")";
            break;
    }
    if (S.SpooledBytes > 0) text += ", " + history::SizeText(S.SpooledBytes) + " spooled";
    if (S.FlowsDropped > 0) text += ", " + statuswords::Grouped(S.FlowsDropped) + " flows dropped";
    return text;
}

Export::Export(ExportOptions Options)
    : Options_(std::move(Options)),
      Spool_(Options_.SpoolFolder, Options_.SpoolMaxBytes, [this](const std::string& Line) { Say(Line); }) {
    if (!Options_.NowMs) Options_.NowMs = statuswords::SystemNowMs;
    if (!Options_.Say) Options_.Say = statuswords::SayOnStandardError;
    SinceMs_ = Now();
}

Export::~Export() {
    {
        const std::lock_guard<std::mutex> lock(Lock_);
        Stop_ = true;
    }
    Wake_.notify_all();
    if (Sender_.joinable()) Sender_.join();
}

std::int64_t Export::Now() const { return Options_.NowMs(); }

void Export::Say(const std::string& Line) const { Options_.Say(Line); }

ConsumerPacing Export::Pacing() {
    // Packing rows costs little; the sender and the server do the work. So the consumer runs at
    // the listener's own priority, and the hand-over absorbs the moments it is held up.
    ConsumerPacing pacing;
    pacing.PeriodMs = 20;
    pacing.BatchesPerRun = 256;
    return pacing;
}

bool Export::Start(std::string& Error) {
    {
        const std::lock_guard<std::mutex> lock(Lock_);
        if (!Spool_.Open(Error)) return false;
    }
    Client_ = std::make_unique<Client>(Options_.Server, Options_.RequestTimeoutMs);
    Client_->AbortWhen([this] { return Abort_.load(std::memory_order_relaxed); });
    Say("ClickHouse: sending flows to " + Options_.Server.Display());
    if (!Spool_.Empty()) {
        Say("ClickHouse: " + statuswords::Grouped(Spool_.Flows()) + " flows wait in " + Spool_.Folder() +
            " from an earlier run; they go first");
    }
    Sender_ = std::thread([this] {
        Send();
        {
            const std::lock_guard<std::mutex> lock(Lock_);
            SenderDone_ = true;
        }
        Wake_.notify_all();
    });
    return true;
}

void Export::Watch(const FlowHandOver* Feed) {
    const std::lock_guard<std::mutex> lock(Lock_);
    if (Feed_ != nullptr) FeedDroppedBefore_ += Feed_->RecordsDropped();
    Feed_ = Feed;
}

void Export::Consume(const FlowBatch& Batch) {
    for (const FlowRecord& flow : Batch) {
        if (Filling_.Flows == 0) {
            Filling_.Rows.reserve(Options_.BatchFlows * RowSize());
            Filling_.FirstReceivedMs = flow.ReceivedMs;
            FillingSinceMs_ = Now();
            FillingFirstMs_.store(flow.ReceivedMs, std::memory_order_relaxed);
        }
        AppendRow(Filling_.Rows, flow);
        if (++Filling_.Flows >= Options_.BatchFlows) Ship();
    }
}

void Export::EndRun() {
    if (Filling_.Flows > 0 && Now() - FillingSinceMs_ >= Options_.BatchMs) Ship();
}

void Export::Ship() {
    RowBatch batch = std::move(Filling_);
    Filling_ = RowBatch();
    FillingFirstMs_.store(0, std::memory_order_relaxed);
    {
        const std::lock_guard<std::mutex> lock(Lock_);
        if (Spool_.Empty() && Queue_.size() < kQueueDepth) {
            Queue_.push_back(std::move(batch));
        } else if (!Spool_.PushBack(batch)) {
            SpoolFullDropped_ += batch.Flows;
        }
    }
    Wake_.notify_all();
}

void Export::SpoolQueued() {
    // Newest first, each before the ones already there, so that the spool keeps the order.
    while (!Queue_.empty()) {
        if (!Spool_.PushFront(Queue_.back())) SpoolFullDropped_ += Queue_.back().Flows;
        Queue_.pop_back();
    }
}

bool Export::Prepare() {
    const Response listing = Client_->Execute(DescribeStatement());
    if (!listing.Ok()) {
        if (!listing.Aborted) Fail(listing, false);
        return false;
    }
    bool exists = false;
    const std::string wrong = Mismatch(listing.Body, exists);
    if (exists && !wrong.empty()) return RefuseTable(kFlowsTable, wrong);
    // The view fills the minute sums by name: on a table of other columns the server may keep a
    // batch's flows and still answer with an error, and every retry would add them again.
    const Response minutes = Client_->Execute(DescribeStatement(kMinuteTable));
    if (!minutes.Ok()) {
        if (!minutes.Aborted) Fail(minutes, false);
        return false;
    }
    bool minutesExist = false;
    const std::string wrongMinutes = Mismatch(minutes.Body, minutesExist, MinuteColumns());
    if (minutesExist && !wrongMinutes.empty()) return RefuseTable(kMinuteTable, wrongMinutes);
    // Also when the flows table is there: the summaries may have been dropped since.
    for (const std::string& statement : CreateStatements()) {
        const Response made = Client_->Execute(statement);
        if (!made.Ok()) {
            if (!made.Aborted) Fail(made, false);
            return false;
        }
    }
    if (!exists) Say("ClickHouse: made the tables flows, flows_minute and flows_minute_mv");
    Ready_ = true;
    const std::lock_guard<std::mutex> lock(Lock_);
    if (State_ == ExportState::Connecting) {
        State_ = ExportState::Up;
        SinceMs_ = Now();
    }
    return true;
}

bool Export::RefuseTable(const char* Table, const std::string& Wrong) {
    Response refusal;
    refusal.Fault = Failure::Refused;
    refusal.Body = "the table " + std::string(Table) + " does not match (" + Wrong + ")";
    Fail(refusal, true);
    return false;
}

void Export::Fail(const Response& Answer, bool Mismatch) {
    Ready_ = false;
    const ExportState state = Answer.Fault == Failure::Unreachable ? ExportState::Unreachable : ExportState::Refused;
    std::string line;
    {
        const std::lock_guard<std::mutex> lock(Lock_);
        const bool same = state == State_ && Answer.Fault == Why_ && Mismatch == Mismatch_;
        Problem_ = Answer.Error();
        if (same) return;
        if (State_ == ExportState::Up || State_ == ExportState::Connecting) SinceMs_ = Now();
        State_ = state;
        Why_ = Answer.Fault;
        Mismatch_ = Mismatch;
        std::string what;
        if (state == ExportState::Unreachable) {
            what = "unreachable (" + Problem_ + ")";
        } else if (Answer.Fault == Failure::Credentials) {
            what = "refused: wrong user or password (" + Problem_ + ")";
        } else if (Answer.Fault == Failure::Database) {
            what = "refused: unknown database (" + Problem_ + ")";
        } else {
            what = "refused: " + Problem_;
        }
        line = "ClickHouse: " + what + "; flows wait in " + Spool_.Folder();
    }
    Say(line);
}

void Export::Succeeded(const RowBatch& Batch, bool FromSpool) {
    std::string line;
    std::string spoolLine;
    {
        const std::lock_guard<std::mutex> lock(Lock_);
        const std::int64_t now = Now();
        if (State_ == ExportState::Unreachable) {
            line = "ClickHouse: reachable again after " + Duration(now - SinceMs_);
        } else if (State_ == ExportState::Refused) {
            line = "ClickHouse: accepting flows again after " + Duration(now - SinceMs_);
        }
        if (State_ != ExportState::Up) SinceMs_ = now;
        State_ = ExportState::Up;
        Why_ = Failure::None;
        Mismatch_ = false;
        Problem_.clear();
        FlowsSent_ += Batch.Flows;
        if (FromSpool) {
            Spool_.PopFront();
            SentFromSpool_ += Batch.Flows;
            if (Spool_.Empty()) {
                spoolLine = "ClickHouse: spool sent, " + statuswords::Grouped(SentFromSpool_) + " flows from it";
                SentFromSpool_ = 0;
            }
        }
    }
    if (!line.empty()) Say(line);
    if (!spoolLine.empty()) Say(spoolLine);
}

void Export::ReportDrops() {
    const std::int64_t now = Now();
    const std::int64_t minute = now / kMinuteMs;
    if (LastReportMinute_ == 0) LastReportMinute_ = minute;
    if (minute == LastReportMinute_) return;
    LastReportMinute_ = minute;
    std::uint64_t spoolFull = 0;
    std::uint64_t feed = 0;
    {
        const std::lock_guard<std::mutex> lock(Lock_);
        spoolFull = SpoolFullDropped_;
        feed = FeedDroppedBefore_ + (Feed_ != nullptr ? Feed_->RecordsDropped() : 0);
    }
    const std::string to = statuswords::LocalClock(minute * kMinuteMs, "%H:%M");
    if (spoolFull > ReportedSpoolFull_) {
        Say("ClickHouse: spool full (" + history::SizeText(Options_.SpoolMaxBytes) +
            "): " + statuswords::Grouped(spoolFull - ReportedSpoolFull_) + " flows dropped in the minute to " + to);
    }
    if (feed > ReportedFeedDropped_) {
        Say("ClickHouse: " + statuswords::Grouped(feed - ReportedFeedDropped_) +
            " flows not taken in time, dropped in the minute to " + to);
    }
    ReportedSpoolFull_ = spoolFull;
    ReportedFeedDropped_ = feed;
}

void Export::Send() {
    std::int64_t retryMs = Options_.RetryMs;
    std::int64_t finishBy = 0;
    for (;;) {
        ReportDrops();
        RowBatch batch;
        bool fromSpool = false;
        {
            std::unique_lock<std::mutex> lock(Lock_);
            if (Stop_) return;
            if (Finishing_) {
                // Only what is in memory, and only while the server takes it: the spool keeps
                // the rest for the next start.
                if (finishBy == 0) finishBy = Now() + Options_.StopGraceMs;
                if (!Ready_ || Queue_.empty() || State_ == ExportState::Unreachable || State_ == ExportState::Refused ||
                    Now() >= finishBy) {
                    return;
                }
            } else if (Ready_ && Queue_.empty() && Spool_.Empty()) {
                Wake_.wait_for(lock, std::chrono::seconds(1),
                               [this] { return Stop_ || Finishing_ || !Queue_.empty() || !Spool_.Empty(); });
                continue;
            }
        }
        bool sent = false;
        if (Ready_ || Prepare()) {
            {
                const std::lock_guard<std::mutex> lock(Lock_);
                if (!Queue_.empty()) {
                    batch = std::move(Queue_.front());
                    Queue_.pop_front();
                } else if (Spool_.Front(batch)) {
                    fromSpool = true;
                }
                InFlightFirstMs_ = batch.FirstReceivedMs;
            }
            if (batch.Flows == 0 && !fromSpool) {
                sent = true;  // nothing waited: the tables were only made ready
            } else {
                const Response answer = Client_->Insert(kFlowsTable, FlowColumnList(), batch.Rows);
                {
                    const std::lock_guard<std::mutex> lock(Lock_);
                    InFlightFirstMs_ = 0;
                }
                if (answer.Ok()) {
                    Succeeded(batch, fromSpool);
                    sent = true;
                } else {
                    // Broken off at the end: the batch waits for the next start, and that is no
                    // episode of the server's.
                    if (!answer.Aborted) Fail(answer, false);
                    if (!fromSpool) {
                        const std::lock_guard<std::mutex> lock(Lock_);
                        SpoolQueued();
                        if (!Spool_.PushFront(batch)) SpoolFullDropped_ += batch.Flows;
                    }
                }
            }
        }
        if (sent) {
            retryMs = Options_.RetryMs;
            continue;
        }
        // Whatever was in memory waits on disk until the server answers again.
        std::int64_t waitMs = retryMs;
        {
            std::unique_lock<std::mutex> lock(Lock_);
            SpoolQueued();
            if (State_ == ExportState::Refused) {
                waitMs = Options_.RefusedRetryMs;
            } else {
                retryMs = std::min(retryMs * 2, Options_.RetryMaxMs);
            }
            if (Finishing_) return;
            Wake_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return Stop_ || Finishing_; });
        }
    }
}

void Export::Finish() {
    if (Filling_.Flows > 0) Ship();
    {
        std::unique_lock<std::mutex> lock(Lock_);
        Finishing_ = true;
        Wake_.notify_all();
        // A slow server may hold a request for its whole time-out: past the grace it is broken off,
        // so that the collector ends in time and the batch waits in the spool.
        if (Sender_.joinable() &&
            !Wake_.wait_for(lock, std::chrono::milliseconds(Options_.StopGraceMs), [this] { return SenderDone_; })) {
            Abort_ = true;
        }
    }
    if (Sender_.joinable()) Sender_.join();
    std::uint64_t left = 0;
    {
        const std::lock_guard<std::mutex> lock(Lock_);
        SpoolQueued();
        left = Spool_.Flows();
    }
    ReportDrops();
    if (left > 0) Say("ClickHouse: " + statuswords::Grouped(left) + " flows left in the spool for the next start");
}

ExportStatus Export::Status() const {
    ExportStatus status;
    const std::lock_guard<std::mutex> lock(Lock_);
    status.State = State_;
    status.Why = Why_;
    status.TableMismatch = Mismatch_;
    status.NowMs = Now();
    status.SinceMs = SinceMs_;
    status.SpooledBytes = Spool_.Bytes();
    status.FlowsSent = FlowsSent_;
    status.FlowsDropped = SpoolFullDropped_ + FeedDroppedBefore_ + (Feed_ != nullptr ? Feed_->RecordsDropped() : 0);
    status.Problem = Problem_;
    status.Server = Options_.Server.Display();
    std::int64_t oldest = InFlightFirstMs_;
    if (oldest == 0 && !Queue_.empty()) oldest = Queue_.front().FirstReceivedMs;
    if (oldest == 0 && !Spool_.Empty()) oldest = Spool_.OldestReceivedMs();
    if (oldest == 0) oldest = FillingFirstMs_.load(std::memory_order_relaxed);
    status.BehindMs = oldest > 0 ? std::max<std::int64_t>(0, status.NowMs - oldest) : 0;
    return status;
}

}  // namespace clickhouse
