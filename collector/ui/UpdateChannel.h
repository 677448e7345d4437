#pragma once

#include <QObject>
#include <QTimer>
#include <array>
#include <atomic>
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
    void Beep() override;
    void BeginBatch() override;
    void EndBatch() override;

    // Applies everything posted so far. Main thread only.
    void Drain();

  private:
    enum class Kind : unsigned char { Caption, MemoLine, Beep };
    struct Update {
        Kind What;
        Caption Control;
        std::string Text;
    };

    // A list of updates whose first Count entries are in use; the rest keep their buffers.
    struct UpdateList {
        std::vector<Update> Entries;
        std::size_t Count = 0;
        // Where each label's pending caption stands, if it has one: a later caption of the same
        // label overwrites it, as the drain would only show the last one anyway.
        std::array<int, kCaptionCount> CaptionAt{};

        // The entry that is to carry an update of this kind: the label's pending caption, or a
        // new entry at the end.
        Update& Slot(Kind What, Caption Control);
        void Reset();
    };

    void Post(Kind What, Caption Control, std::string_view Text);
    void ScheduleDrain();
    void Apply(const UpdateList& Batch);

    UpdateTargets mTargets;
    UpdateChannelOptions mOptions;
    QTimer mDrainTimer;

    std::mutex mMutex;
    UpdateList mPending;           // guarded by mMutex
    bool mDrainScheduled = false;  // guarded by mMutex

    // The thread inside BeginBatch/EndBatch, and what it has posted since; only that thread
    // touches mHeld.
    std::atomic<std::thread::id> mHoldingThread{};
    UpdateList mHeld;

    // Main thread only: the list being applied, and the memo lines found in it.
    UpdateList mBatch;
    std::vector<std::string_view> mLines;
};
