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
    for (UpdateList* list : {&mPending, &mBatch, &mHeld}) {
        list->Bound = static_cast<std::size_t>(mOptions.MemoLineBound);
        list->Reset();
    }
    if (mTargets.Memo != nullptr) mTargets.Memo->setLineBound(mOptions.MemoLineBound);
    mDrainTimer.setSingleShot(true);
    mDrainTimer.setInterval(mOptions.DrainDelayMs);
    connect(&mDrainTimer, &QTimer::timeout, this, &UpdateChannel::Drain);
}

UpdateChannel::~UpdateChannel() = default;

void UpdateChannel::SetCaption(Caption Control, std::string_view Text) { Post(Kind::Caption, Control, Text); }

void UpdateChannel::AddMemoLine(std::string_view Line) { Post(Kind::MemoLine, Caption{}, Line); }

void UpdateChannel::Beep() { Post(Kind::Beep, Caption{}, {}); }

std::string& UpdateChannel::UpdateList::NewLine(std::uint64_t& Dropped) {
    if (LineCount < Lines.size()) return Lines[(Head + LineCount++) % Lines.size()];
    // The ring only wraps once it has grown to its bound, so until then the head is at 0.
    if (Lines.size() < Bound) {
        ++LineCount;
        return Lines.emplace_back();
    }
    std::string& oldest = Lines[Head];
    Head = (Head + 1) % Lines.size();
    ++Dropped;
    return oldest;
}

bool UpdateChannel::UpdateList::Empty() const {
    if (LineCount > 0 || Beep) return false;
    for (bool has : HasCaption) {
        if (has) return false;
    }
    return true;
}

void UpdateChannel::UpdateList::Reset() {
    HasCaption.fill(false);
    Beep = false;
    Head = 0;
    LineCount = 0;
}

void UpdateChannel::Put(UpdateList& List, Kind What, Caption Control, std::string_view Text, std::uint64_t& Dropped) {
    switch (What) {
        case Kind::Caption: {
            // A later caption of the same label overwrites the pending one: the drain would only
            // show the last anyway.
            const auto i = static_cast<std::size_t>(Control);
            List.Captions[i].assign(Text);
            List.HasCaption[i] = true;
            break;
        }
        case Kind::MemoLine:
            List.NewLine(Dropped).assign(Text);
            break;
        case Kind::Beep:
            List.Beep = true;
            break;
    }
}

void UpdateChannel::BeginBatch() {
    std::thread::id nobody;
    // Only one thread holds updates back at a time; any other posts as usual.
    mHoldingThread.compare_exchange_strong(nobody, std::this_thread::get_id());
}

void UpdateChannel::EndBatch() {
    if (mHoldingThread.load(std::memory_order_relaxed) != std::this_thread::get_id()) return;
    bool schedule = false;
    std::uint64_t dropped = 0;
    if (!mHeld.Empty()) {
        std::lock_guard<std::mutex> lock(mMutex);
        // The texts trade buffers, so nothing is copied or allocated.
        for (std::size_t i = 0; i < mHeld.LineCount; ++i) {
            std::swap(mPending.NewLine(dropped), mHeld.Lines[(mHeld.Head + i) % mHeld.Lines.size()]);
        }
        for (std::size_t i = 0; i < kCaptionCount; ++i) {
            if (!mHeld.HasCaption[i]) continue;
            std::swap(mPending.Captions[i], mHeld.Captions[i]);
            mPending.HasCaption[i] = true;
        }
        mPending.Beep = mPending.Beep || mHeld.Beep;
        schedule = !mDrainScheduled;
        mDrainScheduled = true;
    }
    mHeld.Reset();
    mHoldingThread.store(std::thread::id{});
    if (dropped > 0) mLinesDropped.fetch_add(dropped, std::memory_order_relaxed);
    if (schedule) QMetaObject::invokeMethod(this, &UpdateChannel::ScheduleDrain, Qt::QueuedConnection);
}

void UpdateChannel::Post(Kind What, Caption Control, std::string_view Text) {
    std::uint64_t dropped = 0;
    if (mHoldingThread.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        // Reuses the buffer an earlier update left in the entry.
        Put(mHeld, What, Control, Text, dropped);
    } else {
        bool schedule = false;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            Put(mPending, What, Control, Text, dropped);
            schedule = !mDrainScheduled;
            mDrainScheduled = true;
        }
        // Only the first update after a drain wakes the main thread; the rest ride along.
        if (schedule) QMetaObject::invokeMethod(this, &UpdateChannel::ScheduleDrain, Qt::QueuedConnection);
    }
    if (dropped > 0) mLinesDropped.fetch_add(dropped, std::memory_order_relaxed);
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
    if (mBatch.Empty()) return;
    QElapsedTimer busy;
    busy.start();
    Apply(mBatch);
    mBatch.Reset();
    // However fast updates come, the main thread spends at most about half its time applying
    // them: the next drain waits at least as long as this one took, and the batch grows meanwhile.
    mDrainTimer.setInterval(std::max<qint64>(mOptions.DrainDelayMs, busy.elapsed()));
    if (mBatch.Lines.size() > kRetainedEntries) std::vector<std::string>().swap(mBatch.Lines);
    if (mLines.capacity() > kRetainedEntries) std::vector<std::string_view>().swap(mLines);
}

void UpdateChannel::Apply(const UpdateList& Batch) {
    // The whole batch is applied before the window paints again, so applying only the last
    // caption of each label and the lines in one go looks exactly like applying every update in
    // turn.
    for (std::size_t i = 0; i < Batch.LineCount; ++i) mLines.emplace_back(Batch.LineAt(i));
    if (mTargets.Memo != nullptr) mTargets.Memo->appendLines(mLines);
    mLines.clear();

    for (std::size_t i = 0; i < kCaptionCount; ++i) {
        QLabel* label = mTargets.Labels[i];
        if (!Batch.HasCaption[i] || label == nullptr) continue;
        const std::string& caption = Batch.Captions[i];
        label->setText(QString::fromLatin1(caption.data(), static_cast<qsizetype>(caption.size())));
        // The labels fit their caption, as at design time.
        label->adjustSize();
    }

    // Beeps issued close together would sound as one anyway.
    if (Batch.Beep) {
        if (mOptions.BeepSound) {
            mOptions.BeepSound();
        } else {
            QApplication::beep();
        }
    }
}
