#pragma once

// Every flow the collector keeps also goes to a ClickHouse server: a consumer of the collector's
// flows packs them into batches of binary rows, and a sender thread of its own posts them. What
// cannot be sent in time, because the server is slow, away or refuses, waits in a spool folder
// and goes in order once the server takes it again; neither the listener nor the other consumers
// ever wait on the server.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ClickHouseClient.h"
#include "ClickHouseSpool.h"
#include "FlowConsumer.h"
#include "FlowHandOver.h"

namespace clickhouse {

enum class ExportState {
    Connecting,   // nothing answered yet
    Up,           // the last batch went in
    Unreachable,  // no connection, or the server broke off: retried every few seconds
    Refused       // the server answered no: retried less often, in case the operator mends it
};

// For the status bar and standard error. Any thread.
struct ExportStatus {
    ExportState State = ExportState::Connecting;
    Failure Why = Failure::None;  // with Refused: credentials, database, or Refused (table, server)
    bool TableMismatch = false;   // Refused because the flows table does not fit the rows
    std::int64_t NowMs = 0;
    std::int64_t SinceMs = 0;        // when the state began
    std::int64_t BehindMs = 0;       // age of the oldest flow not yet in the server
    std::uint64_t SpooledBytes = 0;  // waiting on disk
    std::uint64_t FlowsSent = 0;     // since start
    std::uint64_t FlowsDropped = 0;  // since start: past the spool's bound, or not taken in time
    std::string Problem;             // what the server or the connection said; empty when up
    std::string Server;              // the endpoint, without credentials
};

// "ClickHouse: up, 0.4 s behind", "ClickHouse: unreachable since 14:02, 120 MB spooled", ...
std::string StatusText(const ExportStatus& Status);

struct ExportOptions {
    Endpoint Server;
    std::string SpoolFolder;                   // made when missing
    std::uint64_t SpoolMaxBytes = 1000000000;  // 1 GB, as the status bar counts
    std::size_t BatchFlows = 50000;            // a batch goes when it holds this many flows...
    std::int64_t BatchMs = 1000;               // ...or when its first flow has waited this long
    std::int64_t RetryMs = 1000;               // after a failure; doubles up to RetryMaxMs
    std::int64_t RetryMaxMs = 5000;
    std::int64_t RefusedRetryMs = 10000;  // after the server said no
    std::int64_t StopGraceMs = 3000;      // at the end, for what is in memory before it is spooled
    long RequestTimeoutMs = 60000;
    std::function<std::int64_t()> NowMs;          // the clock (ms since 1970); tests pass their own
    std::function<void(const std::string&)> Say;  // episodes; the default writes to standard error
};

class Export final : public FlowConsumer {
  public:
    explicit Export(ExportOptions Options);
    ~Export() override;
    Export(const Export&) = delete;
    Export& operator=(const Export&) = delete;

    // Opens the spool and starts the sender. False with Error set when the spool folder cannot be
    // used: then nothing is exported (the CSV and the history go on).
    bool Start(std::string& Error);
    // After the consumer's thread has ended: the last batch is closed, what is in memory is sent
    // within the grace time or spooled, and the sender ends. What the spool holds then waits for
    // the next start.
    void Finish();

    // Consumer thread.
    void Consume(const FlowBatch& Batch) override;
    void EndRun() override;

    static ConsumerPacing Pacing();
    // A second of version 5 flows at the export's target rate.
    static constexpr std::size_t kSlots = 16384;
    // The hand-over that feeds this consumer: what it drops counts as dropped. Null before it goes.
    void Watch(const FlowHandOver* Feed);

    ExportStatus Status() const;

  private:
    void Ship();     // consumer thread: the batch being filled goes to the sender or the spool
    void Send();     // the sender thread
    bool Prepare();  // sender: the tables are there and fit
    bool RefuseTable(const char* Table, const std::string& Wrong);  // sender: says why, and false
    void Fail(const Response& Answer, bool Mismatch);
    void Succeeded(const RowBatch& Batch, bool FromSpool);
    void SpoolQueued();  // under Lock_: the memory queue goes to the front of the spool
    void ReportDrops();  // sender: once a minute, what was dropped
    void Say(const std::string& Line) const;
    std::int64_t Now() const;

    ExportOptions Options_;
    std::unique_ptr<Client> Client_;  // sender thread only

    // Consumer thread only.
    RowBatch Filling_;
    std::int64_t FillingSinceMs_ = 0;
    std::atomic<std::int64_t> FillingFirstMs_{0};  // read by Status(); 0 when empty

    mutable std::mutex Lock_;
    std::condition_variable Wake_;
    // Batches due before everything spooled: a batch joins this queue only while the spool is
    // empty, so the queue is always older than the spool.
    std::deque<RowBatch> Queue_;
    Spool Spool_;
    bool Finishing_ = false;
    bool Stop_ = false;
    bool SenderDone_ = false;
    std::atomic<bool> Abort_{false};  // a request still running when the end's grace is over
    ExportState State_ = ExportState::Connecting;
    Failure Why_ = Failure::None;
    bool Mismatch_ = false;
    std::int64_t SinceMs_ = 0;
    std::string Problem_;
    std::uint64_t FlowsSent_ = 0;
    std::uint64_t SpoolFullDropped_ = 0;  // since start
    std::uint64_t SentFromSpool_ = 0;     // in the current catching up
    std::int64_t InFlightFirstMs_ = 0;    // of the batch being sent; 0 when none is
    const FlowHandOver* Feed_ = nullptr;
    std::uint64_t FeedDroppedBefore_ = 0;  // by hand-overs no longer watched

    // Sender thread only.
    bool Ready_ = false;
    std::uint64_t ReportedSpoolFull_ = 0;
    std::uint64_t ReportedFeedDropped_ = 0;
    std::int64_t LastReportMinute_ = 0;
    std::thread Sender_;
};

}  // namespace clickhouse
