#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "FlowRecord.h"
#include "TrafficAggregator.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTableView;
class QTimer;
class FlowFilterProxy;
class FlowHandOver;
class FlowTableModel;
class InterfaceNames;
class TalkerTableModel;
class TrafficChart;
struct SharedTraffic;

// Who is talking: top-talker tables, a chart of the span and the newest flows. Reads the shared
// aggregator once a second under its lock and never holds it while painting. Everything it shows
// comes from the aggregator; closing the window stops nothing in the collection.
class TrafficWindow : public QWidget {
    Q_OBJECT

  public:
    // HandOver, when given, is only read for its drop counts. NowMs is the wall clock in
    // milliseconds; tests pass their own. Opened from the main window, interfaces are named from
    // its collector's names.
    explicit TrafficWindow(SharedTraffic& Traffic, const FlowHandOver* HandOver = nullptr, QWidget* Parent = nullptr,
                           std::function<std::int64_t()> NowMs = {});
    ~TrafficWindow() override;

    // Where interface labels come from; it must outlive the window. Without it, interfaces show
    // as numbers.
    void SetInterfaceNames(const InterfaceNames* Names);

    // One tick: what the refresh timer does once a second.
    void Refresh();
    // Writes the flow rows shown, in their order, with a header line. False when the file cannot
    // be written.
    bool SaveCsv(const QString& FileName) const;
    int SpanSeconds() const;

  private:
    struct Snapshot;

    void BuildControls();
    QWidget* BuildFlowPane();
    void SizeFlowColumns();
    QTableView* AddTalkerTab(TalkerKind Kind, const char* Name, const char* Title);
    // Fills the snapshot in place: its buffers are kept from one refresh to the next.
    void Take(Snapshot& S);
    void Show(const Snapshot& S);
    void ShowBounds(const Snapshot& S);
    void FilterChanged();
    void PauseToggled(bool Paused);
    void SaveClicked();
    void TalkerSelected(TalkerKind Kind);
    void Reselect();

    SharedTraffic& Traffic_;
    const FlowHandOver* HandOver_;
    std::function<std::int64_t()> NowMs_;
    QTimer* Timer_ = nullptr;
    bool Paused_ = false;
    std::unique_ptr<Snapshot> Snap_;
    std::uint64_t FlowsTaken_ = 0;  // how many of the aggregator's flows the table has seen
    std::optional<std::pair<TalkerKind, TalkerKey>> Selected_;
    const InterfaceNames* Interfaces_ = nullptr;

    QComboBox* cmbSpan = nullptr;
    QLabel* lblTotals = nullptr;
    QLabel* lblBounds = nullptr;
    QTabWidget* tabTalkers = nullptr;
    TrafficChart* chartTraffic = nullptr;
    QLineEdit* txtFilter = nullptr;
    QPushButton* cmdPause = nullptr;
    QPushButton* cmdSaveCsv = nullptr;
    QLabel* lblFlows = nullptr;
    QTableView* tblFlows = nullptr;
    std::array<QTableView*, kTalkerKinds> TalkerViews_{};
    std::array<TalkerTableModel*, kTalkerKinds> TalkerModels_{};
    FlowTableModel* Flows_ = nullptr;
    FlowFilterProxy* FlowProxy_ = nullptr;
};
