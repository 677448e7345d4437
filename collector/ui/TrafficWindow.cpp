#include "TrafficWindow.h"

#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <mutex>

#include "FlowHandOver.h"
#include "FlowTableModel.h"
#include "InterfaceNames.h"
#include "TalkerTableModel.h"
#include "TrafficChart.h"
#include "TrafficNames.h"

namespace {

constexpr int kSpans[] = {60, 300, 900, 3600};
constexpr const char* kSpanNames[] = {"Last 1 minute", "Last 5 minutes", "Last 15 minutes", "Last 60 minutes"};

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
    BuildControls();
    Timer_ = new QTimer(this);
    Timer_->setInterval(1000);
    connect(Timer_, &QTimer::timeout, this, &TrafficWindow::Refresh);
    Timer_->start();
    Refresh();
}

TrafficWindow::~TrafficWindow() = default;

void TrafficWindow::SetInterfaceNames(const InterfaceNames* Names) {
    Interfaces_ = Names;
    // The talker tables take the names at their next refresh; the flow table asks as it paints.
    for (TalkerTableModel* model : TalkerModels_) model->SetInterfaceNames(Names);
    Flows_->SetInterfaceNames(Names);
    tblFlows->viewport()->update();
}

void TrafficWindow::BuildControls() {
    setObjectName(QStringLiteral("TrafficWindow"));
    setWindowTitle(QStringLiteral("Traffic"));
    resize(1200, 820);

    cmbSpan = new QComboBox(this);
    cmbSpan->setObjectName(QStringLiteral("cmbSpan"));
    for (const char* name : kSpanNames) cmbSpan->addItem(QString::fromLatin1(name));
    connect(cmbSpan, &QComboBox::currentIndexChanged, this, &TrafficWindow::Refresh);
    lblTotals = new QLabel(this);
    lblTotals->setObjectName(QStringLiteral("lblTotals"));
    lblBounds = new QLabel(this);
    lblBounds->setObjectName(QStringLiteral("lblBounds"));
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Span:"), this));
    top->addWidget(cmbSpan);
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
    connect(tabTalkers, &QTabWidget::currentChanged, this,
            [this](int Tab) { TalkerSelected(static_cast<TalkerKind>(Tab)); });
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
    layout->addWidget(split, 1);
}

QTableView* TrafficWindow::AddTalkerTab(TalkerKind Kind, const char* Name, const char* Title) {
    const auto k = static_cast<std::size_t>(Kind);
    auto* model = new TalkerTableModel(Kind, this);
    auto* proxy = new QSortFilterProxyModel(this);
    proxy->setSourceModel(model);
    proxy->setSortRole(TalkerTableModel::kSortRole);
    QTableView* view = MakeTable(tabTalkers, Name);
    view->setModel(proxy);
    view->setSortingEnabled(true);
    view->sortByColumn(TalkerTableModel::Bytes, Qt::DescendingOrder);
    // The figures take what they need and the talker the rest: an address cut to "1..." says nothing.
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    view->horizontalHeader()->setSectionResizeMode(TalkerTableModel::Talker, QHeaderView::Stretch);
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this, Kind] { TalkerSelected(Kind); });
    tabTalkers->addTab(view, QString::fromLatin1(Title));
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
    fit(FlowTableModel::Source, "192.168.100.100");
    fit(FlowTableModel::SourcePort, "65535");
    fit(FlowTableModel::Destination, "192.168.100.100");
    fit(FlowTableModel::DestinationPort, "65535");
    fit(FlowTableModel::Protocol, "ICMPv6");
    fit(FlowTableModel::InputIf, "Gi0/0/10 (10)");
    fit(FlowTableModel::OutputIf, "Gi0/0/10 (10)");
    fit(FlowTableModel::Bytes, "4294967295");
    fit(FlowTableModel::Packets, "1000000");
    fit(FlowTableModel::Sampling, "1 in 1000");
    fit(FlowTableModel::ScaledBytes, "\u22484294967295");
    fit(FlowTableModel::Version, "10");
}

int TrafficWindow::SpanSeconds() const { return kSpans[std::max(0, cmbSpan->currentIndex())]; }

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
    if (Paused_) return;
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
        selectedName =
            QString::fromStdString(trafficnames::DescribeKey(Selected_->first, Selected_->second, Interfaces_));
    chartTraffic->Show(S.Series, S.Selected, selectedName);

    const TrafficTotals& t = S.Totals;
    const double bitRate = 8.0 * static_cast<double>(t.Bytes) / span;
    lblTotals->setText(QStringLiteral("%1 flows, %2, %3 packets, %4 on average")
                           .arg(t.Flows)
                           .arg(Marked(t, trafficnames::FormatBytes(t.Bytes)))
                           .arg(Marked(t, std::to_string(t.Packets)))
                           .arg(Marked(t, trafficnames::FormatBitRate(bitRate))));
    lblTotals->setToolTip(QString::fromStdString(trafficnames::EstimateNote(t)));
    ShowBounds(S);

    QScrollBar* scroll = tblFlows->verticalScrollBar();
    const bool following = scroll->value() == scroll->maximum();
    Flows_->Append(S.NewFlows);
    if (following) tblFlows->scrollToBottom();
    lblFlows->setText(QStringLiteral("%1 of %2 flows shown").arg(FlowProxy_->rowCount()).arg(Flows_->rowCount()));
}

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
    if (view == nullptr || tabTalkers->currentWidget() != view) return;
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
    FlowProxy_->SetFilter(filter);
    lblFlows->setText(QStringLiteral("%1 of %2 flows shown").arg(FlowProxy_->rowCount()).arg(Flows_->rowCount()));
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
    for (int row = 0; row < FlowProxy_->rowCount(); ++row) {
        const FlowRecord& r = Flows_->Record(FlowProxy_->mapToSource(FlowProxy_->index(row, 0)).row());
        for (int c = 0; c < FlowTableModel::ColumnCount; ++c)
            text += (c ? "," : "") + CsvField(Flows_->Text(r, c, FlowTableModel::TextFor::File)).toUtf8();
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
