#include "TrafficWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdint>
#include <mutex>

#include "FlowHandOver.h"
#include "FlowTableModel.h"
#include "HistoryRunner.h"
#include "InterfaceNames.h"
#include "TalkerTableModel.h"
#include "TrafficChart.h"
#include "TrafficNames.h"

namespace {

constexpr int kSpans[] = {60, 300, 900, 3600};
constexpr const char* kSpanNames[] = {"Last 1 minute", "Last 5 minutes", "Last 15 minutes", "Last 60 minutes"};
constexpr int kLiveSpans = 4;
// The history's spans follow the live ones in the selector, then the range of one's own choosing.
constexpr std::int64_t kHistoryHours[] = {6, 24, 7 * 24, 30 * 24};
constexpr const char* kHistoryNames[] = {"Last 6 hours", "Last 24 hours", "Last 7 days", "Last 30 days"};
constexpr int kCustomSpan = kLiveSpans + 4;
constexpr const char* kNoHistory = "History is off (--no-history)";
// Typing a filter asks the history again; a pause in typing, not every key, is worth a question.
constexpr int kFilterDelayMs = 400;

const QString kRangeFormat = QStringLiteral("yyyy-MM-dd hh:mm");

QString RangeText(const history::Span& Range) {
    return QDateTime::fromMSecsSinceEpoch(Range.FromMs).toString(kRangeFormat) + QStringLiteral(" to ") +
           QDateTime::fromMSecsSinceEpoch(Range.ToMs).toString(kRangeFormat);
}

QTableView* MakeTable(QWidget* Parent, const char* Name) {
    auto* view = new QTableView(Parent);
    view->setObjectName(QString::fromLatin1(Name));
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setAlternatingRowColors(true);
    view->verticalHeader()->hide();
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    view->setWordWrap(false);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    return view;
}

// Text with the estimate mark where Totals took in sampled flows.
QString Marked(const TrafficTotals& Totals, const std::string& Text) {
    return QString::fromStdString(Totals.Estimated() ? trafficnames::kEstimateMark + Text : Text);
}

QString CsvField(const QString& Text) {
    // Interface names are the routers' own and may hold anything.
    if (!Text.contains(QLatin1Char(',')) && !Text.contains(QLatin1Char('"')) && !Text.contains(QLatin1Char('\n')))
        return Text;
    QString quoted = Text;
    quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

}  // namespace

struct TrafficWindow::Snapshot {
    std::array<TalkerTop, kTalkerKinds> Tops;
    std::vector<TrafficTotals> Series;
    std::vector<TrafficTotals> Selected;
    TrafficTotals Totals;
    std::vector<FlowRecord> NewFlows;
    std::uint64_t ClockStepsBack = 0;
};

TrafficWindow::TrafficWindow(SharedTraffic& Traffic, const FlowHandOver* HandOver, QWidget* Parent,
                             std::function<std::int64_t()> NowMs)
    : QWidget(Parent, Qt::Window), Traffic_(Traffic), HandOver_(HandOver), NowMs_(std::move(NowMs)) {
    if (!NowMs_) NowMs_ = [] { return QDateTime::currentMSecsSinceEpoch(); };
    Asker_ = [](const HistoryQuestion& Question, const history::QueryControl& Control, HistoryAnswer& Out) {
        ::AskHistory(Question, Control, Out);
    };
    Runner_ = new HistoryRunner(this);
    connect(Runner_, &HistoryRunner::Progress, this, &TrafficWindow::HistoryProgress);
    connect(Runner_, &HistoryRunner::Finished, this, &TrafficWindow::HistoryFinished);
    FilterDelay_ = new QTimer(this);
    FilterDelay_->setSingleShot(true);
    FilterDelay_->setInterval(kFilterDelayMs);
    connect(FilterDelay_, &QTimer::timeout, this, [this] {
        if (InHistory_) AskHistory(false);
    });
    BuildControls();
    SetHistoryFolder({});
    SetLocationDatabase({}, "none was given");
    Timer_ = new QTimer(this);
    Timer_->setInterval(1000);
    connect(Timer_, &QTimer::timeout, this, &TrafficWindow::Refresh);
    Timer_->start();
    Refresh();
}

TrafficWindow::~TrafficWindow() {
    // The question under way is stopped and its thread gone before anything it reports to.
    delete Runner_;
}

void TrafficWindow::SetInterfaceNames(const InterfaceNames* Names) {
    Names_.Interfaces = Names;
    SpreadNames();
}

void TrafficWindow::SetHostNames(names::ReverseDns* Hosts) {
    Names_.Hosts = Hosts;
    SizeFlowColumns();
    SpreadNames();
}

void TrafficWindow::SetLocationDatabase(const std::string& Path, const std::string& WhyNone) {
    std::string error = WhyNone;
    Places_.reset();
    if (!Path.empty()) Places_ = names::Locator::Open(Path, &error, 16384);
    Names_.Places = Places_.get();
    // The tables of places stay, greyed, so that the operator sees what is missing and why.
    const QString tip =
        Places_ ? QString() : QStringLiteral("No location database: %1").arg(QString::fromStdString(error));
    for (int t = 0; t < tabTalkers->count(); ++t) {
        if (!Located(TabKinds_[static_cast<std::size_t>(t)])) continue;
        tabTalkers->setTabEnabled(t, Places_ != nullptr);
        tabTalkers->setTabToolTip(t, tip);
    }
    SpreadNames();
}

void TrafficWindow::SpreadNames() {
    // The talker tables take the names at their next refresh; the flow table asks as it paints.
    for (TalkerTableModel* model : TalkerModels_) model->SetNames(Names_);
    Flows_->SetNames(Names_);
    HistoryFlows_->SetNames(Names_);
    tblFlows->viewport()->update();
}

void TrafficWindow::SetHistoryFolder(const std::string& Folder, const std::string& WhyNone) {
    HistoryFolder_ = Folder;
    const QString why = QString::fromStdString(WhyNone.empty() ? std::string(kNoHistory) : WhyNone);
    auto* items = qobject_cast<QStandardItemModel*>(cmbSpan->model());
    for (int i = kLiveSpans; i <= kCustomSpan; ++i) {
        QStandardItem* item = items->item(i);
        item->setEnabled(!Folder.empty());
        item->setToolTip(Folder.empty() ? why : QString());
    }
    if (Folder.empty() && ShowsHistory()) cmbSpan->setCurrentIndex(kLiveSpans - 1);
}

void TrafficWindow::SetHistoryAsker(HistoryAsker Asker) { Asker_ = std::move(Asker); }

bool TrafficWindow::ShowsHistory() const { return cmbSpan->currentIndex() >= kLiveSpans; }

void TrafficWindow::BuildControls() {
    setObjectName(QStringLiteral("TrafficWindow"));
    setWindowTitle(QStringLiteral("Traffic"));
    resize(1200, 820);

    cmbSpan = new QComboBox(this);
    cmbSpan->setObjectName(QStringLiteral("cmbSpan"));
    for (const char* name : kSpanNames) cmbSpan->addItem(QString::fromLatin1(name));
    for (const char* name : kHistoryNames) cmbSpan->addItem(QString::fromLatin1(name));
    cmbSpan->addItem(QStringLiteral("Custom range\u2026"));
    connect(cmbSpan, &QComboBox::currentIndexChanged, this, &TrafficWindow::SpanChosen);
    lblTotals = new QLabel(this);
    lblTotals->setObjectName(QStringLiteral("lblTotals"));
    lblBounds = new QLabel(this);
    lblBounds->setObjectName(QStringLiteral("lblBounds"));
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Span:"), this));
    top->addWidget(cmbSpan);
    top->addWidget(BuildCustomRange());
    top->addSpacing(12);
    top->addWidget(lblTotals, 1);
    top->addWidget(lblBounds);

    tabTalkers = new QTabWidget(this);
    tabTalkers->setObjectName(QStringLiteral("tabTalkers"));
    AddTalkerTab(TalkerKind::Source, "tblSources", "Sources");
    AddTalkerTab(TalkerKind::Destination, "tblDestinations", "Destinations");
    AddTalkerTab(TalkerKind::Conversation, "tblConversations", "Conversations");
    AddTalkerTab(TalkerKind::Protocol, "tblProtocols", "Protocols");
    AddTalkerTab(TalkerKind::DestinationPort, "tblPorts", "Destination ports");
    AddTalkerTab(TalkerKind::Exporter, "tblExporters", "Exporters");
    AddTalkerTab(TalkerKind::Interface, "tblInterfaces", "Interfaces");
    AddPlaceTab({TalkerKind::SourceCountry, "tblSourceCountries"},
                {TalkerKind::DestinationCountry, "tblDestinationCountries"}, "Countries");
    AddPlaceTab({TalkerKind::SourceAs, "tblSourceAs"}, {TalkerKind::DestinationAs, "tblDestinationAs"}, "AS");
    // Utilisation says something of interfaces only.
    for (std::size_t k = 0; k < kTalkerKinds; ++k)
        if (static_cast<TalkerKind>(k) != TalkerKind::Interface)
            TalkerViews_[k]->setColumnHidden(TalkerTableModel::Utilisation, true);
    connect(tabTalkers, &QTabWidget::currentChanged, this, [this](int Tab) {
        if (Tab >= 0 && static_cast<std::size_t>(Tab) < TabKinds_.size()) TalkerSelected(TabKinds_[Tab]);
    });
    chartTraffic = new TrafficChart(this);

    auto* upper = new QSplitter(Qt::Horizontal, this);
    upper->addWidget(tabTalkers);
    upper->addWidget(chartTraffic);
    upper->setSizes({680, 520});
    auto* split = new QSplitter(Qt::Vertical, this);
    split->setObjectName(QStringLiteral("splitTraffic"));
    split->addWidget(upper);
    split->addWidget(BuildFlowPane());
    split->setSizes({430, 390});

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(BuildHistoryBar());
    layout->addWidget(split, 1);
}

QWidget* TrafficWindow::BuildCustomRange() {
    CustomRange_ = new QWidget(this);
    CustomRange_->setObjectName(QStringLiteral("CustomRange"));
    const auto edit = [this](const char* Name) {
        auto* e = new QDateTimeEdit(CustomRange_);
        e->setObjectName(QString::fromLatin1(Name));
        e->setDisplayFormat(kRangeFormat);
        e->setCalendarPopup(true);
        return e;
    };
    dtFrom = edit("dtFrom");
    dtTo = edit("dtTo");
    cmdShowRange = new QPushButton(QStringLiteral("Show"), CustomRange_);
    cmdShowRange->setObjectName(QStringLiteral("cmdShowRange"));
    connect(cmdShowRange, &QPushButton::clicked, this, &TrafficWindow::CustomRangeChosen);
    auto* row = new QHBoxLayout(CustomRange_);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(new QLabel(QStringLiteral("from"), CustomRange_));
    row->addWidget(dtFrom);
    row->addWidget(new QLabel(QStringLiteral("to"), CustomRange_));
    row->addWidget(dtTo);
    row->addWidget(cmdShowRange);
    CustomRange_->hide();
    return CustomRange_;
}

QWidget* TrafficWindow::BuildHistoryBar() {
    HistoryBar_ = new QWidget(this);
    HistoryBar_->setObjectName(QStringLiteral("HistoryBar"));
    lblHistory = new QLabel(HistoryBar_);
    lblHistory->setObjectName(QStringLiteral("lblHistory"));
    lblHistory->setTextFormat(Qt::PlainText);
    barHistory = new QProgressBar(HistoryBar_);
    barHistory->setObjectName(QStringLiteral("barHistory"));
    barHistory->setRange(0, 100);
    barHistory->setFixedWidth(240);
    cmdCancelHistory = new QPushButton(QStringLiteral("Cancel"), HistoryBar_);
    cmdCancelHistory->setObjectName(QStringLiteral("cmdCancelHistory"));
    connect(cmdCancelHistory, &QPushButton::clicked, this, [this] { Runner_->Cancel(); });
    cmdAskAgain = new QPushButton(QStringLiteral("Ask again"), HistoryBar_);
    cmdAskAgain->setObjectName(QStringLiteral("cmdAskAgain"));
    cmdAskAgain->setToolTip(QStringLiteral("Reads the span again, up to now"));
    connect(cmdAskAgain, &QPushButton::clicked, this, [this] {
        if (cmbSpan->currentIndex() == kCustomSpan) {
            CustomRangeChosen();
        } else {
            SpanChosen();
        }
    });
    auto* row = new QHBoxLayout(HistoryBar_);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(lblHistory, 1);
    row->addWidget(barHistory);
    row->addWidget(cmdCancelHistory);
    row->addWidget(cmdAskAgain);
    HistoryBar_->hide();
    return HistoryBar_;
}

QTableView* TrafficWindow::AddTalkerTab(TalkerKind Kind, const char* Name, const char* Title) {
    QTableView* view = MakeTalkerTable(Kind, Name, tabTalkers);
    tabTalkers->addTab(view, QString::fromLatin1(Title));
    TabKinds_.push_back(Kind);
    return view;
}

void TrafficWindow::AddPlaceTab(std::pair<TalkerKind, const char*> Sources,
                                std::pair<TalkerKind, const char*> Destinations, const char* Title) {
    // Where traffic comes from above where it goes: one look answers both, and names as long as an
    // AS's keep the table's whole width.
    auto* pair = new QSplitter(Qt::Vertical, tabTalkers);
    pair->setObjectName(QString::fromLatin1(Title));
    pair->addWidget(MakeTalkerTable(Sources.first, Sources.second, pair));
    pair->addWidget(MakeTalkerTable(Destinations.first, Destinations.second, pair));
    tabTalkers->addTab(pair, QString::fromLatin1(Title));
    TabKinds_.push_back(Sources.first);
}

QTableView* TrafficWindow::MakeTalkerTable(TalkerKind Kind, const char* Name, QWidget* Parent) {
    const auto k = static_cast<std::size_t>(Kind);
    auto* model = new TalkerTableModel(Kind, this);
    auto* proxy = new QSortFilterProxyModel(this);
    proxy->setSourceModel(model);
    proxy->setSortRole(TalkerTableModel::kSortRole);
    QTableView* view = MakeTable(Parent, Name);
    view->setModel(proxy);
    view->setSortingEnabled(true);
    view->sortByColumn(TalkerTableModel::Bytes, Qt::DescendingOrder);
    // The figures take what they need and the talker the rest: an address cut to "1..." says nothing.
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    view->horizontalHeader()->setSectionResizeMode(TalkerTableModel::Talker, QHeaderView::Stretch);
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this, Kind] { TalkerSelected(Kind); });
    TalkerViews_[k] = view;
    TalkerModels_[k] = model;
    return view;
}

QWidget* TrafficWindow::BuildFlowPane() {
    auto* pane = new QWidget(this);
    txtFilter = new QLineEdit(pane);
    txtFilter->setObjectName(QStringLiteral("txtFilter"));
    txtFilter->setPlaceholderText(
        QStringLiteral("Filter: address or prefix, port, protocol, exporter:address (all must match)"));
    txtFilter->setClearButtonEnabled(true);
    connect(txtFilter, &QLineEdit::textChanged, this, &TrafficWindow::FilterChanged);
    cmdPause = new QPushButton(QStringLiteral("Pause"), pane);
    cmdPause->setObjectName(QStringLiteral("cmdPause"));
    cmdPause->setCheckable(true);
    connect(cmdPause, &QPushButton::toggled, this, &TrafficWindow::PauseToggled);
    cmdSaveCsv = new QPushButton(QStringLiteral("Save as CSV\u2026"), pane);
    cmdSaveCsv->setObjectName(QStringLiteral("cmdSaveCsv"));
    connect(cmdSaveCsv, &QPushButton::clicked, this, &TrafficWindow::SaveClicked);
    lblFlows = new QLabel(pane);
    lblFlows->setObjectName(QStringLiteral("lblFlows"));

    Flows_ = new FlowTableModel(100000, this);
    HistoryFlows_ = new FlowTableModel(kHistoryFlows, this);
    FlowProxy_ = new FlowFilterProxy(this);
    FlowProxy_->setSourceModel(Flows_);
    tblFlows = MakeTable(pane, "tblFlows");
    tblFlows->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tblFlows->setModel(FlowProxy_);
    // No sort until a header is clicked: the newest flows then simply join at the bottom.
    tblFlows->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    tblFlows->setSortingEnabled(true);
    tblFlows->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    SizeFlowColumns();

    auto* bar = new QHBoxLayout;
    bar->addWidget(txtFilter, 1);
    bar->addWidget(cmdPause);
    bar->addWidget(cmdSaveCsv);
    bar->addWidget(lblFlows);
    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(bar);
    layout->addWidget(tblFlows, 1);
    return pane;
}

void TrafficWindow::SizeFlowColumns() {
    // Wide enough for what a column usually holds, not for its longest cell: the rows change
    // every second and a table that re-measured them would jump.
    const QFontMetrics cells = tblFlows->fontMetrics();
    const QFontMetrics headers = tblFlows->horizontalHeader()->fontMetrics();
    const auto fit = [&](int Column, const char* Sample) {
        // A heading has margins and room for the sort arrow beside its text.
        const int heading =
            headers.horizontalAdvance(FlowTableModel::HeaderText(Column)) + 4 * headers.averageCharWidth();
        const int cell = cells.horizontalAdvance(QString::fromUtf8(Sample)) + 2 * cells.averageCharWidth();
        tblFlows->setColumnWidth(Column, std::max(heading, cell));
    };
    fit(FlowTableModel::Received, "2024-12-31 23:59:59.999");
    fit(FlowTableModel::Start, "23:59:59.999");
    fit(FlowTableModel::End, "23:59:59.999");
    fit(FlowTableModel::Duration, "9999.999 s");
    fit(FlowTableModel::Exporter, "192.168.100.100");
    // With host names beside them, addresses take room for a name of common length.
    const char* address = Names_.Hosts != nullptr ? "192.168.100.100 (mail.example.org)" : "192.168.100.100";
    fit(FlowTableModel::Source, address);
    fit(FlowTableModel::SourcePort, "65535");
    fit(FlowTableModel::Destination, address);
    fit(FlowTableModel::DestinationPort, "65535");
    fit(FlowTableModel::Protocol, "ICMPv6");
    fit(FlowTableModel::InputIf, "Gi0/0/10 (10)");
    fit(FlowTableModel::OutputIf, "Gi0/0/10 (10)");
    fit(FlowTableModel::Bytes, "4294967295");
    fit(FlowTableModel::Packets, "1000000");
    fit(FlowTableModel::Sampling, "1 in 1000");
    fit(FlowTableModel::ScaledBytes, "\u22484294967295");
    fit(FlowTableModel::Version, "10");
    fit(FlowTableModel::SourceCountry, "US");
    fit(FlowTableModel::SourceAs, "AS64512 EXAMPLE-NET");
    fit(FlowTableModel::DestinationCountry, "US");
    fit(FlowTableModel::DestinationAs, "AS64512 EXAMPLE-NET");
}

int TrafficWindow::SpanSeconds() const {
    const int span = cmbSpan->currentIndex();
    if (span < kLiveSpans) return kSpans[std::max(0, span)];
    const std::int64_t seconds = (Range_.ToMs - Range_.FromMs) / 1000;
    return static_cast<int>(std::clamp<std::int64_t>(seconds, 1, INT32_MAX));
}

void TrafficWindow::Take(Snapshot& s) {
    s.NewFlows.clear();
    s.Selected.clear();
    const int span = SpanSeconds();
    std::lock_guard<std::mutex> lock(Traffic_.Lock);
    if (Traffic_.Aggregator == nullptr) {
        s = {};
        return;
    }
    TrafficAggregator& agg = *Traffic_.Aggregator;
    agg.AdvanceTo(NowMs_());
    for (std::size_t k = 0; k < kTalkerKinds; ++k) s.Tops[k] = agg.Top(static_cast<TalkerKind>(k), span);
    s.Series = agg.Series(span);
    if (Selected_) s.Selected = agg.KeySeries(Selected_->first, Selected_->second, span);
    s.Totals = agg.SpanTotals(span);
    agg.NewestFlows(FlowsTaken_, s.NewFlows);
    FlowsTaken_ = agg.FlowsAdded();
    s.ClockStepsBack = agg.ClockStepsBack();
}

void TrafficWindow::Refresh() {
    // A history span stands still until asked again; the aggregator goes on meanwhile and its
    // flows are taken up on the way back.
    if (Paused_ || InHistory_) return;
    Update();
}

void TrafficWindow::Update() {
    // A fresh hundred thousand flows a second in a fresh buffer each time cost more in page faults
    // than in copying.
    if (!Snap_) Snap_ = std::make_unique<Snapshot>();
    Take(*Snap_);
    Show(*Snap_);
}

void TrafficWindow::Show(const Snapshot& S) {
    const int span = SpanSeconds();
    for (std::size_t k = 0; k < kTalkerKinds; ++k) TalkerModels_[k]->SetTop(S.Tops[k], span);
    Reselect();
    QString selectedName;
    if (Selected_)
        selectedName = QString::fromStdString(trafficnames::DescribeKey(Selected_->first, Selected_->second, Names_));
    chartTraffic->Show(S.Series, S.Selected, selectedName);
    ShowTotals(S.Totals, span);
    ShowBounds(S);

    QScrollBar* scroll = tblFlows->verticalScrollBar();
    const bool following = scroll->value() == scroll->maximum();
    Flows_->Append(S.NewFlows);
    if (following) tblFlows->scrollToBottom();
    ShowFlowCount();
}

void TrafficWindow::ShowTotals(const TrafficTotals& T, int Seconds) {
    const double bitRate = 8.0 * static_cast<double>(T.Bytes) / std::max(1, Seconds);
    lblTotals->setText(QStringLiteral("%1 flows, %2, %3 packets, %4 on average")
                           .arg(T.Flows)
                           .arg(Marked(T, trafficnames::FormatBytes(T.Bytes)))
                           .arg(Marked(T, std::to_string(T.Packets)))
                           .arg(Marked(T, trafficnames::FormatBitRate(bitRate))));
    lblTotals->setToolTip(QString::fromStdString(trafficnames::EstimateNote(T)));
}

void TrafficWindow::ShowFlowCount() {
    QString text = QStringLiteral("%1 of %2 flows shown").arg(FlowProxy_->rowCount()).arg(ShownFlows()->rowCount());
    QString tip;
    if (InHistory_ && FlowsTruncated_) {
        text += QStringLiteral(" (the span has more)");
        tip = QStringLiteral("The history lists the first %1 flows of the span that match the filter, oldest first.")
                  .arg(kHistoryFlows);
    }
    lblFlows->setText(text);
    lblFlows->setToolTip(tip);
}

FlowTableModel* TrafficWindow::ShownFlows() const { return InHistory_ ? HistoryFlows_ : Flows_; }

void TrafficWindow::ShowBounds(const Snapshot& S) {
    std::uint64_t keys = 0;
    std::uint64_t cut = 0;
    for (const TalkerTop& t : S.Tops) {
        keys += t.KeysDropped;
        cut += t.FlowsCut;
    }
    const std::uint64_t batches = HandOver_ != nullptr ? HandOver_->RecordsDropped() : 0;
    lblBounds->setText(QStringLiteral("Dropped by the bounds: %1 keys, %2 flows from tables, %3 flows not handed over")
                           .arg(keys)
                           .arg(cut)
                           .arg(batches));
}

void TrafficWindow::TalkerSelected(TalkerKind Kind) {
    QTableView* view = TalkerViews_[static_cast<std::size_t>(Kind)];
    QWidget* shown = tabTalkers->currentWidget();
    if (view == nullptr || shown == nullptr || (shown != view && !shown->isAncestorOf(view))) return;
    const QModelIndexList rows = view->selectionModel()->selectedRows();
    const auto* proxy = static_cast<const QSortFilterProxyModel*>(view->model());
    std::optional<TalkerKey> key;
    if (!rows.isEmpty())
        key = TalkerModels_[static_cast<std::size_t>(Kind)]->KeyAt(proxy->mapToSource(rows.front()).row());
    if (key) {
        Selected_ = std::make_pair(Kind, *key);
    } else {
        Selected_.reset();
    }
    Refresh();
}

void TrafficWindow::Reselect() {
    // Rows are refilled every tick; the selection follows the talker, not the row number.
    for (std::size_t k = 0; k < kTalkerKinds; ++k) {
        QTableView* view = TalkerViews_[k];
        const QSignalBlocker quiet(view->selectionModel());
        view->selectionModel()->clearSelection();
        if (!Selected_ || static_cast<std::size_t>(Selected_->first) != k) continue;
        const int row = TalkerModels_[k]->RowOf(Selected_->second);
        if (row < 0) continue;
        const auto* proxy = static_cast<const QSortFilterProxyModel*>(view->model());
        const QModelIndex at = proxy->mapFromSource(TalkerModels_[k]->index(row, 0));
        view->selectionModel()->select(at, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    for (QTableView* view : TalkerViews_) view->viewport()->update();
}

void TrafficWindow::FilterChanged() {
    FlowFilter filter;
    std::string error;
    const bool ok = filter.Parse(txtFilter->text().toStdString(), &error);
    txtFilter->setStyleSheet(ok ? QString() : QStringLiteral("QLineEdit { background: #ffe0e0; }"));
    txtFilter->setToolTip(QString::fromStdString(error));
    Filter_ = filter;
    FlowProxy_->SetFilter(filter);
    ShowFlowCount();
    // The history lists only the flows that match, so a new filter is a new question; a filter
    // half typed is none, and not worth reading every flow of the span for.
    if (InHistory_ && ok) FilterDelay_->start();
}

void TrafficWindow::PauseToggled(bool Paused) {
    Paused_ = Paused;
    cmdPause->setText(Paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    if (!Paused_) Refresh();
}

bool TrafficWindow::SaveCsv(const QString& FileName) const {
    QFile file(FileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    QByteArray text;
    for (int c = 0; c < FlowTableModel::ColumnCount; ++c)
        text += (c ? "," : "") + FlowTableModel::HeaderText(c).toUtf8();
    text += "\r\n";
    const FlowTableModel* flows = ShownFlows();
    for (int row = 0; row < FlowProxy_->rowCount(); ++row) {
        const FlowRecord& r = flows->Record(FlowProxy_->mapToSource(FlowProxy_->index(row, 0)).row());
        for (int c = 0; c < FlowTableModel::ColumnCount; ++c)
            text += (c ? "," : "") + CsvField(flows->Text(r, c, FlowTableModel::TextFor::File)).toUtf8();
        text += "\r\n";
    }
    return file.write(text) == text.size() && file.flush();
}

void TrafficWindow::SaveClicked() {
    const QString name =
        QFileDialog::getSaveFileName(this, QStringLiteral("Save as CSV"), QStringLiteral("traffic-flows.csv"),
                                     QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (name.isEmpty()) return;
    if (!SaveCsv(name)) QMessageBox::warning(this, windowTitle(), QStringLiteral("Could not write ") + name);
}

void TrafficWindow::SpanChosen() {
    const int span = cmbSpan->currentIndex();
    CustomRange_->setVisible(span == kCustomSpan);
    if (span < kLiveSpans) {
        LeaveHistory();
        return;
    }
    if (span == kCustomSpan) {
        // The range shown so far is where one's own choice usually starts from.
        const std::int64_t now = NowMs_();
        const history::Span start = InHistory_ ? Range_ : history::Span{now - 3'600'000, now};
        dtFrom->setDateTime(QDateTime::fromMSecsSinceEpoch(start.FromMs));
        dtTo->setDateTime(QDateTime::fromMSecsSinceEpoch(start.ToMs));
        CustomRangeChosen();
        return;
    }
    const std::int64_t now = NowMs_();
    Range_ = {now - kHistoryHours[span - kLiveSpans] * 3'600'000, now};
    EnterHistory();
    AskHistory(true);
}

void TrafficWindow::CustomRangeChosen() {
    const history::Span range{dtFrom->dateTime().toMSecsSinceEpoch(), dtTo->dateTime().toMSecsSinceEpoch()};
    EnterHistory();
    if (range.ToMs <= range.FromMs) {
        SayHistory(QStringLiteral("The range must end after it begins."), {}, true);
        return;
    }
    Range_ = range;
    AskHistory(true);
}

void TrafficWindow::EnterHistory() {
    if (InHistory_) return;
    InHistory_ = true;
    Overview_.reset();
    FlowsTruncated_ = false;
    HistoryFlows_->Clear();
    FlowProxy_->setSourceModel(HistoryFlows_);
    lblBounds->hide();
    HistoryBar_->show();
    cmdPause->setEnabled(false);
}

void TrafficWindow::LeaveHistory() {
    if (!InHistory_) {
        Refresh();
        return;
    }
    InHistory_ = false;
    Runner_->Cancel();
    Job_ = 0;
    Pending_.reset();
    Overview_.reset();
    Interrupted_ = false;
    FilterDelay_->stop();
    HistoryFlows_->Clear();
    FlowProxy_->setSourceModel(Flows_);
    HistoryBar_->hide();
    lblBounds->show();
    cmdPause->setEnabled(true);
    // Once even while paused: the tables and the chart hold the history's figures until then.
    Update();
    tblFlows->scrollToBottom();
}

void TrafficWindow::AskHistory(bool Overview) {
    if (HistoryFolder_.empty()) {
        SayHistory(QString::fromLatin1(kNoHistory), {}, true);
        return;
    }
    // The tables of the range may stand while only the filter changed.
    const bool overview = Overview || Overview_ == nullptr || Overview_->Range.FromMs != Range_.FromMs ||
                          Overview_->Range.ToMs != Range_.ToMs;
    HistoryQuestion question;
    question.Folder = HistoryFolder_;
    if (Places_) question.LocationDatabase = Places_->Facts().Path;
    question.Range = Range_;
    question.Overview = overview;
    question.Filter = Filter_;
    question.FlowLimit = kHistoryFlows;
    // Nothing of another span stays in view under this one's name.
    if (overview) {
        Overview_.reset();
        const int seconds = SpanSeconds();
        for (TalkerTableModel* model : TalkerModels_) model->SetTop({}, seconds);
        chartTraffic->ShowHistory({}, Range_.FromMs, std::max<std::int64_t>(1000, Range_.ToMs - Range_.FromMs));
        lblTotals->clear();
        lblTotals->setToolTip(QString());
    }
    HistoryFlows_->Clear();
    FlowsTruncated_ = false;
    ShowFlowCount();
    FilterDelay_->stop();
    Interrupted_ = false;

    auto answer = std::make_shared<HistoryAnswer>();
    Pending_ = answer;
    Job_ = Runner_->Run(
        [question, answer, ask = Asker_](const history::QueryControl& Control) { ask(question, Control, *answer); });
    barHistory->setValue(0);
    barHistory->show();
    cmdCancelHistory->show();
    cmdAskAgain->hide();
    SayHistory(QStringLiteral("Reading the history of %1\u2026").arg(RangeText(Range_)));
}

void TrafficWindow::HistoryProgress(quint64 Job, double Done) {
    if (Job == Job_) barHistory->setValue(static_cast<int>(Done * 100 + 0.5));
}

void TrafficWindow::HistoryFinished(quint64 Job, bool Cancelled, const QString& Error) {
    // Questions that were overtaken by a newer one end here unseen.
    if (Job != Job_ || Job == 0) return;
    Job_ = 0;
    std::shared_ptr<HistoryAnswer> answer = std::move(Pending_);
    barHistory->hide();
    cmdCancelHistory->hide();
    cmdAskAgain->show();
    if (!Error.isEmpty() && answer->Error.empty()) answer->Error = Error.toStdString();
    if (Cancelled || answer->Cancelled) {
        // Closed and opened again before the question had stopped: it is asked again.
        if (Interrupted_ && isVisible()) {
            AskHistory(true);
            return;
        }
        SayHistory((Overview_ ? QStringLiteral("Cancelled: the flows of %1 are not listed.")
                              : QStringLiteral("Cancelled: nothing of %1 is shown."))
                       .arg(RangeText(Range_)) +
                   QStringLiteral(" \u201cAsk again\u201d reads it."));
        return;
    }
    if (!answer->Error.empty()) {
        SayHistory(QStringLiteral("The history could not answer: %1").arg(QString::fromStdString(answer->Error)), {},
                   true);
        return;
    }
    ShowHistory(*answer);
}

void TrafficWindow::ShowHistory(HistoryAnswer& Answer) {
    const int seconds = SpanSeconds();
    if (Answer.Overview) {
        for (std::size_t k = 0; k < kTalkerKinds; ++k)
            TalkerModels_[k]->SetTop(Answer.Tops[k], seconds, Answer.OtherRow[k]);
        Reselect();
        chartTraffic->ShowHistory(Answer.Series, Answer.SeriesStartMs, Answer.StepMs);
        ShowTotals(Answer.Totals, seconds);
    }
    HistoryFlows_->Clear();
    HistoryFlows_->Append(Answer.Flows);
    FlowsTruncated_ = Answer.FlowsTruncated;
    // The table has its copy; the tables' answer is kept without them.
    Answer.Flows = {};
    tblFlows->scrollToTop();
    ShowFlowCount();
    if (Answer.Overview) Overview_ = std::make_shared<const HistoryAnswer>(std::move(Answer));

    QString text = QStringLiteral("History of %1").arg(RangeText(Range_));
    QString tip;
    if (Overview_ && !Overview_->Exact) {
        text += QStringLiteral(", from the minute and hour summaries");
        tip = QStringLiteral(
            "Part of the span is kept only in the summaries, or it holds too many flows to read them all: the tables "
            "come from the summaries, which keep each minute's and hour's leading talkers. A talker that never led "
            "may be missing or counted short.");
    }
    const bool other = Overview_ && std::any_of(Overview_->OtherRow.begin(), Overview_->OtherRow.end(),
                                                [](int Row) { return Row >= 0; });
    if (other) {
        text += QStringLiteral("; \u201cAll others\u201d sums the talkers they did not keep");
        if (!tip.isEmpty()) tip += QLatin1Char(' ');
        tip += QStringLiteral("\u201cAll others\u201d is the rest of the traffic, no one talker's.");
    }
    text += QStringLiteral(". The filter narrows the flows only.");
    SayHistory(text, tip);
}

void TrafficWindow::SayHistory(const QString& Text, const QString& Tip, bool Alarm) {
    lblHistory->setText(Text);
    lblHistory->setToolTip(Tip);
    lblHistory->setStyleSheet(Alarm ? QStringLiteral("color: #b00020; font-weight: bold") : QString());
}

void TrafficWindow::closeEvent(QCloseEvent* Event) {
    // Nobody looks at a closed window: its question stops, and is asked again when it is shown.
    if (Job_ != 0) {
        Runner_->Cancel();
        Interrupted_ = true;
    }
    QWidget::closeEvent(Event);
}

void TrafficWindow::showEvent(QShowEvent* Event) {
    QWidget::showEvent(Event);
    if (Interrupted_ && InHistory_ && Job_ == 0) AskHistory(true);
}
