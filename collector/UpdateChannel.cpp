#include "UpdateChannel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLatin1String>
#include <QPlainTextEdit>
#include <QString>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
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

    if (lineCount > 0 && mTargets.Memo != nullptr) InsertMemoLines(Batch, lineCount, lineBytes);

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

void UpdateChannel::InsertMemoLines(const std::vector<Update>& Batch, std::size_t LineCount, std::size_t LineBytes) {
    // Lines that the bound would trim at once are not inserted at all.
    const std::size_t bound = static_cast<std::size_t>(mOptions.MemoLineBound);
    const std::size_t insert = std::min(LineCount, bound);
    std::size_t skip = LineCount - insert;
    QString joined;
    joined.reserve(static_cast<qsizetype>(LineBytes + 1));
    QPlainTextEdit* memo = mTargets.Memo;
    QTextDocument* document = memo->document();
    // The batch fills the memo on its own and replaces everything.
    const bool replaceAll = insert == bound;
    // An empty document and one that holds a single empty line look alike; only the latter needs
    // a line break before the new lines.
    if (!replaceAll && document->isEmpty() && mMemoHoldsOneEmptyLine) joined.append(QLatin1Char('\n'));
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

    if (replaceAll) {
        memo->clear();
    } else {
        // Make room before inserting. The text box would trim by itself too, but it lays out
        // every line it removes, which costs several times more than inserting it.
        const std::size_t present = static_cast<std::size_t>(document->blockCount());
        if (present + insert > bound) {
            const int firstKept = static_cast<int>(present + insert - bound);
            QTextCursor cursor(document);
            cursor.setPosition(document->findBlockByNumber(firstKept).position(), QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
    }
    memo->appendPlainText(joined);
    mMemoHoldsOneEmptyLine = document->isEmpty();
}
