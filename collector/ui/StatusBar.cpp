#include "StatusBar.h"

#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QStatusBar>
#include <QStringList>
#include <QStyle>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "ClickHouseExport.h"
#include "CounterSnapshot.h"
#include "HistoryStore.h"
#include "IdUDPServer.h"
#include "support/DateTime.h"

namespace {

// A part that gives way when the bar is short of room: it shows what fits of its text, the cut
// marked, and its tooltip and text() hold it whole. Last is the part that yields first: it asks only
// for its least width and takes what the others leave through its stretch.
class YieldingLabel : public QLabel {
  public:
    YieldingLabel(QWidget* Parent, Qt::TextElideMode Mode, int LeastChars, bool Last)
        : QLabel(Parent), Mode_(Mode), LeastChars_(LeastChars), Last_(Last) {}

    QSize minimumSizeHint() const override {
        QSize hint = QLabel::minimumSizeHint();
        hint.setWidth(std::min(hint.width(), LeastChars_ * fontMetrics().averageCharWidth()));
        return hint;
    }
    QSize sizeHint() const override { return Last_ ? minimumSizeHint() : QLabel::sizeHint(); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect area = contentsRect();
        const QString shown = fontMetrics().elidedText(text(), Mode_, area.width());
        style()->drawItemText(&painter, area, static_cast<int>(alignment()), palette(), isEnabled(), shown,
                              foregroundRole());
    }

  private:
    Qt::TextElideMode Mode_;
    int LeastChars_;
    bool Last_;
};

// Left parts stand by the listener, right ones by the files. What warns (the listener off, kernel
// drops, the problem, the history) is never cut. The folder yields first (a deep one kept whole
// would push everything off the bar) and keeps its start and its own name; the rates and totals
// yield next, from their end: at the window's first size they all fit unless trouble comes from
// every side at once.
enum class Place { Left, LeftYielding, Right, RightYielding, RightYieldingFirst };
constexpr int kLeastChars = 12;
// The ClickHouse item yields last of all, and never below its state: "ClickHouse: unreachable".
constexpr int kLeastStateChars = 26;

QLabel* AddPart(QStatusBar* Bar, const char* Name, Place Where) {
    QLabel* label = nullptr;
    switch (Where) {
        case Place::LeftYielding:
            label = new YieldingLabel(Bar, Qt::ElideRight, kLeastChars, false);
            break;
        case Place::RightYielding:
            label = new YieldingLabel(Bar, Qt::ElideRight, kLeastStateChars, false);
            break;
        case Place::RightYieldingFirst:
            label = new YieldingLabel(Bar, Qt::ElideMiddle, kLeastChars, true);
            break;
        default:
            label = new QLabel(Bar);
            break;
    }
    label->setObjectName(QString::fromLatin1(Name));
    if (Where == Place::Left || Where == Place::LeftYielding) {
        Bar->addWidget(label);
    } else {
        Bar->addPermanentWidget(label, Where == Place::RightYieldingFirst ? 1 : 0);
    }
    return label;
}

void SetText(QLabel* Label, const QString& Text, const QString& Tip) {
    if (Label->text() != Text) Label->setText(Text);
    if (Label->toolTip() != Tip) Label->setToolTip(Tip);
}

std::int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QString PerSecond(double Rate) { return GroupedNumber(static_cast<std::uint64_t>(Rate + 0.5)); }

}  // namespace

QString GroupedNumber(std::uint64_t Value) {
    const QString digits = QString::number(Value);
    const QString separator = QString::fromLocal8Bit(brix32::ThousandsSeparator());
    QString out;
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += separator;
        out += digits[i];
    }
    return out;
}

CollectorStatusBar::CollectorStatusBar(QStatusBar* Bar, const CollectorCounters& Counters, const TIdUDPServer& Listener,
                                       QObject* Parent)
    : QObject(Parent),
      Counters_(Counters),
      Listener_(Listener),
      Listening_(AddPart(Bar, "sbListening", Place::Left)),
      Rates_(AddPart(Bar, "sbRates", Place::LeftYielding)),
      Totals_(AddPart(Bar, "sbTotals", Place::LeftYielding)),
      Drops_(AddPart(Bar, "sbKernelDrops", Place::Left)),
      Problem_(AddPart(Bar, "sbProblem", Place::Left)),
      History_(AddPart(Bar, "sbHistory", Place::Right)),
      ClickHouse_(AddPart(Bar, "sbClickHouse", Place::RightYielding)),
      Folder_(AddPart(Bar, "sbFolder", Place::RightYieldingFirst)),
      Episodes_(brix32::ThousandsSeparator()) {
    Bar->setObjectName(QStringLiteral("StatusBar1"));
    Bar->setSizeGripEnabled(false);
    Problem_->setStyleSheet(QStringLiteral("color: #b00020; font-weight: bold"));
    Timer_.setInterval(kRefreshMs);
    connect(&Timer_, &QTimer::timeout, this, [this] { Refresh(SteadyMs()); });
    // Every part holds text from the start, so the bar has its height before the window is placed.
    ShowCounters(TakeSnapshot(Counters_));
    ShowProblem();
    ShowHistory(nullptr);
    ClickHouse_->hide();
}

void CollectorStatusBar::Start() {
    Refresh(SteadyMs());
    Timer_.start();
}

void CollectorStatusBar::Refresh(std::int64_t NowMs) {
    const tCounterSnapshot counters = TakeSnapshot(Counters_);
    Datagrams_.Add(NowMs, counters.DatagramsReceived);
    Flows_.Add(NowMs, counters.Flows);
    ShowCounters(counters);
    Report(counters, NowMs);
    ShowProblem();
    ShowStore();
    if (Export_ != nullptr) ShowClickHouse(Export_->Status());
}

void CollectorStatusBar::SetClickHouse(const clickhouse::Export* Export) {
    Export_ = Export;
    ClickHouse_->setVisible(Export != nullptr);
    if (Export != nullptr) ShowClickHouse(Export->Status());
}

void CollectorStatusBar::ShowClickHouse(const clickhouse::ExportStatus& S) {
    QStringList tip;
    tip << QString::fromStdString(S.Server);
    if (!S.Problem.empty()) tip << QString::fromStdString(S.Problem);
    tip << QStringLiteral("Flows sent since start: %1").arg(GroupedNumber(S.FlowsSent));
    tip << QStringLiteral("Flows dropped since start: %1").arg(GroupedNumber(S.FlowsDropped));
    SetText(ClickHouse_, QString::fromStdString(clickhouse::StatusText(S)), tip.join(QLatin1Char('\n')));
    const bool trouble = S.FlowsDropped > 0 || S.State == clickhouse::ExportState::Unreachable ||
                         S.State == clickhouse::ExportState::Refused;
    const QString style = trouble ? QStringLiteral("color: #b00020") : QString();
    if (ClickHouse_->styleSheet() != style) ClickHouse_->setStyleSheet(style);
}

void CollectorStatusBar::SetHistory(const history::HistoryStore* Store) {
    Store_ = Store;
    ShowStore();
}

void CollectorStatusBar::ShowStore() {
    if (Store_ == nullptr) {
        ShowHistory(nullptr);
        return;
    }
    const history::StoreStatus status = Store_->Status();
    ShowHistory(&status);
}

void CollectorStatusBar::ShowHistory(const history::StoreStatus* Status) {
    if (Status == nullptr) {
        SetText(History_, QStringLiteral("History: off"),
                QStringLiteral("No flow is kept beyond the last hour (started with --no-history)"));
        History_->setStyleSheet(QString());
        return;
    }
    const history::StoreStatus& s = *Status;
    QString text = QString::fromStdString(history::StatusText(s));
    // Flows lost now must show without a look at the tooltip, whatever the state says of itself.
    if (s.FlowsNotStoredLastMinute > 0 && !text.contains(QStringLiteral("not stored")))
        text += QStringLiteral(", %1 flows not stored").arg(GroupedNumber(s.FlowsNotStoredLastMinute));
    QStringList tip;
    if (!s.Problem.empty()) tip << QString::fromStdString(s.Problem);
    tip << QStringLiteral("Flows not stored in the last minute: %1").arg(GroupedNumber(s.FlowsNotStoredLastMinute));
    tip << QStringLiteral("Flows not stored since start: %1").arg(GroupedNumber(s.FlowsNotStored));
    if (s.FlowsNotSummed > 0)
        tip << QStringLiteral("Flows missing from the summaries since start: %1").arg(GroupedNumber(s.FlowsNotSummed));
    SetText(History_, text, tip.join(QLatin1Char('\n')));
    const bool losing = s.FlowsNotStoredLastMinute > 0 || s.State == history::StoreState::DiskFull ||
                        s.State == history::StoreState::Failed;
    const QString style = losing ? QStringLiteral("color: #b00020") : QString();
    if (History_->styleSheet() != style) History_->setStyleSheet(style);
}

void CollectorStatusBar::ShowCounters(const tCounterSnapshot& Snapshot) {
    ShowListening();
    const QString rates = QStringLiteral("%1 datagrams/s, %2 flows/s")
                              .arg(PerSecond(Datagrams_.PerSecond()), PerSecond(Flows_.PerSecond()));
    SetText(Rates_, rates, rates);
    const QString totals = QStringLiteral("Since start: %1 datagrams, %2 flows")
                               .arg(GroupedNumber(Snapshot.DatagramsReceived), GroupedNumber(Snapshot.Flows));
    SetText(Totals_, totals, totals);
    Drops_->setText(QStringLiteral("Kernel drops: %1").arg(GroupedNumber(Snapshot.KernelDrops)));
    Drops_->setStyleSheet(Snapshot.KernelDrops > 0 ? QStringLiteral("color: #b00020") : QString());
    const QString folder = QDir::toNativeSeparators(QDir::currentPath());
    SetText(Folder_, QStringLiteral("Files in %1").arg(folder), folder);
}

void CollectorStatusBar::Report(const tCounterSnapshot& Snapshot, std::int64_t NowMs) {
    tProblemSample sample;
    sample.NowMs = NowMs;
    sample.CsvLinesWritten = Snapshot.CsvLinesWritten;
    sample.CsvLinesLost = Snapshot.CsvLinesLost;
    if (sample.CsvLinesLost > 0) {
        LastWriteFailure::tValue failure = Counters_.CsvFailure.Load();
        sample.CsvErrno = failure.Errno;
        sample.CsvFileName = std::move(failure.FileName);
    }
    sample.KernelDrops = Snapshot.KernelDrops;
    sample.BoundCuts = Snapshot.BoundCuts;
    sample.OversizeDropped = Snapshot.OversizeDropped;
    sample.FlowsDroppedByBounds = Snapshot.FlowsDroppedByBounds;
    sample.LateDataLost = Snapshot.SetsLost;
    std::vector<std::string> reports;
    Episodes_.Update(sample, reports);
    // Whoever runs the collector without looking at it (a service manager) still learns of losses.
    for (const std::string& line : reports) std::fprintf(stderr, "%s\n", line.c_str());
    if (!reports.empty()) std::fflush(stderr);
}

void CollectorStatusBar::ShowListening() {
    const bool listening = Listener_.Active();
    const QString port = QString::number(Listener_.DefaultPort());
    const QString text = listening ? QStringLiteral("Listening on UDP %1").arg(port)
                                   : QStringLiteral("NOT LISTENING \u2014 UDP %1 is off").arg(port);
    if (text == Listening_->text()) return;
    Listening_->setText(text);
    // Off must be impossible to overlook: a whole load test once ran against a switched-off listener.
    Listening_->setStyleSheet(
        listening ? QStringLiteral("color: #0b6b1f; background: transparent; font-weight: bold; padding: 0 4px")
                  : QStringLiteral("color: white; background: #b00020; font-weight: bold; padding: 0 4px"));
}

void CollectorStatusBar::ShowProblem() {
    const QString problem = QString::fromStdString(Episodes_.Current());
    Problem_->setText(problem);
    Problem_->setVisible(!problem.isEmpty());
}
