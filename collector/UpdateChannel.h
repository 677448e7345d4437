#pragma once

#include <QObject>
#include <QTimer>
#include <array>
#include <functional>
#include <mutex>
#include <string>
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

// Carries window updates from any thread to the main thread. Posting only appends to a pending
// list; the main thread takes the whole list at once and applies it in one go, so a flood of
// flow lines costs one memo update and one repaint per drain instead of one per line. Updates keep their issue
// order, and each caption and line arrives whole.
class UpdateChannel : public QObject, public WindowUpdates {
    Q_OBJECT

  public:
    UpdateChannel(const UpdateTargets& Targets, UpdateChannelOptions Options = {}, QObject* Parent = nullptr);
    ~UpdateChannel() override;

    void SetCaption(Caption Control, std::string Text) override;
    void AddMemoLine(std::string Line) override;
    void Beep() override;

    // Applies everything posted so far. Main thread only.
    void Drain();

  private:
    enum class Kind : unsigned char { Caption, MemoLine, Beep };
    struct Update {
        Kind What;
        Caption Control;
        std::string Text;
    };

    void Post(Update&& Item);
    void ScheduleDrain();
    void Apply(std::vector<Update>& Batch);

    UpdateTargets mTargets;
    UpdateChannelOptions mOptions;
    QTimer mDrainTimer;

    std::mutex mMutex;
    std::vector<Update> mPending;  // guarded by mMutex
    bool mDrainScheduled = false;  // guarded by mMutex

    // Main thread only. The list being applied, swapped with mPending so both keep their capacity
    // between drains, and the memo lines taken from it.
    std::vector<Update> mBatch;
    std::vector<std::string> mLines;
};
