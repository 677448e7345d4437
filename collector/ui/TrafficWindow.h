#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FlowFilter.h"
#include "FlowRecord.h"
#include "HistoryQuery.h"
#include "Locations.h"
#include "TrafficAggregator.h"
#include "TrafficNames.h"

class QCloseEvent;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QShowEvent;
class QTabWidget;
class QTableView;
class QTimer;
class FlowFilterProxy;
class FlowHandOver;
class FlowTableModel;
class HistoryRunner;
class InterfaceNames;
class TalkerTableModel;
class TrafficChart;
struct HistoryAnswer;
struct HistoryQuestion;
struct SharedTraffic;

// Who is talking: top-talker tables, a chart of the span and the newest flows. On the live spans
// (up to an hour) it reads the shared aggregator once a second under its lock and never holds it
// while painting; closing the window stops nothing in the collection. The longer spans are asked
// of the flow history on a thread of its own, one question at a time, and stand still until asked
// again; going back to a live span takes up the aggregator where it is.
class TrafficWindow : public QWidget {
    Q_OBJECT

  public:
    // The answer to one question on the runner's thread; tests put their own in place of the store.
    using HistoryAsker =
        std::function<void(const HistoryQuestion& Question, const history::QueryControl& Control, HistoryAnswer& Out)>;
    // The most flows a history span lists, oldest first.
    static constexpr std::uint64_t kHistoryFlows = 100000;

    // HandOver, when given, is only read for its drop counts. NowMs is the wall clock in
    // milliseconds; tests pass their own. Opened from the main window, interfaces are named from
    // its collector's names.
    explicit TrafficWindow(SharedTraffic& Traffic, const FlowHandOver* HandOver = nullptr, QWidget* Parent = nullptr,
                           std::function<std::int64_t()> NowMs = {});
    ~TrafficWindow() override;

    // Where interface labels come from; it must outlive the window. Without it, interfaces show
    // as numbers.
    void SetInterfaceNames(const InterfaceNames* Names);
    // Host names beside addresses, asked of Hosts as rows are shown; it must outlive the window.
    void SetHostNames(names::ReverseDns* Hosts);
    // The window looks up countries and AS names in a handle of its own. Without a database (an
    // empty Path, or one that cannot be opened) the tables of places are greyed out, their tooltip
    // saying why (WhyNone, or the reason the file was refused).
    void SetLocationDatabase(const std::string& Path, const std::string& WhyNone = {});
    // The history folder (Collector::HistoryFolder()). Empty: the history spans stay listed but
    // cannot be chosen, and WhyNone says why in their tooltip.
    void SetHistoryFolder(const std::string& Folder, const std::string& WhyNone = {});
    void SetHistoryAsker(HistoryAsker Asker);
    // Whether the span chosen is one of the history's.
    bool ShowsHistory() const;
    // Whether a question to the history is under way.
    bool AskingHistory() const { return Job_ != 0; }

    // One tick: what the refresh timer does once a second.
    void Refresh();
    // Writes the flow rows shown, in their order, with a header line. False when the file cannot
    // be written.
    bool SaveCsv(const QString& FileName) const;
    // Of the span chosen; for a history span, of the range last asked.
    int SpanSeconds() const;

  protected:
    void closeEvent(QCloseEvent* Event) override;
    void showEvent(QShowEvent* Event) override;

  private:
    struct Snapshot;

    void BuildControls();
    QWidget* BuildFlowPane();
    void SizeFlowColumns();
    QTableView* AddTalkerTab(TalkerKind Kind, const char* Name, const char* Title);
    void AddPlaceTab(std::pair<TalkerKind, const char*> Sources, std::pair<TalkerKind, const char*> Destinations,
                     const char* Title);
    QTableView* MakeTalkerTable(TalkerKind Kind, const char* Name, QWidget* Parent);
    void SpreadNames();
    // Fills the snapshot in place: its buffers are kept from one refresh to the next.
    void Take(Snapshot& S);
    void Update();
    void Show(const Snapshot& S);
    void ShowBounds(const Snapshot& S);
    void ShowTotals(const TrafficTotals& Totals, int Seconds);
    void ShowFlowCount();
    QWidget* BuildHistoryBar();
    QWidget* BuildCustomRange();
    void SpanChosen();
    void LeaveHistory();
    void EnterHistory();
    void CustomRangeChosen();
    // Asks the history about Range_; Overview false asks for the flows only where the tables of
    // that range are shown already.
    void AskHistory(bool Overview);
    void HistoryProgress(quint64 Job, double Done);
    void HistoryFinished(quint64 Job, bool Cancelled, const QString& Error);
    void ShowHistory(HistoryAnswer& Answer);
    void SayHistory(const QString& Text, const QString& Tip = {}, bool Alarm = false);
    FlowTableModel* ShownFlows() const;
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
    ViewNames Names_;
    std::unique_ptr<names::Locator> Places_;
    std::vector<TalkerKind> TabKinds_;  // the kind of each tab, the first of a tab of two tables
    FlowFilter Filter_;                 // the flow table's, from txtFilter

    std::string HistoryFolder_;
    HistoryAsker Asker_;
    HistoryRunner* Runner_ = nullptr;
    bool InHistory_ = false;
    history::Span Range_;  // of the history span chosen
    quint64 Job_ = 0;      // the question under way; 0 while none
    std::shared_ptr<HistoryAnswer> Pending_;
    // The answer whose tables and chart are shown (its flows moved to the table).
    std::shared_ptr<const HistoryAnswer> Overview_;
    bool FlowsTruncated_ = false;
    bool Interrupted_ = false;  // the window was closed during a question: ask again when shown
    QTimer* FilterDelay_ = nullptr;

    QComboBox* cmbSpan = nullptr;
    QWidget* CustomRange_ = nullptr;
    QDateTimeEdit* dtFrom = nullptr;
    QDateTimeEdit* dtTo = nullptr;
    QPushButton* cmdShowRange = nullptr;
    QWidget* HistoryBar_ = nullptr;
    QLabel* lblHistory = nullptr;
    QProgressBar* barHistory = nullptr;
    QPushButton* cmdCancelHistory = nullptr;
    QPushButton* cmdAskAgain = nullptr;
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
    FlowTableModel* Flows_ = nullptr;         // the live flows
    FlowTableModel* HistoryFlows_ = nullptr;  // a history span's
    FlowFilterProxy* FlowProxy_ = nullptr;
};
