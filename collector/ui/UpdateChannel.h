#pragma once

#include <QObject>
#include <QTimer>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "WindowUpdates.h"

class QLabel;
class MemoView;

// The widgets an UpdateChannel writes to; all of them belong to the main thread.
struct UpdateTargets {
    std::array<QLabel*, kCaptionCount> Labels{};
    MemoView* Memo = nullptr;
};

struct UpdateChannelOptions {
    // The memo keeps at most this many lines, the newest. A collector left running for days
    // would otherwise grow the memo until memory runs out.
    int MemoLineBound = 100000;
    // How long the first update after a drain waits for company before the main thread applies
    // the batch. Zero drains at the next turn of the event loop. A drain that took longer than
    // this stretches the wait before the next one to its own duration.
    int DrainDelayMs = 20;
    // Sounds the beep; the application's default beep when empty.
    std::function<void()> BeepSound;
};

// Carries window updates from any thread to the main thread. Posting only copies the text into a
// pending list; the main thread takes the whole list at once and applies it in one go, so a flood
// of flow lines costs one memo update and one repaint per drain instead of one per line. Updates
// keep their issue order, and each caption and line arrives whole. The two lists trade places at
// every drain and keep their entries' text buffers, so a steady flow of updates allocates
// nothing: no memory passes from one thread to the other.
class UpdateChannel : public QObject, public WindowUpdates {
    Q_OBJECT

  public:
    UpdateChannel(const UpdateTargets& Targets, UpdateChannelOptions Options = {}, QObject* Parent = nullptr);
    ~UpdateChannel() override;

    void SetCaption(Caption Control, std::string_view Text) override;
    void AddMemoLine(std::string_view Line) override;
    void AddMemoFlow(const flowlines::DisplayFlow& Flow) override;
    void Beep() override;
    void BeginBatch() override;
    void EndBatch() override;

    // Applies everything posted so far. Main thread only.
    void Drain();

    // Memo lines that never reached the window because newer ones pushed them out of the
    // pending list while the main thread was busy; they stay in the CSV file. Any thread.
    std::uint64_t LinesDroppedFromWindow() const { return LinesDropped_.load(std::memory_order_relaxed); }

  private:
    enum class Kind : unsigned char { Caption, MemoLine, MemoFlow, Beep };

    // One update as posted; Flow only for a MemoFlow.
    struct Update {
        Kind What;
        Caption Control{};
        std::string_view Text;
        const flowlines::DisplayFlow* Flow = nullptr;
    };

    // What is still to be applied: the last caption of each label, the newest memo lines in a
    // ring of at most the memo's bound, and whether to beep. The memo keeps only that many lines,
    // so a line pushed out here is one the window would have dropped anyway: the list stays
    // bounded however long the main thread is held up, and what the window shows is the same.
    // Buffers are kept from use to use.
    struct UpdateList {
        std::array<std::string, kCaptionCount> Captions;
        std::array<bool, kCaptionCount> HasCaption{};
        bool Beep = false;
        std::vector<MemoLine> Lines;
        std::size_t Head = 0;  // the oldest line, once the ring is full
        std::size_t LineCount = 0;
        std::size_t Bound = 1;

        // The entry that is to carry a new line at the end; the oldest line's, when the ring is
        // full, which counts one more in Dropped.
        MemoLine& NewLine(std::uint64_t& Dropped);
        const MemoLine& LineAt(std::size_t Index) const { return Lines[(Head + Index) % Lines.size()]; }
        bool Empty() const;
        void Reset();
    };

    void Post(const Update& What);
    // Puts one update into List, replacing what it supersedes.
    static void Put(UpdateList& List, const Update& What, std::uint64_t& Dropped);
    void ScheduleDrain();
    void Apply(const UpdateList& Batch);

    UpdateTargets Targets_;
    UpdateChannelOptions Options_;
    QTimer DrainTimer_;

    std::mutex Mutex_;
    UpdateList Pending_;           // guarded by Mutex_
    bool DrainScheduled_ = false;  // guarded by Mutex_

    // The thread inside BeginBatch/EndBatch, and what it has posted since; only that thread
    // touches Held_.
    std::atomic<std::thread::id> HoldingThread_{};
    UpdateList Held_;

    // Main thread only: the list being applied, and the memo lines found in it.
    UpdateList Batch_;
    std::vector<const MemoLine*> Lines_;

    std::atomic<std::uint64_t> LinesDropped_{0};
};
