#include "UpdateChannel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QString>
#include <algorithm>
#include <utility>

#include "MemoView.h"

namespace {

// After a burst the lists keep their capacity; beyond this many entries it is handed back.
constexpr std::size_t kRetainedCapacity = 65536;

template <typename T>
void ReleaseIfLarge(std::vector<T>& List) {
    if (List.capacity() > kRetainedCapacity) std::vector<T>().swap(List);
}

}  // namespace

UpdateChannel::UpdateChannel(const UpdateTargets& Targets, UpdateChannelOptions Options, QObject* Parent)
    : QObject(Parent), mTargets(Targets), mOptions(std::move(Options)) {
    if (mOptions.MemoLineBound < 1) mOptions.MemoLineBound = 1;
    if (mOptions.DrainDelayMs < 0) mOptions.DrainDelayMs = 0;
    if (mTargets.Memo != nullptr) mTargets.Memo->setLineBound(mOptions.MemoLineBound);
    mDrainTimer.setSingleShot(true);
    mDrainTimer.setInterval(mOptions.DrainDelayMs);
    connect(&mDrainTimer, &QTimer::timeout, this, &UpdateChannel::Drain);
}

UpdateChannel::~UpdateChannel() = default;

void UpdateChannel::SetCaption(Caption Control, std::string Text) {
    Post(Update{Kind::Caption, Control, std::move(Text)});
}

void UpdateChannel::AddMemoLine(std::string Line) { Post(Update{Kind::MemoLine, Caption{}, std::move(Line)}); }

void UpdateChannel::Beep() { Post(Update{Kind::Beep, Caption{}, {}}); }

void UpdateChannel::Post(Update&& Item) {
    bool schedule = false;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mPending.push_back(std::move(Item));
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
        mPending.swap(mBatch);
        mDrainScheduled = false;
    }
    if (mBatch.empty()) return;
    QElapsedTimer busy;
    busy.start();
    Apply(mBatch);
    mBatch.clear();
    // However fast updates come, the main thread spends at most about half its time applying
    // them: the next drain waits at least as long as this one took, and the batch grows meanwhile.
    mDrainTimer.setInterval(std::max<qint64>(mOptions.DrainDelayMs, busy.elapsed()));
    ReleaseIfLarge(mBatch);
    ReleaseIfLarge(mLines);
}

void UpdateChannel::Apply(std::vector<Update>& Batch) {
    // The whole batch is applied before the window paints again, so applying only the last
    // caption of each label and the lines in one go looks exactly like applying every update in
    // turn.
    std::array<const std::string*, kCaptionCount> captions{};
    bool beep = false;
    for (Update& item : Batch) {
        switch (item.What) {
            case Kind::Caption:
                captions[static_cast<std::size_t>(item.Control)] = &item.Text;
                break;
            case Kind::MemoLine:
                mLines.push_back(std::move(item.Text));
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
