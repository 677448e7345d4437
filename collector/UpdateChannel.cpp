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
    mPending.CaptionAt.fill(-1);
    mBatch.CaptionAt.fill(-1);
    if (mTargets.Memo != nullptr) mTargets.Memo->setLineBound(mOptions.MemoLineBound);
    mDrainTimer.setSingleShot(true);
    mDrainTimer.setInterval(mOptions.DrainDelayMs);
    connect(&mDrainTimer, &QTimer::timeout, this, &UpdateChannel::Drain);
}

UpdateChannel::~UpdateChannel() = default;

void UpdateChannel::SetCaption(Caption Control, std::string_view Text) { Post(Kind::Caption, Control, Text); }

void UpdateChannel::AddMemoLine(std::string_view Line) { Post(Kind::MemoLine, Caption{}, Line); }

void UpdateChannel::Beep() { Post(Kind::Beep, Caption{}, {}); }

void UpdateChannel::Post(Kind What, Caption Control, std::string_view Text) {
    bool schedule = false;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        UpdateList& list = mPending;
        int* captionAt = What == Kind::Caption ? &list.CaptionAt[static_cast<std::size_t>(Control)] : nullptr;
        if (captionAt != nullptr && *captionAt >= 0) {
            list.Entries[static_cast<std::size_t>(*captionAt)].Text.assign(Text);
        } else {
            if (list.Count == list.Entries.size()) list.Entries.emplace_back();
            if (captionAt != nullptr) *captionAt = static_cast<int>(list.Count);
            Update& entry = list.Entries[list.Count++];
            entry.What = What;
            entry.Control = Control;
            // Reuses the buffer an earlier update left in this entry.
            entry.Text.assign(Text);
        }
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
        mPending.Count = 0;
        mPending.CaptionAt.fill(-1);
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
