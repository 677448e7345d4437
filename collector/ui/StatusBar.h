#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>

#include "Episodes.h"
#include "RateMeter.h"

class QLabel;
class QStatusBar;
class TIdUDPServer;
struct CollectorCounters;
struct tCounterSnapshot;

// Numbers shown to the operator, grouped by the locale's thousands separator.
QString GroupedNumber(std::uint64_t Value);

// The line under the collector's controls: whether it listens, its rates and totals, kernel drops,
// the problem that lasts now and where the files go. Also reports every loss episode on standard
// error. Reads the counters a few times a second; the listener never waits for it.
class CollectorStatusBar : public QObject {
    Q_OBJECT

  public:
    static constexpr int kRefreshMs = 250;

    CollectorStatusBar(QStatusBar* Bar, const CollectorCounters& Counters, const TIdUDPServer& Listener,
                       QObject* Parent = nullptr);

    void Start();
    // One reading: NowMs from a steady clock.
    void Refresh(std::int64_t NowMs);

  private:
    void ShowCounters(const tCounterSnapshot& Snapshot);
    void Report(const tCounterSnapshot& Snapshot, std::int64_t NowMs);
    void ShowListening();
    void ShowProblem();

    const CollectorCounters& Counters_;
    const TIdUDPServer& Listener_;
    QLabel* Listening_;
    QLabel* Rates_;
    QLabel* Totals_;
    QLabel* Drops_;
    QLabel* Problem_;
    QLabel* Folder_;
    QTimer Timer_;
    RateMeter Datagrams_;
    RateMeter Flows_;
    Episodes Episodes_;
};
