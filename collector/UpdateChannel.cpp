#include "UpdateChannel.h"

#include <QApplication>
#include <QLabel>
#include <QLatin1String>
#include <QPlainTextEdit>
#include <QString>
#include <algorithm>
#include <utility>

namespace {

// After a burst the two lists keep their capacity; beyond this many entries it is handed back.
constexpr std::size_t kRetainedCapacity = 65536;

// A memo line must stay one line: the text box would turn an inner CR or LF into a new line and
// so split it. A trailing line end is a caller's slip and is dropped, inner ones become blanks.
void AppendOneLine(QString& Joined, const std::string& Line) {
    std::size_t length = Line.size();
    while (length > 0 && (Line[length - 1] == '\n' || Line[length - 1] == '\r')) --length;
    if (Line.find_first_of("\r\n", 0) >= length) {
        Joined.append(QLatin1String(Line.data(), static_cast<qsizetype>(length)));
        return;
    }
    std::string clean = Line.substr(0, length);
    std::replace(clean.begin(), clean.end(), '\r', ' ');
    std::replace(clean.begin(), clean.end(), '\n', ' ');
    Joined.append(QLatin1String(clean.data(), static_cast<qsizetype>(clean.size())));
}

}  // namespace

UpdateChannel::UpdateChannel(const UpdateTargets& Targets, UpdateChannelOptions Options, QObject* Parent)
    : QObject(Parent), mTargets(Targets), mOptions(std::move(Options)) {
    if (mOptions.MemoLineBound < 1) mOptions.MemoLineBound = 1;
    if (mOptions.DrainDelayMs < 0) mOptions.DrainDelayMs = 0;
    if (mTargets.Memo != nullptr) mTargets.Memo->setMaximumBlockCount(mOptions.MemoLineBound);
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
    if (mOptions.DrainDelayMs == 0) {
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
    Apply(mBatch);
    mBatch.clear();
    if (mBatch.capacity() > kRetainedCapacity) std::vector<Update>().swap(mBatch);
}

void UpdateChannel::Apply(const std::vector<Update>& Batch) {
    // The whole batch is applied before the window paints again, so applying only the last
    // caption of each label and the lines in one insertion looks exactly like applying every
    // update in turn.
    std::array<const std::string*, kCaptionCount> captions{};
    std::size_t lineCount = 0;
    std::size_t lineBytes = 0;
    bool beep = false;
    for (const Update& item : Batch) {
        switch (item.What) {
            case Kind::Caption:
                captions[static_cast<std::size_t>(item.Control)] = &item.Text;
                break;
            case Kind::MemoLine:
                ++lineCount;
                lineBytes += item.Text.size() + 1;
                break;
            case Kind::Beep:
                beep = true;
                break;
        }
    }

    if (lineCount > 0 && mTargets.Memo != nullptr) {
        // Lines that the bound would trim at once are not inserted at all.
        const std::size_t bound = static_cast<std::size_t>(mOptions.MemoLineBound);
        std::size_t skip = lineCount > bound ? lineCount - bound : 0;
        QString joined;
        joined.reserve(static_cast<qsizetype>(lineBytes));
        bool first = true;
        for (const Update& item : Batch) {
            if (item.What != Kind::MemoLine) continue;
            if (skip > 0) {
                --skip;
                continue;
            }
            if (!first) joined.append(QLatin1Char('\n'));
            first = false;
            AppendOneLine(joined, item.Text);
        }
        mTargets.Memo->appendPlainText(joined);
    }

    for (std::size_t i = 0; i < kCaptionCount; ++i) {
        QLabel* label = mTargets.Labels[i];
        if (captions[i] == nullptr || label == nullptr) continue;
        label->setText(QString::fromLatin1(captions[i]->data(), static_cast<qsizetype>(captions[i]->size())));
        // The labels fit their caption, as at design time.
        label->adjustSize();
    }

    if (beep) {
        if (mOptions.BeepSound) {
            mOptions.BeepSound();
        } else {
            QApplication::beep();
        }
    }
}
