#include "HistoryRunner.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

HistoryRunner::HistoryRunner(QObject* Parent) : QObject(Parent), Thread_([this] { Work(); }) {}

HistoryRunner::~HistoryRunner() {
    {
        std::lock_guard<std::mutex> lock(Lock_);
        Stopping_ = true;
        Waiting_ = nullptr;
        WaitingId_ = 0;
        CancelRunning_.store(true, std::memory_order_relaxed);
    }
    Wake_.notify_all();
    Thread_.join();
}

quint64 HistoryRunner::Run(Job Work) {
    quint64 id = 0;
    quint64 dropped = 0;
    {
        std::lock_guard<std::mutex> lock(Lock_);
        id = ++LastId_;
        if (RunningId_ != 0) CancelRunning_.store(true, std::memory_order_relaxed);
        dropped = WaitingId_;
        Waiting_ = std::move(Work);
        WaitingId_ = id;
    }
    Wake_.notify_one();
    if (dropped != 0) Dropped(dropped);
    return id;
}

void HistoryRunner::Cancel() {
    quint64 dropped = 0;
    {
        std::lock_guard<std::mutex> lock(Lock_);
        if (RunningId_ != 0) CancelRunning_.store(true, std::memory_order_relaxed);
        dropped = WaitingId_;
        Waiting_ = nullptr;
        WaitingId_ = 0;
    }
    if (dropped != 0) Dropped(dropped);
}

bool HistoryRunner::Busy() const {
    std::lock_guard<std::mutex> lock(Lock_);
    return RunningId_ != 0 || WaitingId_ != 0;
}

void HistoryRunner::Dropped(quint64 Id) {
    // Later, not from inside Run: the owner is usually in the middle of queuing the next job.
    QMetaObject::invokeMethod(
        this, [this, Id] { emit Finished(Id, true, QString()); }, Qt::QueuedConnection);
}

void HistoryRunner::Work() {
    for (;;) {
        Job job;
        quint64 id = 0;
        {
            std::unique_lock<std::mutex> lock(Lock_);
            Wake_.wait(lock, [this] { return Stopping_ || WaitingId_ != 0; });
            if (Stopping_) return;
            job = std::move(Waiting_);
            Waiting_ = nullptr;
            id = WaitingId_;
            WaitingId_ = 0;
            RunningId_ = id;
            CancelRunning_.store(false, std::memory_order_relaxed);
        }
        int shown = -1;
        history::QueryControl control;
        control.Cancel = &CancelRunning_;
        // A query may report after every few thousand rows; the window needs a percent at most.
        control.Progress = [this, id, &shown](double Done) {
            const int percent = std::clamp(static_cast<int>(Done * 100), 0, 100);
            if (percent == shown) return;
            shown = percent;
            emit Progress(id, percent / 100.0);
        };
        QString error;
        try {
            job(control);
        } catch (const std::exception& e) {
            error = QString::fromLocal8Bit(e.what());
        } catch (...) {
            error = QStringLiteral("unknown error");
        }
        bool cancelled = false;
        {
            std::lock_guard<std::mutex> lock(Lock_);
            cancelled = CancelRunning_.load(std::memory_order_relaxed);
            RunningId_ = 0;
        }
        emit Finished(id, cancelled, error);
    }
}

TrafficTotals ToTrafficTotals(const history::Totals& Sums) {
    TrafficTotals t;
    t.Flows = Sums.Flows;
    t.Bytes = Sums.ScaledBytes;
    t.Packets = Sums.ScaledPackets;
    t.SampledLow = Sums.SampledLow;
    t.SampledHigh = Sums.SampledHigh;
    return t;
}

namespace {

// The live tables' key for a history row, so that names, selection and sorting work alike.
TalkerKey KeyFor(TalkerKind Kind, const history::TopRow& Row) {
    FlowRecord r;
    switch (Kind) {
        case TalkerKind::Source:
            r.Source = Row.First;
            break;
        case TalkerKind::Destination:
            r.Destination = Row.First;
            break;
        case TalkerKind::Conversation:
            r.Source = Row.First;
            r.Destination = Row.Second;
            break;
        case TalkerKind::Protocol:
            r.Protocol = static_cast<std::uint8_t>(Row.Number);
            break;
        case TalkerKind::DestinationPort:
            r.DestinationPort = static_cast<std::uint16_t>(Row.Number);
            break;
        case TalkerKind::Exporter:
            r.Exporter = Row.First;
            break;
        case TalkerKind::Interface:
            r.Exporter = Row.First;
            r.InputIf = Row.Number;
            break;
        case TalkerKind::SourceCountry:
        case TalkerKind::DestinationCountry:
        case TalkerKind::SourceAs:
        case TalkerKind::DestinationAs:
            return PlaceKey(Kind, Row.Number);
    }
    return KeyOf(Kind, r);
}

// Rows as the aggregator ranks them (bytes, then key), at most Rows of them, then the "other" row.
void MakeTop(std::vector<TalkerRow> Rows, const TrafficTotals* Other, const TrafficTotals& Whole, std::size_t Keep,
             TalkerTop& Top, int& OtherRow) {
    std::sort(Rows.begin(), Rows.end(), [](const TalkerRow& A, const TalkerRow& B) {
        if (A.Totals.Bytes != B.Totals.Bytes) return A.Totals.Bytes > B.Totals.Bytes;
        return A.Key < B.Key;
    });
    if (Rows.size() > Keep) Rows.resize(Keep);
    Top = {};
    Top.Keys = Rows.size();
    Top.Rows = std::move(Rows);
    Top.Totals = Whole;
    OtherRow = -1;
    if (Other != nullptr) {
        OtherRow = static_cast<int>(Top.Rows.size());
        Top.Rows.push_back({TalkerKey{}, *Other});
    }
}

// One query of several: its progress is a share of the whole.
history::QueryControl StepOf(const history::QueryControl& Whole, int Index, int Count) {
    history::QueryControl step;
    step.Cancel = Whole.Cancel;
    if (Whole.Progress) {
        step.Progress = [&Whole, Index, Count](double Done) {
            Whole.Progress((Index + std::clamp(Done, 0.0, 1.0)) / Count);
        };
    }
    return step;
}

// Whether the answer ends here: Result's error or cancellation is taken over.
template <typename Result>
bool Ends(const Result& R, HistoryAnswer& Answer) {
    if (!R.Error.empty()) {
        Answer.Error = R.Error;
        return true;
    }
    if (R.Cancelled) {
        Answer.Cancelled = true;
        return true;
    }
    return false;
}

constexpr std::pair<TalkerKind, history::TopKey> kTables[] = {
    {TalkerKind::Source, history::TopKey::Source},
    {TalkerKind::Destination, history::TopKey::Destination},
    {TalkerKind::Conversation, history::TopKey::Conversation},
    {TalkerKind::Protocol, history::TopKey::Protocol},
    {TalkerKind::DestinationPort, history::TopKey::DestinationPort},
    {TalkerKind::Exporter, history::TopKey::Exporter},
    {TalkerKind::SourceCountry, history::TopKey::SourceCountry},
    {TalkerKind::DestinationCountry, history::TopKey::DestinationCountry},
    {TalkerKind::SourceAs, history::TopKey::SourceAsn},
    {TalkerKind::DestinationAs, history::TopKey::DestinationAsn},
};

}  // namespace

void AskHistory(const HistoryQuestion& Question, const history::QueryControl& Control, HistoryAnswer& Answer) {
    Answer = {};
    Answer.Range = Question.Range;
    history::HistoryQuery query(Question.Folder);
    query.SetLocationDatabase(Question.LocationDatabase);
    if (!query.Readable(Answer.Error)) {
        if (Answer.Error.empty()) Answer.Error = "the history cannot be read";
        return;
    }
    // Twelve top tables and the chart, then the flows.
    const int steps = Question.Overview ? 14 : 1;
    int step = 0;
    if (Question.Overview) {
        const FlowFilter everything;
        for (const auto& [kind, key] : kTables) {
            // Without the database the tables of places are left empty, as the live ones are.
            if (Located(kind) && Question.LocationDatabase.empty()) {
                ++step;
                continue;
            }
            const history::TopResult top = query.Top(Question.Range, key, history::RankBy::Bytes, Question.TopRows,
                                                     everything, StepOf(Control, step++, steps));
            if (Ends(top, Answer)) return;
            std::vector<TalkerRow> rows;
            std::optional<TrafficTotals> other;
            for (const history::TopRow& row : top.Rows) {
                if (row.Other) {
                    if (!other) other.emplace();
                    other->Add(ToTrafficTotals(row.Sums));
                } else {
                    rows.push_back({KeyFor(kind, row), ToTrafficTotals(row.Sums)});
                }
            }
            const auto k = static_cast<std::size_t>(kind);
            MakeTop(std::move(rows), other ? &*other : nullptr, ToTrafficTotals(top.Sums), Question.TopRows,
                    Answer.Tops[k], Answer.OtherRow[k]);
            Answer.Exact = Answer.Exact && top.Exact;
            if (kind == TalkerKind::Source) Answer.Totals = ToTrafficTotals(top.Sums);
        }
        // Every flow passes an interface in and one out: both go into one table, ranked together,
        // whose whole counts each flow once as the live table's does.
        std::vector<TalkerRow> interfaces;
        std::optional<TrafficTotals> other;
        TrafficTotals whole;
        for (const auto& [key, direction] : {std::pair{history::TopKey::InputIf, InterfaceDirection::In},
                                             std::pair{history::TopKey::OutputIf, InterfaceDirection::Out}}) {
            const history::TopResult top = query.Top(Question.Range, key, history::RankBy::Bytes, Question.TopRows,
                                                     everything, StepOf(Control, step++, steps));
            if (Ends(top, Answer)) return;
            for (const history::TopRow& row : top.Rows) {
                if (row.Other) {
                    if (!other) other.emplace();
                    other->Add(ToTrafficTotals(row.Sums));
                } else {
                    interfaces.push_back({InterfaceKey(row.First, row.Number, direction), ToTrafficTotals(row.Sums)});
                }
            }
            if (direction == InterfaceDirection::In) whole = ToTrafficTotals(top.Sums);
            Answer.Exact = Answer.Exact && top.Exact;
        }
        const auto k = static_cast<std::size_t>(TalkerKind::Interface);
        MakeTop(std::move(interfaces), other ? &*other : nullptr, whole, Question.TopRows, Answer.Tops[k],
                Answer.OtherRow[k]);

        const history::SeriesResult series =
            query.Series(Question.Range, everything, 0, StepOf(Control, step++, steps));
        if (Ends(series, Answer)) return;
        Answer.StepMs = series.StepMs;
        Answer.SeriesStartMs = series.Points.empty() ? Question.Range.FromMs : series.Points.front().StartMs;
        Answer.Series.reserve(series.Points.size());
        for (const history::SeriesPoint& p : series.Points) Answer.Series.push_back(ToTrafficTotals(p.Sums));
        Answer.Overview = true;
    }
    const history::FlowsResult flows = query.Flows(
        Question.Range, Question.Filter, Question.FlowLimit,
        [&Answer](const FlowRecord& R) {
            Answer.Flows.push_back(R);
            return true;
        },
        StepOf(Control, step, steps));
    if (Ends(flows, Answer)) {
        Answer.Flows.clear();
        return;
    }
    Answer.FlowsTruncated = flows.Truncated;
    if (Control.Progress) Control.Progress(1.0);
}
