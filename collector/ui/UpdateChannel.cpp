#include "UpdateChannel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QString>
#include <algorithm>
#include <utility>

#include "MemoView.h"

namespace {}  // namespace

UpdateChannel::UpdateChannel(const UpdateTargets& Targets, UpdateChannelOptions Options, QObject* Parent)
    : QObject(Parent), Targets_(Targets), Options_(std::move(Options)) {
    if (Options_.MemoLineBound < 1) Options_.MemoLineBound = 1;
    if (Options_.DrainDelayMs < 0) Options_.DrainDelayMs = 0;
    for (UpdateList* list : {&Pending_, &Batch_, &Held_}) {
        list->Bound = static_cast<std::size_t>(Options_.MemoLineBound);
        list->Reset();
    }
    // The two lists that trade places are made whole now rather than grown by the listener, page
    // by page, in the first second of a flood, when it can least afford it.
    for (UpdateList* list : {&Pending_, &Batch_}) list->Lines.resize(list->Bound);
    Lines_.reserve(Pending_.Bound);
    if (Targets_.Memo != nullptr) Targets_.Memo->setLineBound(Options_.MemoLineBound);
    DrainTimer_.setSingleShot(true);
    DrainTimer_.setInterval(Options_.DrainDelayMs);
    connect(&DrainTimer_, &QTimer::timeout, this, &UpdateChannel::Drain);
}

UpdateChannel::~UpdateChannel() = default;

void UpdateChannel::SetCaption(Caption Control, std::string_view Text) {
    Post({Kind::Caption, Control, Text, nullptr});
}

void UpdateChannel::AddMemoLine(std::string_view Line) { Post({Kind::MemoLine, Caption{}, Line, nullptr}); }

void UpdateChannel::AddMemoFlow(const flowlines::DisplayFlow& Flow) { Post({Kind::MemoFlow, Caption{}, {}, &Flow}); }

void UpdateChannel::Beep() { Post({Kind::Beep, Caption{}, {}, nullptr}); }

MemoLine& UpdateChannel::UpdateList::NewLine(std::uint64_t& Dropped) {
    // Wrapped by comparison: a division per line was a visible share of the listener's time.
    const std::size_t size = Lines.size();
    if (LineCount < size) {
        std::size_t at = Head + LineCount++;
        if (at >= size) at -= size;
        return Lines[at];
    }
    // The ring only wraps once it has grown to its bound, so until then the head is at 0.
    if (size < Bound) {
        ++LineCount;
        return Lines.emplace_back();
    }
    MemoLine& oldest = Lines[Head];
    if (++Head == size) Head = 0;
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

void UpdateChannel::Put(UpdateList& List, const Update& What, std::uint64_t& Dropped) {
    switch (What.What) {
        case Kind::Caption: {
            // A later caption of the same label overwrites the pending one: the drain would only
            // show the last anyway.
            const auto i = static_cast<std::size_t>(What.Control);
            List.Captions[i].assign(What.Text);
            List.HasCaption[i] = true;
            break;
        }
        case Kind::MemoLine:
            List.NewLine(Dropped).Assign(What.Text);
            break;
        case Kind::MemoFlow:
            List.NewLine(Dropped).Assign(*What.Flow);
            break;
        case Kind::Beep:
            List.Beep = true;
            break;
    }
}

void UpdateChannel::BeginBatch() {
    std::thread::id nobody;
    // Only one thread holds updates back at a time; any other posts as usual.
    HoldingThread_.compare_exchange_strong(nobody, std::this_thread::get_id());
}

void UpdateChannel::EndBatch() {
    if (HoldingThread_.load(std::memory_order_relaxed) != std::this_thread::get_id()) return;
    bool schedule = false;
    std::uint64_t dropped = 0;
    if (!Held_.Empty()) {
        std::lock_guard<std::mutex> lock(Mutex_);
        // The texts trade buffers, so nothing is copied or allocated; a flow is copied whole.
        std::size_t at = Held_.Head;
        for (std::size_t i = 0; i < Held_.LineCount; ++i) {
            MemoLine& held = Held_.Lines[at];
            MemoLine& pending = Pending_.NewLine(dropped);
            if (held.IsFlow) {
                pending.Assign(held.Flow);
            } else {
                std::swap(pending, held);
            }
            if (++at == Held_.Lines.size()) at = 0;
        }
        for (std::size_t i = 0; i < kCaptionCount; ++i) {
            if (!Held_.HasCaption[i]) continue;
            std::swap(Pending_.Captions[i], Held_.Captions[i]);
            Pending_.HasCaption[i] = true;
        }
        Pending_.Beep = Pending_.Beep || Held_.Beep;
        schedule = !DrainScheduled_;
        DrainScheduled_ = true;
    }
    Held_.Reset();
    HoldingThread_.store(std::thread::id{});
    if (dropped > 0) LinesDropped_.fetch_add(dropped, std::memory_order_relaxed);
    if (schedule) QMetaObject::invokeMethod(this, &UpdateChannel::ScheduleDrain, Qt::QueuedConnection);
}

void UpdateChannel::Post(const Update& What) {
    std::uint64_t dropped = 0;
    if (HoldingThread_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        // Reuses the buffer an earlier update left in the entry.
        Put(Held_, What, dropped);
    } else {
        bool schedule = false;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            Put(Pending_, What, dropped);
            schedule = !DrainScheduled_;
            DrainScheduled_ = true;
        }
        // Only the first update after a drain wakes the main thread; the rest ride along.
        if (schedule) QMetaObject::invokeMethod(this, &UpdateChannel::ScheduleDrain, Qt::QueuedConnection);
    }
    if (dropped > 0) LinesDropped_.fetch_add(dropped, std::memory_order_relaxed);
}

void UpdateChannel::ScheduleDrain() {
    if (DrainTimer_.interval() == 0) {
        Drain();
    } else if (!DrainTimer_.isActive()) {
        DrainTimer_.start();
    }
}

void UpdateChannel::Drain() {
    DrainTimer_.stop();
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        std::swap(Pending_, Batch_);
        Pending_.Reset();
        DrainScheduled_ = false;
    }
    if (Batch_.Empty()) return;
    QElapsedTimer busy;
    busy.start();
    Apply(Batch_);
    Batch_.Reset();
    // However fast updates come, the main thread spends at most about half its time applying
    // them: the next drain waits at least as long as this one took, and the batch grows meanwhile.
    DrainTimer_.setInterval(std::max<qint64>(Options_.DrainDelayMs, busy.elapsed()));
}

void UpdateChannel::Apply(const UpdateList& Batch) {
    // The whole batch is applied before the window paints again, so applying only the last
    // caption of each label and the lines in one go looks exactly like applying every update in
    // turn.
    for (std::size_t i = 0; i < Batch.LineCount; ++i) Lines_.push_back(&Batch.LineAt(i));
    if (Targets_.Memo != nullptr) Targets_.Memo->appendEntries(Lines_);
    Lines_.clear();

    for (std::size_t i = 0; i < kCaptionCount; ++i) {
        QLabel* label = Targets_.Labels[i];
        if (!Batch.HasCaption[i] || label == nullptr) continue;
        const std::string& caption = Batch.Captions[i];
        label->setText(QString::fromLatin1(caption.data(), static_cast<qsizetype>(caption.size())));
        // The labels fit their caption, as at design time.
        label->adjustSize();
    }

    // Beeps issued close together would sound as one anyway.
    if (Batch.Beep) {
        if (Options_.BeepSound) {
            Options_.BeepSound();
        } else {
            QApplication::beep();
        }
    }
}
