#pragma once

// The Traffic window's questions to the flow history, answered on a thread of their own: a span
// of days may take seconds to read, and the window must go on painting meanwhile.

#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FlowFilter.h"
#include "FlowRecord.h"
#include "HistoryQuery.h"
#include "TrafficAggregator.h"

// Runs one job at a time. Only the newest job matters: queuing one cancels the job that runs and
// drops one that waits, so a window whose operator changes their mind three times reads once.
// While the runner lives, every job queued is answered by exactly one Finished, on its thread.
class HistoryRunner : public QObject {
    Q_OBJECT

  public:
    // Gets the control to follow and to stop it by: a job must look at Cancelled() often, since
    // closing the window waits for it.
    using Job = std::function<void(const history::QueryControl& Control)>;

    explicit HistoryRunner(QObject* Parent = nullptr);
    // Cancels what runs and waits for it.
    ~HistoryRunner() override;
    HistoryRunner(const HistoryRunner&) = delete;
    HistoryRunner& operator=(const HistoryRunner&) = delete;

    // Returns the job's number, from 1 on.
    quint64 Run(Job Work);
    // Cancels the job that runs and drops the one that waits.
    void Cancel();
    // Whether a job runs or waits.
    bool Busy() const;

  signals:
    // Done from 0 to 1, at most a hundred times per job.
    void Progress(quint64 Job, double Done);
    // Cancelled: the job was asked to stop (it may have finished anyway). Error: what escaped it.
    void Finished(quint64 Job, bool Cancelled, const QString& Error);

  private:
    void Work();
    void Dropped(quint64 Id);

    mutable std::mutex Lock_;
    std::condition_variable Wake_;
    Job Waiting_;            // guarded by Lock_
    quint64 WaitingId_ = 0;  // guarded by Lock_; 0 while none waits
    quint64 RunningId_ = 0;  // guarded by Lock_; 0 while none runs
    quint64 LastId_ = 0;     // guarded by Lock_
    bool Stopping_ = false;  // guarded by Lock_
    // Set by Run and Cancel for the job that runs; cleared under Lock_ as the next one starts.
    std::atomic<bool> CancelRunning_{false};
    std::thread Thread_;
};

// What the Traffic window asks the history about one span.
struct HistoryQuestion {
    std::string Folder;
    history::Span Range;
    // Top tables, totals and chart besides the flows; a new filter alone asks for the flows only.
    bool Overview = true;
    FlowFilter Filter;  // of the flow table only, as on the live spans
    std::uint64_t FlowLimit = 100000;
    std::size_t TopRows = TrafficAggregator::kTopRows;
    // Where the countries and AS numbers come from; empty: none, and their tables stay empty.
    std::string LocationDatabase;
};

// The answer in the form the live views take, so that the same models show both.
struct HistoryAnswer {
    history::Span Range;
    bool Overview = false;
    std::array<TalkerTop, kTalkerKinds> Tops;
    // The row that sums every key the summaries did not keep on its own; -1 without one.
    std::array<int, kTalkerKinds> OtherRow = [] {
        std::array<int, kTalkerKinds> none{};
        none.fill(-1);
        return none;
    }();
    // False when any table came from the minute and hour summaries rather than from every flow.
    bool Exact = true;
    TrafficTotals Totals;
    std::vector<TrafficTotals> Series;  // one per step, oldest first
    std::int64_t SeriesStartMs = 0;
    std::int64_t StepMs = 0;
    std::vector<FlowRecord> Flows;  // oldest first
    bool FlowsTruncated = false;    // more flows matched than the limit
    bool Cancelled = false;
    std::string Error;  // empty on success
};

// Scaled bytes and packets, as the live views count.
TrafficTotals ToTrafficTotals(const history::Totals& Sums);

// Asks Question on the calling thread and fills Answer; stops early at the first error or when
// Control is cancelled.
void AskHistory(const HistoryQuestion& Question, const history::QueryControl& Control, HistoryAnswer& Answer);
