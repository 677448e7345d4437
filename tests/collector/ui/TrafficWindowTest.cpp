// The Traffic window fed straight from an aggregator: its tables, the span selector, the chart's
// series, the flow table's filter, Pause and Save as CSV, all found by object name.
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QtCharts/QChart>
#include <QtCharts/QLineSeries>

#include "FlowFilter.h"
#include "FlowHandOver.h"
#include "FlowTableModel.h"
#include "InterfaceNames.h"
#include "Locations.h"
#include "ReverseDns.h"
#include "TalkerTableModel.h"
#include "TestFlow.h"
#include "TrafficAggregator.h"
#include "TrafficChart.h"
#include "TrafficWindow.h"

namespace {

constexpr std::int64_t kNow = 1700000000000;

FlowRecord Flow(const char* Src, const char* Dst, std::uint64_t Bytes, std::int64_t Ms = kNow,
                std::uint8_t Protocol = 6, std::uint16_t DstPort = 443, const char* Exporter = "192.0.2.1") {
    FlowRecord r = flowfeed::TestFlow{FlowAddress::Parse(Src),
                                      FlowAddress::Parse(Dst),
                                      Bytes,
                                      Ms,
                                      Protocol,
                                      DstPort,
                                      FlowAddress::Parse(Exporter),
                                      3,
                                      50000,
                                      9};
    // As the handler makes a flow whose exporter sent no times of its own.
    r.StartMs = r.EndMs = Ms;
    return r;
}

// A flow the exporter timed itself, from StartMs for DurationMs.
FlowRecord Timed(FlowRecord Record, std::int64_t StartMs, std::int64_t DurationMs) {
    Record.StartMs = StartMs;
    Record.EndMs = StartMs + DurationMs;
    Record.TimesFromExporter = true;
    return Record;
}

QString Cell(QTableView* View, int Row, int Column) { return View->model()->index(Row, Column).data().toString(); }

QString Tip(QTableView* View, int Row, int Column) {
    return View->model()->index(Row, Column).data(Qt::ToolTipRole).toString();
}

QStringList ColumnCells(QTableView* View, int Column) {
    QStringList cells;
    for (int r = 0; r < View->model()->rowCount(); ++r) cells << Cell(View, r, Column);
    return cells;
}

QLineSeries* Series(TrafficWindow& W, const char* Name) {
    auto* chart = W.findChild<TrafficChart*>(QStringLiteral("chartTraffic"));
    if (chart == nullptr) return nullptr;
    for (QAbstractSeries* s : chart->chart()->series()) {
        if (s->objectName() == QLatin1String(Name)) return qobject_cast<QLineSeries*>(s);
    }
    return nullptr;
}

// A window on its own aggregator, with the clock standing still at kNow unless moved.
struct Fixture {
    TrafficAggregator Aggregator;
    SharedTraffic Shared{{}, &Aggregator};
    std::int64_t Now = kNow;
    TrafficWindow Window{Shared, nullptr, nullptr, [this] { return Now; }};

    template <typename T>
    T* Find(const char* Name) {
        return Window.findChild<T*>(QString::fromLatin1(Name));
    }
};

}  // namespace

class TrafficWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void tablesRankTalkersWithUnitsAndShares();
    void spanSelectorWidensEveryTable();
    void chartFollowsTheSpanAndTheSelectedTalker();
    void flowTableFiltersPausesAndSavesWhatItShows();
    void filterTerms();
    void flowTableKeepsTheNewest();
    void sampledTrafficIsScaledAndMarkedAsEstimate();
    void flowTableShowsTheExportersTimesAndSortsThemAsNumbers();
    void interfacesReadByNameInAndOutPerExporter();
    void placesOfAddressesFromTheLocationDatabase();
    void hostNamesAppearBesideAddressesOnceKnown();
};

void TrafficWindowTest::tablesRankTalkersWithUnitsAndShares() {
    Fixture f;
    f.Aggregator.Add(Flow("10.0.0.2", "10.0.0.9", 1500));
    f.Aggregator.Add(Flow("10.0.0.1", "10.0.0.9", 4500, kNow, 17, 53));
    f.Aggregator.Add(Flow("10.0.0.9", "10.0.0.1", 4'000'000, kNow, 6, 443, "192.0.2.2"));
    f.Window.Refresh();
    QCOMPARE(f.Window.windowTitle(), QStringLiteral("Traffic"));
    QCOMPARE(f.Window.objectName(), QStringLiteral("TrafficWindow"));

    QTableView* sources = f.Find<QTableView>("tblSources");
    QVERIFY(sources != nullptr);
    QCOMPARE(sources->model()->rowCount(), 3);
    QCOMPARE(Cell(sources, 0, 0), QStringLiteral("10.0.0.9"));
    QCOMPARE(Cell(sources, 0, 1), QStringLiteral("4.0 MB"));
    QCOMPARE(Cell(sources, 1, 0), QStringLiteral("10.0.0.1"));
    QCOMPARE(Cell(sources, 1, 1), QStringLiteral("4.5 kB"));
    QCOMPARE(Cell(sources, 2, 2), QStringLiteral("0.0 %"));
    QCOMPARE(Cell(sources, 0, 3), QStringLiteral("533.3 kbit/s"));  // over the 1-minute span

    QTableView* talks = f.Find<QTableView>("tblConversations");
    QCOMPARE(talks->model()->rowCount(), 2);
    QCOMPARE(Cell(talks, 0, 0), QStringLiteral("10.0.0.1 <-> 10.0.0.9"));
    QCOMPARE(Cell(talks, 0, 4), QStringLiteral("2"));
    QCOMPARE(Cell(f.Find<QTableView>("tblProtocols"), 1, 0), QStringLiteral("UDP"));
    QCOMPARE(Cell(f.Find<QTableView>("tblPorts"), 0, 0), QStringLiteral("443 (https)"));
    QCOMPARE(f.Find<QTableView>("tblExporters")->model()->rowCount(), 2);
    QCOMPARE(f.Find<QTableView>("tblDestinations")->model()->rowCount(), 2);

    // Clicking a header sorts; flows then put the single-flow rows in order of their count.
    sources->sortByColumn(4, Qt::AscendingOrder);
    QCOMPARE(Cell(sources, 0, 4), QStringLiteral("1"));
}

void TrafficWindowTest::spanSelectorWidensEveryTable() {
    Fixture f;
    f.Aggregator.Add(Flow("10.0.0.1", "10.0.0.9", 100, kNow - 120'000));
    f.Aggregator.Add(Flow("10.0.0.2", "10.0.0.9", 200, kNow));
    f.Window.Refresh();
    QTableView* sources = f.Find<QTableView>("tblSources");
    QCOMPARE(sources->model()->rowCount(), 1);
    auto* span = f.Find<QComboBox>("cmbSpan");
    // The live spans come first, the history's after them.
    QCOMPARE(span->itemText(3), QStringLiteral("Last 60 minutes"));
    QCOMPARE(span->itemText(4), QStringLiteral("Last 6 hours"));
    span->setCurrentIndex(1);  // 5 minutes
    QCOMPARE(f.Window.SpanSeconds(), 300);
    QCOMPARE(sources->model()->rowCount(), 2);
    QCOMPARE(f.Find<QTableView>("tblPorts")->model()->index(0, 4).data().toString(), QStringLiteral("2"));
    QVERIFY(f.Find<QLabel>("lblTotals")->text().startsWith(QStringLiteral("2 flows, 300 B")));

    // The clock moves on with nothing new: the older flow leaves the 5-minute span.
    f.Now = kNow + 181'000;
    f.Window.Refresh();
    QCOMPARE(sources->model()->rowCount(), 1);
}

void TrafficWindowTest::chartFollowsTheSpanAndTheSelectedTalker() {
    Fixture f;
    f.Aggregator.Add(Flow("10.0.0.1", "10.0.0.9", 1000, kNow - 1000));
    f.Aggregator.Add(Flow("10.0.0.1", "10.0.0.9", 500));
    f.Aggregator.Add(Flow("10.0.0.2", "10.0.0.9", 250));
    f.Window.Refresh();
    QLineSeries* flows = Series(f.Window, "seriesFlows");
    QLineSeries* bits = Series(f.Window, "seriesBits");
    QLineSeries* selected = Series(f.Window, "seriesSelected");
    QVERIFY(flows && bits && selected);
    QCOMPARE(flows->count(), 60);
    QCOMPARE(flows->at(59), QPointF(0, 2));
    QCOMPARE(flows->at(58), QPointF(-1, 1));
    QCOMPARE(bits->at(59).y(), 8.0 * 750 / 1000);  // 8,000 bit/s at most: plotted in kbit/s
    QCOMPARE(f.Window.findChild<TrafficChart*>(QStringLiteral("chartTraffic"))->RateUnit(), QStringLiteral("kbit/s"));
    QCOMPARE(selected->count(), 0);

    QTableView* sources = f.Find<QTableView>("tblSources");
    sources->selectRow(0);  // 10.0.0.1
    QCOMPARE(selected->count(), 60);
    QCOMPARE(selected->at(59).y(), 8.0 * 500 / 1000);
    QCOMPARE(selected->at(58).y(), 8.0 * 1000 / 1000);
    QVERIFY(selected->name().contains(QStringLiteral("10.0.0.1")));

    // The selection stays with the talker when the ranking changes under it.
    f.Aggregator.Add(Flow("10.0.0.2", "10.0.0.9", 1'000'000));
    f.Window.Refresh();
    QCOMPARE(sources->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(sources->selectionModel()->selectedRows().front().data().toString(), QStringLiteral("10.0.0.1"));

    f.Find<QComboBox>("cmbSpan")->setCurrentIndex(3);
    QCOMPARE(flows->count(), 3600);
    QCOMPARE(selected->count(), 3600);
}

void TrafficWindowTest::flowTableFiltersPausesAndSavesWhatItShows() {
    Fixture f;
    f.Aggregator.Add(Flow("10.1.2.3", "8.8.8.8", 100, kNow, 17, 53));
    f.Aggregator.Add(Flow("10.2.0.1", "10.1.9.9", 200, kNow, 6, 22));
    f.Aggregator.Add(Flow("192.168.1.1", "10.9.0.1", 300, kNow, 6, 443, "192.0.2.7"));
    f.Window.Refresh();
    QTableView* table = f.Find<QTableView>("tblFlows");
    QCOMPARE(table->model()->rowCount(), 3);
    QCOMPARE(Cell(table, 0, FlowTableModel::Protocol), QStringLiteral("UDP"));
    QCOMPARE(Cell(table, 0, FlowTableModel::Received),
             QDateTime::fromMSecsSinceEpoch(kNow).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")));

    auto* filter = f.Find<QLineEdit>("txtFilter");
    filter->setText(QStringLiteral("10.1.0.0/16 TCP"));
    QCOMPARE(table->model()->rowCount(), 1);
    QCOMPARE(Cell(table, 0, FlowTableModel::DestinationPort), QStringLiteral("22"));
    // The filter goes on narrowing what arrives.
    f.Aggregator.Add(Flow("10.1.0.5", "1.1.1.1", 400, kNow, 6, 80));
    f.Aggregator.Add(Flow("10.1.0.6", "1.1.1.1", 500, kNow, 17, 80));
    f.Window.Refresh();
    QCOMPARE(table->model()->rowCount(), 2);

    auto* pause = f.Find<QPushButton>("cmdPause");
    pause->click();
    f.Aggregator.Add(Flow("10.1.0.7", "1.1.1.1", 600, kNow, 6, 80));
    f.Window.Refresh();
    QCOMPARE(table->model()->rowCount(), 2);
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("flows.csv"));
    QVERIFY(f.Window.SaveCsv(name));
    pause->click();  // collection went on meanwhile
    QCOMPARE(table->model()->rowCount(), 3);

    QFile file(name);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString stamp = QDateTime::fromMSecsSinceEpoch(kNow).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    // Without times from the exporter, start and end are the time of receipt.
    const QString times = stamp + QLatin1Char(',') + stamp + QLatin1Char(',') + stamp;
    QCOMPARE(
        QString::fromUtf8(file.readAll()),
        QStringLiteral("Received,Start,End,Duration,Exporter,Source,Source port,Destination,Destination port,"
                       "Protocol,In interface,Out interface,Bytes,Packets,Sampling,Scaled bytes,Version,"
                       "Src country,Src AS,Dst country,Dst AS\r\n") +
            times + QStringLiteral(",0.000 s,192.0.2.1,10.2.0.1,50000,10.1.9.9,22,TCP,0,0,200,3,,200,9,-,-,-,-\r\n") +
            times + QStringLiteral(",0.000 s,192.0.2.1,10.1.0.5,50000,1.1.1.1,80,TCP,0,0,400,3,,400,9,-,-,-,-\r\n"));
    QVERIFY(!f.Window.SaveCsv(dir.filePath(QStringLiteral("missing/flows.csv"))));

    filter->setText(QStringLiteral("10.1.0.0/16 nonsense"));  // a bad term keeps nothing back
    QCOMPARE(table->model()->rowCount(), 6);
}

void TrafficWindowTest::filterTerms() {
    const FlowRecord r = Flow("10.1.2.3", "172.16.5.4", 1, kNow, 17, 53, "192.0.2.9");
    auto matches = [&r](const char* Text) {
        FlowFilter filter;
        return filter.Parse(Text) && filter.Matches(r);
    };
    QVERIFY(matches(""));
    QVERIFY(matches("10.1.2.3"));
    QVERIFY(matches("172.16.0.0/12"));
    QVERIFY(!matches("172.32.0.0/12"));
    QVERIFY(matches("0.0.0.0/0"));
    QVERIFY(matches("53 udp"));
    QVERIFY(matches("50000"));
    QVERIFY(!matches("53 tcp"));
    QVERIFY(matches("proto:17"));
    QVERIFY(matches("192.0.2.9"));  // an address term also finds the exporter
    QVERIFY(matches("exporter:192.0.2.0/24"));
    QVERIFY(!matches("exporter:10.1.2.3"));
    QVERIFY(!matches("2001:db8::/32"));
    FlowFilter filter;
    std::string error;
    QVERIFY(!filter.Parse("10.0.0.0/33", &error));
    QVERIFY(!filter.Parse("65536", &error));
    QVERIFY(error.find("65536") != std::string::npos);
    QVERIFY(filter.Empty());
}

void TrafficWindowTest::flowTableKeepsTheNewest() {
    FlowTableModel model(3);
    std::vector<FlowRecord> flows;
    for (int i = 1; i <= 2; ++i) flows.push_back(Flow("10.0.0.1", "10.0.0.2", static_cast<std::uint64_t>(i)));
    model.Append(flows);
    flows.clear();
    for (int i = 3; i <= 7; ++i) flows.push_back(Flow("10.0.0.1", "10.0.0.2", static_cast<std::uint64_t>(i)));
    model.Append(flows);
    QCOMPARE(model.rowCount(), 3);
    QCOMPARE(model.Record(0).Bytes, 5u);
    QCOMPARE(model.Record(2).Bytes, 7u);
    flows.resize(1);
    model.Append(flows);
    QCOMPARE(model.Record(0).Bytes, 6u);
    QCOMPARE(model.Record(2).Bytes, 3u);
}

// Every figure that took in a sampled flow counts what the flow stands for and carries the mark;
// flow counts and exact figures do not. The flow table keeps the exporter's own counts beside.
void TrafficWindowTest::sampledTrafficIsScaledAndMarkedAsEstimate() {
    Fixture f;
    FlowRecord sampled = Flow("10.0.0.1", "10.0.0.9", 1500);
    sampled.SamplingRate = 100;
    f.Aggregator.Add(sampled);
    f.Aggregator.Add(Flow("10.0.0.2", "10.0.0.9", 1500));
    f.Window.Refresh();

    const QString note = QStringLiteral("estimated from sampled data, 1 in 100");
    QTableView* sources = f.Find<QTableView>("tblSources");
    QCOMPARE(Cell(sources, 0, 0), QStringLiteral("10.0.0.1"));
    QCOMPARE(Cell(sources, 0, 1), QStringLiteral("\u2248150.0 kB"));
    QCOMPARE(Cell(sources, 0, 2), QStringLiteral("\u224899.0 %"));
    QCOMPARE(Cell(sources, 0, 3), QStringLiteral("\u224820.0 kbit/s"));
    QCOMPARE(Cell(sources, 0, 4), QStringLiteral("1"));
    QCOMPARE(Cell(sources, 0, 5), QStringLiteral("\u2248300"));
    QCOMPARE(Tip(sources, 0, 1), note);
    QCOMPARE(Tip(sources, 0, 4), QString());
    // The exact row is exact, but its share is of an estimated whole.
    QCOMPARE(Cell(sources, 1, 1), QStringLiteral("1.5 kB"));
    QCOMPARE(Tip(sources, 1, 1), QString());
    QCOMPARE(Cell(sources, 1, 2), QStringLiteral("\u22481.0 %"));
    QCOMPARE(Tip(sources, 1, 2), note);

    auto* totals = f.Find<QLabel>("lblTotals");
    QVERIFY2(totals->text().startsWith(QStringLiteral("2 flows, \u2248151.5 kB, \u2248303 packets")),
             qPrintable(totals->text()));
    QCOMPARE(totals->toolTip(), note);
    QVERIFY(Series(f.Window, "seriesBits")->name().startsWith(QStringLiteral("\u2248bit/s")));
    QCOMPARE(Series(f.Window, "seriesFlows")->name(), QStringLiteral("flows/s"));

    QTableView* flows = f.Find<QTableView>("tblFlows");
    QCOMPARE(Cell(flows, 0, FlowTableModel::Bytes), QStringLiteral("1500"));
    QCOMPARE(Cell(flows, 0, FlowTableModel::Packets), QStringLiteral("3"));
    QCOMPARE(Cell(flows, 0, FlowTableModel::Sampling), QStringLiteral("1 in 100"));
    QCOMPARE(Cell(flows, 0, FlowTableModel::ScaledBytes), QStringLiteral("\u2248150000"));
    QCOMPARE(Tip(flows, 0, FlowTableModel::ScaledBytes), note);
    QCOMPARE(Cell(flows, 1, FlowTableModel::Sampling), QString());
    QCOMPARE(Cell(flows, 1, FlowTableModel::ScaledBytes), QStringLiteral("1500"));
    QCOMPARE(Tip(flows, 1, FlowTableModel::ScaledBytes), QString());
    // What the flows stand for sorts by number, not by text.
    flows->sortByColumn(FlowTableModel::ScaledBytes, Qt::AscendingOrder);
    QCOMPARE(Cell(flows, 0, FlowTableModel::ScaledBytes), QStringLiteral("1500"));

    // Without sampled flows in the span, nothing is marked any more.
    f.Now = kNow + 60'000;
    f.Window.Refresh();
    QCOMPARE(totals->toolTip(), QString());
    QCOMPARE(Series(f.Window, "seriesBits")->name(), QStringLiteral("bit/s"));
}

void TrafficWindowTest::flowTableShowsTheExportersTimesAndSortsThemAsNumbers() {
    Fixture f;
    // Durations whose texts sort otherwise than their values: "100.000 s" < "12.345 s" < "9.000 s".
    f.Aggregator.Add(Timed(Flow("10.0.0.1", "10.0.0.9", 1), kNow - 12'345, 12'345));
    f.Aggregator.Add(Timed(Flow("10.0.0.2", "10.0.0.9", 1), kNow - 100'000, 100'000));
    f.Aggregator.Add(Timed(Flow("10.0.0.3", "10.0.0.9", 1), kNow - 9'000, 9'000));
    // An exporter clock a day behind: the date is shown where it is not the day of receipt.
    f.Aggregator.Add(Timed(Flow("10.0.0.4", "10.0.0.9", 1), kNow - 86'400'000 - 500, 250));
    f.Window.Refresh();
    QTableView* flows = f.Find<QTableView>("tblFlows");
    const auto at = [](std::int64_t Ms, const char* Format) {
        return QDateTime::fromMSecsSinceEpoch(Ms).toString(QString::fromLatin1(Format));
    };
    QCOMPARE(Cell(flows, 0, FlowTableModel::Start), at(kNow - 12'345, "hh:mm:ss.zzz"));
    QCOMPARE(Cell(flows, 0, FlowTableModel::End), at(kNow, "hh:mm:ss.zzz"));
    QCOMPARE(Cell(flows, 0, FlowTableModel::Duration), QStringLiteral("12.345 s"));
    QCOMPARE(Tip(flows, 0, FlowTableModel::Start), at(kNow - 12'345, "yyyy-MM-dd hh:mm:ss.zzz"));
    QCOMPARE(Cell(flows, 3, FlowTableModel::Start), at(kNow - 86'400'000 - 500, "yyyy-MM-dd hh:mm:ss.zzz"));
    QCOMPARE(Cell(flows, 3, FlowTableModel::Duration), QStringLiteral("0.250 s"));

    flows->sortByColumn(FlowTableModel::Duration, Qt::AscendingOrder);
    QCOMPARE(ColumnCells(flows, FlowTableModel::Duration),
             (QStringList{"0.250 s", "9.000 s", "12.345 s", "100.000 s"}));
    flows->sortByColumn(FlowTableModel::Start, Qt::DescendingOrder);
    QCOMPARE(ColumnCells(flows, FlowTableModel::Source), (QStringList{"10.0.0.3", "10.0.0.1", "10.0.0.2", "10.0.0.4"}));
    flows->sortByColumn(FlowTableModel::End, Qt::AscendingOrder);
    QCOMPARE(Cell(flows, 0, FlowTableModel::Source), QStringLiteral("10.0.0.4"));

    // A flow the exporter sent no times for says so rather than pass the receipt off as its own.
    f.Aggregator.Add(Flow("10.0.0.5", "10.0.0.9", 1));
    f.Window.Refresh();
    flows->sortByColumn(FlowTableModel::Source, Qt::AscendingOrder);
    QCOMPARE(Cell(flows, 4, FlowTableModel::Duration), QStringLiteral("0.000 s"));
    QVERIFY(Tip(flows, 4, FlowTableModel::Start).contains(QStringLiteral("no times")));
}

void TrafficWindowTest::interfacesReadByNameInAndOutPerExporter() {
    Fixture f;
    InterfaceNames names;
    names.Set(FlowAddress::Parse("192.0.2.1"), 3, "Gi0/0/1", "uplink, to the core");
    f.Window.SetInterfaceNames(&names);
    FlowRecord a = Flow("10.0.0.1", "10.0.0.9", 5000);
    a.InputIf = 3;
    a.OutputIf = 7;
    FlowRecord b = Flow("10.0.0.2", "10.0.0.9", 100, kNow, 6, 443, "192.0.2.2");
    b.InputIf = 3;
    f.Aggregator.Add(a);
    f.Aggregator.Add(b);
    f.Window.Refresh();

    auto* tabs = f.Find<QTabWidget>("tabTalkers");
    QCOMPARE(tabs->tabText(tabs->indexOf(f.Find<QTableView>("tblInterfaces"))), QStringLiteral("Interfaces"));
    QTableView* interfaces = f.Find<QTableView>("tblInterfaces");
    QCOMPARE(ColumnCells(interfaces, 0),
             (QStringList{"192.0.2.1, Gi0/0/1 (3), in", "192.0.2.1, 7, out", "192.0.2.2, 0, out", "192.0.2.2, 3, in"}));
    QCOMPARE(Cell(interfaces, 0, 2), QStringLiteral("98.0 %"));  // of the traffic in, not of twice it
    QCOMPARE(Cell(interfaces, 2, 4), QStringLiteral("1"));

    // Utilisation where an agent told the speed (1 Mbit/s): 5,000 bytes in the minute's span, and
    // nothing where the speed is unknown; names from options data stay.
    QVERIFY(names.SetPolled(FlowAddress::Parse("192.0.2.1"), 3, "ge-0/0/3", "", 1));
    QVERIFY(interfaces->isColumnHidden(TalkerTableModel::Utilisation) == false);
    QVERIFY(f.Find<QTableView>("tblSources")->isColumnHidden(TalkerTableModel::Utilisation));
    f.Window.Refresh();
    const double bits = 8.0 * 5000 / f.Window.SpanSeconds();
    QCOMPARE(Cell(interfaces, 0, 0), QStringLiteral("192.0.2.1, Gi0/0/1 (3), in"));
    QCOMPARE(Cell(interfaces, 0, TalkerTableModel::Utilisation),
             QString::fromStdString(trafficnames::Utilisation(bits, 1)));
    QVERIFY(Tip(interfaces, 0, TalkerTableModel::Utilisation).contains(QStringLiteral("1.0 Mbit/s")));
    QCOMPARE(Cell(interfaces, 1, TalkerTableModel::Utilisation), QString());

    QTableView* flows = f.Find<QTableView>("tblFlows");
    QCOMPARE(Cell(flows, 0, FlowTableModel::InputIf), QStringLiteral("Gi0/0/1 (3)"));
    QCOMPARE(Tip(flows, 0, FlowTableModel::InputIf), QStringLiteral("uplink, to the core"));
    QCOMPARE(Cell(flows, 0, FlowTableModel::OutputIf), QStringLiteral("7"));
    QCOMPARE(Cell(flows, 1, FlowTableModel::InputIf), QStringLiteral("3"));  // the same index elsewhere

    // A router's name can hold the file's separator: it goes into the file quoted.
    names.Set(FlowAddress::Parse("192.0.2.1"), 7, "Vlan7, guests", "");
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("flows.csv"));
    QVERIFY(f.Window.SaveCsv(name));
    QFile file(name);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromUtf8(file.readAll()).contains(QStringLiteral(",Gi0/0/1 (3),\"Vlan7, guests (7)\",")));
}

void TrafficWindowTest::placesOfAddressesFromTheLocationDatabase() {
    // Without a database the tables of places stay, greyed, and say why.
    {
        Fixture f;
        f.Window.SetLocationDatabase("/nonexistent/location.db");
        auto* tabs = f.Find<QTabWidget>("tabTalkers");
        const int countries = tabs->indexOf(f.Find<QWidget>("Countries"));
        QVERIFY(countries >= 0);
        QVERIFY(!tabs->isTabEnabled(countries));
        QVERIFY(tabs->tabToolTip(countries).contains(QStringLiteral("/nonexistent/location.db")));
    }
    Fixture f;
    f.Aggregator.SetLocator(names::Locator::Open(names::kLocationDatabase));
    f.Window.SetLocationDatabase(names::kLocationDatabase);
    FlowRecord fromGoogle = Flow("8.8.8.8", "10.0.0.9", 3000);
    fromGoogle.SourceAS = 15169;  // an exporter that fills the AS fields
    f.Aggregator.Add(fromGoogle);
    f.Aggregator.Add(Flow("10.0.0.9", "1.1.1.1", 1000));
    f.Window.Refresh();

    auto* tabs = f.Find<QTabWidget>("tabTalkers");
    QVERIFY(tabs->isTabEnabled(tabs->indexOf(f.Find<QWidget>("AS"))));
    QCOMPARE(ColumnCells(f.Find<QTableView>("tblSourceCountries"), 0),
             (QStringList{"US (United States of America)", "Unknown"}));
    QCOMPARE(ColumnCells(f.Find<QTableView>("tblDestinationCountries"), 0), (QStringList{"Unknown", "AU (Australia)"}));
    QCOMPARE(Cell(f.Find<QTableView>("tblSourceAs"), 0, 0), QStringLiteral("AS15169 GOOGLE"));
    QCOMPARE(Cell(f.Find<QTableView>("tblSourceAs"), 0, 1), QStringLiteral("3.0 kB"));
    QCOMPARE(Cell(f.Find<QTableView>("tblDestinationAs"), 1, 0).left(8), QStringLiteral("AS13335 "));

    // Selecting a place charts it as any talker.
    QTableView* byAs = f.Find<QTableView>("tblSourceAs");
    tabs->setCurrentIndex(tabs->indexOf(f.Find<QWidget>("AS")));
    byAs->selectRow(0);
    QCOMPARE(Series(f.Window, "seriesSelected")->name(), QStringLiteral("selected: AS15169 GOOGLE"));

    QTableView* flows = f.Find<QTableView>("tblFlows");
    flows->sortByColumn(FlowTableModel::Bytes, Qt::DescendingOrder);
    QCOMPARE(Cell(flows, 0, FlowTableModel::SourceCountry), QStringLiteral("US"));
    QCOMPARE(Cell(flows, 0, FlowTableModel::SourceAs), QStringLiteral("AS15169 GOOGLE (exporter: AS15169)"));
    QCOMPARE(Cell(flows, 0, FlowTableModel::DestinationCountry), QStringLiteral("-"));
    QCOMPARE(Cell(flows, 1, FlowTableModel::DestinationCountry), QStringLiteral("AU"));
}

// Run with a DNS server of the tests' own (NFC_DNS_SERVER), whose hosts file names 203.0.113.7.
void TrafficWindowTest::hostNamesAppearBesideAddressesOnceKnown() {
    const QByteArray server = qgetenv("NFC_DNS_SERVER");
    if (server.isEmpty()) QSKIP("needs a DNS server (run under tests/testsupport/dns_server.py)");
    names::ReverseDnsOptions options;
    options.Server = *names::ParseDnsServer(server.toStdString());
    names::ReverseDns hosts(options);
    Fixture f;
    f.Window.SetHostNames(&hosts);
    f.Aggregator.Add(Flow("203.0.113.7", "10.0.0.9", 3000));
    f.Window.Refresh();
    QTableView* sources = f.Find<QTableView>("tblSources");
    QTableView* flows = f.Find<QTableView>("tblFlows");
    // The first look asks and shows the number; the name comes with a later refresh.
    QCOMPARE(Cell(sources, 0, 0), QStringLiteral("203.0.113.7"));
    QTRY_COMPARE_WITH_TIMEOUT((f.Window.Refresh(), Cell(sources, 0, 0)),
                              QStringLiteral("203.0.113.7 (mail.example.org)"), 10000);
    QCOMPARE(Cell(flows, 0, FlowTableModel::Source), QStringLiteral("203.0.113.7 (mail.example.org)"));
    // An address the server has no name for stays a number.
    QCOMPARE(Cell(flows, 0, FlowTableModel::Destination), QStringLiteral("10.0.0.9"));
    // The file keeps addresses as numbers.
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("flows.csv"));
    QVERIFY(f.Window.SaveCsv(name));
    QFile file(name);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(!QString::fromUtf8(file.readAll()).contains(QStringLiteral("mail.example.org")));
}

QTEST_MAIN(TrafficWindowTest)
#include "TrafficWindowTest.moc"
