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
namespace clickhouse {
class Export;
struct ExportStatus;
}  // namespace clickhouse
namespace history {
class HistoryStore;
struct StoreStatus;
}  // namespace history

// Numbers shown to the operator, grouped by the locale's thousands separator.
QString GroupedNumber(std::uint64_t Value);

// The line under the collector's controls: whether it listens, its rates and totals, kernel drops,
// the problem that lasts now, the flow history, the ClickHouse export (when on) and where the files go. Where room is
// short the folder gives way first, then the rates and totals, each cut where it shows and whole in its tooltip; what
// warns is never cut. Also reports every loss episode on standard error. Reads the counters a few times a second; the
// listener never waits for it.
class CollectorStatusBar : public QObject {
    Q_OBJECT

  public:
    static constexpr int kRefreshMs = 250;

    CollectorStatusBar(QStatusBar* Bar, const CollectorCounters& Counters, const TIdUDPServer& Listener,
                       QObject* Parent = nullptr);

    void Start();
    // One reading: NowMs from a steady clock.
    void Refresh(std::int64_t NowMs);
    // The store whose state the history item shows; none: history is off. It must outlive the bar.
    void SetHistory(const history::HistoryStore* Store);
    // What Refresh shows of the store's status; none: history is off.
    void ShowHistory(const history::StoreStatus* Status);
    // The export whose state the ClickHouse item shows; none hides the item. It must outlive the bar.
    void SetClickHouse(const clickhouse::Export* Export);
    // What Refresh shows of the export's status.
    void ShowClickHouse(const clickhouse::ExportStatus& Status);

  private:
    void ShowCounters(const tCounterSnapshot& Snapshot);
    void Report(const tCounterSnapshot& Snapshot, std::int64_t NowMs);
    void ShowListening();
    void ShowProblem();
    void ShowStore();

    const CollectorCounters& Counters_;
    const TIdUDPServer& Listener_;
    QLabel* Listening_;
    QLabel* Rates_;
    QLabel* Totals_;
    QLabel* Drops_;
    QLabel* Problem_;
    QLabel* History_;
    QLabel* ClickHouse_;
    QLabel* Folder_;
    const history::HistoryStore* Store_ = nullptr;
    const clickhouse::Export* Export_ = nullptr;
    QTimer Timer_;
    RateMeter Datagrams_;
    RateMeter Flows_;
    Episodes Episodes_;
};
