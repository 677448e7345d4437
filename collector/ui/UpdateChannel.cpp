#include "UpdateChannel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QString>
#include <algorithm>
#include <utility>

#include "MemoView.h"

namespace {

// After a burst the lists keep their entries; beyond this many they are handed back.
constexpr std::size_t kRetainedEntries = 65536;

}  // namespace

UpdateChannel::UpdateChannel(const UpdateTargets& Targets, UpdateChannelOptions Options, QObject* Parent)
    : QObject(Parent), mTargets(Targets), mOptions(std::move(Options)) {
    if (mOptions.MemoLineBound < 1) mOptions.MemoLineBound = 1;
    if (mOptions.DrainDelayMs < 0) mOptions.DrainDelayMs = 0;
    mPending.Reset();
    mBatch.Reset();
    mHeld.Reset();
    if (mTargets.Memo != nullptr) mTargets.Memo->setLineBound(mOptions.MemoLineBound);
    mDrainTimer.setSingleShot(true);
    mDrainTimer.setInterval(mOptions.DrainDelayMs);
    connect(&mDrainTimer, &QTimer::timeout, this, &UpdateChannel::Drain);
}

UpdateChannel::~UpdateChannel() = default;

void UpdateChannel::SetCaption(Caption Control, std::string_view Text) { Post(Kind::Caption, Control, Text); }

void UpdateChannel::AddMemoLine(std::string_view Line) { Post(Kind::MemoLine, Caption{}, Line); }

void UpdateChannel::Beep() { Post(Kind::Beep, Caption{}, {}); }

UpdateChannel::Update& UpdateChannel::UpdateList::Slot(Kind What, Caption Control) {
    int* captionAt = What == Kind::Caption ? &CaptionAt[static_cast<std::size_t>(Control)] : nullptr;
    if (captionAt != nullptr && *captionAt >= 0) return Entries[static_cast<std::size_t>(*captionAt)];
    if (Count == Entries.size()) Entries.emplace_back();
    if (captionAt != nullptr) *captionAt = static_cast<int>(Count);
    Update& entry = Entries[Count++];
    entry.What = What;
    entry.Control = Control;
    return entry;
}

void UpdateChannel::UpdateList::Reset() {
    Count = 0;
    CaptionAt.fill(-1);
}

void UpdateChannel::BeginBatch() {
    std::thread::id nobody;
    // Only one thread holds updates back at a time; any other posts as usual.
    mHoldingThread.compare_exchange_strong(nobody, std::this_thread::get_id());
}

void UpdateChannel::EndBatch() {
    if (mHoldingThread.load(std::memory_order_relaxed) != std::this_thread::get_id()) return;
    bool schedule = false;
    if (mHeld.Count > 0) {
        std::lock_guard<std::mutex> lock(mMutex);
        for (std::size_t i = 0; i < mHeld.Count; ++i) {
            Update& held = mHeld.Entries[i];
            // The texts trade buffers, so nothing is copied or allocated.
            std::swap(mPending.Slot(held.What, held.Control).Text, held.Text);
        }
        schedule = !mDrainScheduled;
        mDrainScheduled = true;
    }
    mHeld.Reset();
    mHoldingThread.store(std::thread::id{});
    if (schedule) QMetaObject::invokeMethod(this, &UpdateChannel::ScheduleDrain, Qt::QueuedConnection);
}

void UpdateChannel::Post(Kind What, Caption Control, std::string_view Text) {
    if (mHoldingThread.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        // Reuses the buffer an earlier update left in the entry.
        mHeld.Slot(What, Control).Text.assign(Text);
        return;
    }
    bool schedule = false;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mPending.Slot(What, Control).Text.assign(Text);
        schedule = !mDrainScheduled;
        mDrainScheduled = true;
    }
    // Only the first update after a drain wakes the main thread; the rest ride along.
    if (schedule) QMetaObject::invokeMethod(this, &UpdateChannel::ScheduleDrain, Qt::QueuedConnection);
}

void UpdateChannel::ScheduleDrain() {
    if (mDrainTimer.interval() == 0) {
        Drain();
    } else if (!mDrainTimer.isActive()) {
        mDrainTimer.start();
    }
}

void UpdateChannel::Drain() {
    mDrainTimer.stop();
    {
        std::lock_guard<std::mutex> lock(mMutex);
        std::swap(mPending, mBatch);
        mPending.Reset();
        mDrainScheduled = false;
    }
    if (mBatch.Count == 0) return;
    QElapsedTimer busy;
    busy.start();
    Apply(mBatch);
    mBatch.Count = 0;
    // However fast updates come, the main thread spends at most about half its time applying
    // them: the next drain waits at least as long as this one took, and the batch grows meanwhile.
    mDrainTimer.setInterval(std::max<qint64>(mOptions.DrainDelayMs, busy.elapsed()));
    if (mBatch.Entries.size() > kRetainedEntries) std::vector<Update>().swap(mBatch.Entries);
    if (mLines.capacity() > kRetainedEntries) std::vector<std::string_view>().swap(mLines);
}

void UpdateChannel::Apply(const UpdateList& Batch) {
    // The whole batch is applied before the window paints again, so applying only the last
    // caption of each label and the lines in one go looks exactly like applying every update in
    // turn.
    std::array<const std::string*, kCaptionCount> captions{};
    bool beep = false;
    for (std::size_t i = 0; i < Batch.Count; ++i) {
        const Update& item = Batch.Entries[i];
        switch (item.What) {
            case Kind::Caption:
                captions[static_cast<std::size_t>(item.Control)] = &item.Text;
                break;
            case Kind::MemoLine:
                mLines.emplace_back(item.Text);
                break;
            case Kind::Beep:
                beep = true;
                break;
        }
    }

    if (mTargets.Memo != nullptr) mTargets.Memo->appendLines(mLines);
    mLines.clear();

    for (std::size_t i = 0; i < kCaptionCount; ++i) {
        QLabel* label = mTargets.Labels[i];
        if (captions[i] == nullptr || label == nullptr) continue;
        label->setText(QString::fromLatin1(captions[i]->data(), static_cast<qsizetype>(captions[i]->size())));
        // The labels fit their caption, as at design time.
        label->adjustSize();
    }

    // Beeps issued close together would sound as one anyway.
    if (beep) {
        if (mOptions.BeepSound) {
            mOptions.BeepSound();
        } else {
            QApplication::beep();
        }
    }
}
