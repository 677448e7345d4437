#include "StatusBar.h"

#include <QDir>
#include <QLabel>
#include <QStatusBar>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "CounterSnapshot.h"
#include "IdUDPServer.h"
#include "support/DateTime.h"

namespace {

QLabel* AddPart(QStatusBar* Bar, const char* Name, bool Permanent) {
    auto* label = new QLabel(Bar);
    label->setObjectName(QString::fromLatin1(Name));
    if (Permanent) {
        Bar->addPermanentWidget(label);
    } else {
        Bar->addWidget(label);
    }
    return label;
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
      Listening_(AddPart(Bar, "sbListening", false)),
      Rates_(AddPart(Bar, "sbRates", false)),
      Totals_(AddPart(Bar, "sbTotals", false)),
      Drops_(AddPart(Bar, "sbKernelDrops", false)),
      Problem_(AddPart(Bar, "sbProblem", false)),
      Folder_(AddPart(Bar, "sbFolder", true)),
      Episodes_(brix32::ThousandsSeparator()) {
    Bar->setObjectName(QStringLiteral("StatusBar1"));
    Bar->setSizeGripEnabled(false);
    Problem_->setStyleSheet(QStringLiteral("color: #b00020; font-weight: bold"));
    Timer_.setInterval(kRefreshMs);
    connect(&Timer_, &QTimer::timeout, this, [this] { Refresh(SteadyMs()); });
    // Every part holds text from the start, so the bar has its height before the window is placed.
    ShowCounters(TakeSnapshot(Counters_));
    ShowProblem();
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
}

void CollectorStatusBar::ShowCounters(const tCounterSnapshot& Snapshot) {
    ShowListening();
    Rates_->setText(QStringLiteral("%1 datagrams/s, %2 flows/s")
                        .arg(PerSecond(Datagrams_.PerSecond()), PerSecond(Flows_.PerSecond())));
    Totals_->setText(QStringLiteral("Since start: %1 datagrams, %2 flows")
                         .arg(GroupedNumber(Snapshot.DatagramsReceived), GroupedNumber(Snapshot.Flows)));
    Drops_->setText(QStringLiteral("Kernel drops: %1").arg(GroupedNumber(Snapshot.KernelDrops)));
    Drops_->setStyleSheet(Snapshot.KernelDrops > 0 ? QStringLiteral("color: #b00020") : QString());
    Folder_->setText(QStringLiteral("Files in %1").arg(QDir::toNativeSeparators(QDir::currentPath())));
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
