// The Traffic window's history spans: the runner that asks off the window's thread, the spans
// that cannot be chosen without history, and a day of a real store read into the tables, the chart
// and the flow table, found by object name.
#include <QAbstractItemModel>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QtCharts/QChart>
#include <QtCharts/QLineSeries>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "FlowTableModel.h"
#include "HistoryFixture.h"
#include "HistoryRunner.h"
#include "Locations.h"
#include "TestFlow.h"
#include "TrafficAggregator.h"
#include "TrafficChart.h"
#include "TrafficWindow.h"

namespace {

// 2023-11-14 22:13:20 UTC.
constexpr std::int64_t kNow = 1700000000000;
constexpr std::int64_t kMinute = 60'000;
constexpr std::int64_t kHour = 3'600'000;
constexpr int kWaitMs = 10000;
// Where the span selector holds them.
constexpr int kLastHour = 3;
constexpr int kLast6Hours = 4;
constexpr int kLast24Hours = 5;
constexpr int kCustomRange = 8;

FlowRecord Flow(const char* Src, const char* Dst, std::uint64_t Bytes, std::int64_t Ms, std::uint8_t Protocol = 6,
                std::uint16_t DstPort = 443, const char* Exporter = "192.0.2.1", std::uint32_t In = 3,
                std::uint32_t Out = 7) {
    FlowRecord r = flowfeed::TestFlow{
        FlowAddress::Parse(Src), FlowAddress::Parse(Dst), Bytes, Ms, Protocol, DstPort, FlowAddress::Parse(Exporter)};
    r.StartMs = r.EndMs = Ms;
    r.InputIf = In;
    r.OutputIf = Out;
    return r;
}

QString Cell(QTableView* View, int Row, int Column) { return View->model()->index(Row, Column).data().toString(); }

QStringList ColumnCells(QTableView* View, int Column) {
    QStringList cells;
    for (int r = 0; r < View->model()->rowCount(); ++r) cells << Cell(View, r, Column);
    return cells;
}

QLineSeries* Series(QWidget& W, const char* Name) {
    auto* chart = W.findChild<TrafficChart*>(QStringLiteral("chartTraffic"));
    for (QAbstractSeries* s : chart->chart()->series()) {
        if (s->objectName() == QLatin1String(Name)) return qobject_cast<QLineSeries*>(s);
    }
    return nullptr;
}

double SumOfY(const QLineSeries* Series) {
    double sum = 0;
    const QList<QPointF> points = Series->points();
    for (const QPointF& p : points) sum += p.y();
    return sum;
}

// What a runner reports, received on the test's thread as the window receives it.
struct Reports {
    QObject Context;
    std::vector<std::tuple<quint64, bool, QString>> Finished;
    std::vector<std::pair<quint64, double>> Progress;

    explicit Reports(HistoryRunner& Runner) {
        QObject::connect(&Runner, &HistoryRunner::Finished, &Context,
                         [this](quint64 Job, bool Cancelled, const QString& Error) {
                             Finished.emplace_back(Job, Cancelled, Error);
                         });
        QObject::connect(&Runner, &HistoryRunner::Progress, &Context,
                         [this](quint64 Job, double Done) { Progress.emplace_back(Job, Done); });
    }
};

// A window on its own aggregator with the clock standing still at kNow.
struct Fixture {
    TrafficAggregator Aggregator;
    SharedTraffic Shared{{}, &Aggregator};
    TrafficWindow Window{Shared, nullptr, nullptr, [] { return kNow; }};

    template <typename T>
    T* Find(const char* Name) {
        return Window.findChild<T*>(QString::fromLatin1(Name));
    }
    QComboBox* Span() { return Find<QComboBox>("cmbSpan"); }
    QString Note() { return Find<QLabel>("lblHistory")->text(); }
};

// Stands in for the store: spans of six hours never end on their own, any other span answers at
// once with one source whose bytes are the span's hours.
struct FakeHistory {
    std::atomic<int> Waiting{0};
    std::atomic<int> SawCancel{0};
    std::atomic<int> Answered{0};

    TrafficWindow::HistoryAsker Asker() {
        return [this](const HistoryQuestion& Q, const history::QueryControl& Control, HistoryAnswer& Out) {
            Out.Range = Q.Range;
            const std::int64_t hours = (Q.Range.ToMs - Q.Range.FromMs) / kHour;
            if (hours == 6) {
                ++Waiting;
                if (Control.Progress) Control.Progress(0.5);
                while (!Control.Cancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                --Waiting;
                ++SawCancel;
                Out.Cancelled = true;
                return;
            }
            TalkerTop& sources = Out.Tops[static_cast<std::size_t>(TalkerKind::Source)];
            TalkerRow row;
            row.Key = KeyOf(TalkerKind::Source, Flow("10.9.9.9", "10.0.0.1", 1, 0));
            row.Totals.Flows = 1;
            row.Totals.Bytes = static_cast<std::uint64_t>(hours);
            sources.Rows.push_back(row);
            sources.Totals = row.Totals;
            Out.Totals = row.Totals;
            Out.Overview = Q.Overview;
            Out.StepMs = kMinute;
            Out.SeriesStartMs = Q.Range.FromMs;
            Out.Series.resize(3);
            ++Answered;
        };
    }
};

}  // namespace

class HistoryWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void runnerCancelsWhatRunsAndAnswersOnlyTheNewest();
    void runnerStopsPromptlyAndReportsWhatEscapesAJob();
    void windowShowsTheNewestQuestionAndCancelsTheOthers();
    void historySpansCannotBeChosenWithoutHistory();
    void lastDayOfARealStoreFillsEveryView();
    void summariesAreSaidAndTheirRestIsOneRow();
    void customRangeAsksForWhatWasChosen();
    void placesOfAHistorySpanFromTheLocationDatabase();
};

void HistoryWindowTest::runnerCancelsWhatRunsAndAnswersOnlyTheNewest() {
    HistoryRunner runner;
    Reports reports(runner);
    std::atomic<bool> firstStarted{false};
    std::atomic<bool> firstSawCancel{false};
    std::atomic<bool> droppedRan{false};
    std::atomic<int> lastRan{0};

    const quint64 first = runner.Run([&](const history::QueryControl& Control) {
        firstStarted = true;
        for (int i = 0; !Control.Cancelled(); ++i) {
            // Far more reports than the window needs: at most one per percent reaches it.
            Control.Progress(std::min(0.5, i / 100000.0));
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        firstSawCancel = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(firstStarted.load(), kWaitMs);
    QVERIFY(runner.Busy());
    // Queued behind the first and overtaken before it ever starts.
    const quint64 dropped = runner.Run([&](const history::QueryControl&) { droppedRan = true; });
    const quint64 newest = runner.Run([&](const history::QueryControl&) { lastRan = 3; });
    QVERIFY(first < dropped && dropped < newest);

    QTRY_COMPARE_WITH_TIMEOUT(reports.Finished.size(), std::size_t{3}, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!runner.Busy(), kWaitMs);
    QVERIFY(firstSawCancel.load());
    QVERIFY(!droppedRan.load());
    QCOMPARE(lastRan.load(), 3);
    std::map<quint64, bool> cancelled;
    for (const auto& [job, wasCancelled, error] : reports.Finished) cancelled[job] = wasCancelled;
    QCOMPARE(cancelled.size(), std::size_t{3});
    QVERIFY(cancelled[first]);
    QVERIFY(cancelled[dropped]);
    QVERIFY(!cancelled[newest]);
    // The newest is the last word: nothing of the others comes after it.
    QCOMPARE(std::get<0>(reports.Finished.back()), newest);
    QVERIFY(!reports.Progress.empty() && reports.Progress.size() <= 101);
    for (const auto& [job, done] : reports.Progress) {
        QCOMPARE(job, first);
        QVERIFY(done >= 0 && done <= 0.5);
    }
}

void HistoryWindowTest::runnerStopsPromptlyAndReportsWhatEscapesAJob() {
    QElapsedTimer clock;
    std::atomic<bool> started{false};
    {
        HistoryRunner runner;
        Reports reports(runner);
        runner.Run([](const history::QueryControl&) { throw std::runtime_error("disk I/O error"); });
        QTRY_COMPARE_WITH_TIMEOUT(reports.Finished.size(), std::size_t{1}, kWaitMs);
        QCOMPARE(std::get<1>(reports.Finished[0]), false);
        QCOMPARE(std::get<2>(reports.Finished[0]), QStringLiteral("disk I/O error"));

        runner.Run([&](const history::QueryControl& Control) {
            started = true;
            while (!Control.Cancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        QTRY_VERIFY_WITH_TIMEOUT(started.load(), kWaitMs);
        clock.start();
    }  // a job that would run for ever must not hold up whoever goes
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
}

void HistoryWindowTest::windowShowsTheNewestQuestionAndCancelsTheOthers() {
    Fixture f;
    FakeHistory fake;
    f.Window.SetHistoryFolder("/nonexistent/history/");
    f.Window.SetHistoryAsker(fake.Asker());
    f.Aggregator.Add(Flow("172.16.0.1", "10.0.0.9", 700, kNow));
    f.Window.Refresh();
    QTableView* sources = f.Find<QTableView>("tblSources");
    QCOMPARE(Cell(sources, 0, 0), QStringLiteral("172.16.0.1"));

    auto* bar = f.Find<QProgressBar>("barHistory");
    auto* cancel = f.Find<QPushButton>("cmdCancelHistory");
    f.Span()->setCurrentIndex(kLast6Hours);
    QTRY_COMPARE_WITH_TIMEOUT(fake.Waiting.load(), 1, kWaitMs);
    QVERIFY(f.Window.AskingHistory());
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 50, kWaitMs);
    QVERIFY(!bar->isHidden() && !cancel->isHidden());
    // Nothing of the live span stays in view under the history's name.
    QCOMPARE(sources->model()->rowCount(), 0);

    f.Span()->setCurrentIndex(kLast24Hours);
    QTRY_COMPARE_WITH_TIMEOUT(fake.Answered.load(), 1, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!f.Window.AskingHistory(), kWaitMs);
    QCOMPARE(fake.SawCancel.load(), 1);
    QCOMPARE(ColumnCells(sources, 0), QStringList{QStringLiteral("10.9.9.9")});
    QCOMPARE(Cell(sources, 0, 1), QStringLiteral("24 B"));
    QVERIFY(bar->isHidden() && cancel->isHidden());
    QVERIFY2(f.Note().startsWith(QStringLiteral("History of ")), qPrintable(f.Note()));
    QCOMPARE(f.Window.SpanSeconds(), 86400);

    // The once-a-second refresh leaves a history span alone.
    f.Aggregator.Add(Flow("172.16.0.2", "10.0.0.9", 9000, kNow));
    f.Window.Refresh();
    QCOMPARE(ColumnCells(sources, 0), QStringList{QStringLiteral("10.9.9.9")});

    // Cancel stops the question and shows nothing of it.
    f.Span()->setCurrentIndex(kLast6Hours);
    QTRY_COMPARE_WITH_TIMEOUT(fake.Waiting.load(), 1, kWaitMs);
    cancel->click();
    QTRY_VERIFY_WITH_TIMEOUT(!f.Window.AskingHistory(), kWaitMs);
    QCOMPARE(fake.SawCancel.load(), 2);
    QCOMPARE(sources->model()->rowCount(), 0);
    QVERIFY2(f.Note().startsWith(QStringLiteral("Cancelled")), qPrintable(f.Note()));

    // Closing the window stops its question at once, and showing it asks again.
    f.Window.show();
    f.Find<QPushButton>("cmdAskAgain")->click();
    QTRY_COMPARE_WITH_TIMEOUT(fake.Waiting.load(), 1, kWaitMs);
    QElapsedTimer clock;
    clock.start();
    f.Window.close();
    QVERIFY(clock.elapsed() < 1000);
    QTRY_COMPARE_WITH_TIMEOUT(fake.SawCancel.load(), 3, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!f.Window.AskingHistory(), kWaitMs);
    f.Window.show();
    QTRY_COMPARE_WITH_TIMEOUT(fake.Waiting.load(), 1, kWaitMs);

    // Back on a live span: the aggregator as it is now, flows that came meanwhile included.
    f.Span()->setCurrentIndex(0);
    QTRY_COMPARE_WITH_TIMEOUT(fake.SawCancel.load(), 4, kWaitMs);
    QCOMPARE(ColumnCells(sources, 0), (QStringList{"172.16.0.2", "172.16.0.1"}));
    QCOMPARE(f.Find<QTableView>("tblFlows")->model()->rowCount(), 2);
    QVERIFY(f.Find<QWidget>("HistoryBar")->isHidden());
    QVERIFY(f.Find<QPushButton>("cmdPause")->isEnabled());
    f.Aggregator.Add(Flow("172.16.0.3", "10.0.0.9", 100'000, kNow));
    f.Window.Refresh();
    QCOMPARE(Cell(sources, 0, 0), QStringLiteral("172.16.0.3"));
}

void HistoryWindowTest::historySpansCannotBeChosenWithoutHistory() {
    Fixture f;
    auto* items = qobject_cast<QStandardItemModel*>(f.Span()->model());
    QVERIFY(items != nullptr);
    QCOMPARE(f.Span()->count(), 9);
    for (int i = 0; i < f.Span()->count(); ++i) {
        const bool history = i > kLastHour;
        QCOMPARE(items->item(i)->isEnabled(), !history);
        QCOMPARE(items->item(i)->toolTip(), history ? QStringLiteral("History is off (--no-history)") : QString());
    }
    QCOMPARE(f.Span()->itemText(kCustomRange), QStringLiteral("Custom range\u2026"));

    f.Window.SetHistoryFolder("/var/lib/collector/history/");
    QVERIFY(items->item(kLast24Hours)->isEnabled());
    QCOMPARE(items->item(kLast24Hours)->toolTip(), QString());

    // A history that goes away while one of its spans is shown leaves a live span in view.
    f.Window.SetHistoryAsker([](const HistoryQuestion&, const history::QueryControl&, HistoryAnswer&) {});
    f.Span()->setCurrentIndex(kLast24Hours);
    QVERIFY(f.Window.ShowsHistory());
    f.Window.SetHistoryFolder("", "History: failed: cannot make the folder");
    QVERIFY(!f.Window.ShowsHistory());
    QVERIFY(!items->item(kCustomRange)->isEnabled());
    QCOMPARE(items->item(kCustomRange)->toolTip(), QStringLiteral("History: failed: cannot make the folder"));
}

void HistoryWindowTest::lastDayOfARealStoreFillsEveryView() {
    QTemporaryDir dir;
    historyfixture::HistoryFolder store(dir.filePath(QStringLiteral("history")).toStdString());
    FlowRecord sampled = Flow("10.0.0.1", "10.0.0.8", 2000, kNow - 30 * kMinute, 6, 22, "192.0.2.2", 1, 7);
    sampled.SamplingRate = 10;
    const std::vector<FlowRecord> flows = {
        Flow("10.0.0.3", "10.0.0.9", 300, kNow - 25 * kHour, 17, 53),  // a day and an hour ago: not in the day
        Flow("10.0.0.1", "10.0.0.9", 5000, kNow - 2 * kHour),
        Flow("10.0.0.2", "10.0.0.9", 1000, kNow - kHour, 17, 53, "192.0.2.1", 3, 8),
        sampled,
    };
    store.AddFlows(flows);
    store.Summarize(flows);

    Fixture f;
    f.Aggregator.Add(Flow("172.16.0.1", "10.0.0.9", 700, kNow));
    f.Window.Refresh();
    f.Window.SetHistoryFolder(store.Folder());
    f.Span()->setCurrentIndex(kLast24Hours);
    QTRY_VERIFY_WITH_TIMEOUT(!f.Window.AskingHistory(), kWaitMs);
    QVERIFY2(f.Note().startsWith(QStringLiteral("History of ")), qPrintable(f.Note()));
    QVERIFY(!f.Note().contains(QStringLiteral("summaries")));

    // Scaled as the live tables scale, and marked where a sampled flow is in the sum.
    QTableView* sources = f.Find<QTableView>("tblSources");
    QCOMPARE(ColumnCells(sources, 0), (QStringList{"10.0.0.1", "10.0.0.2"}));
    QCOMPARE(Cell(sources, 0, 1), QStringLiteral("\u224825.0 kB"));
    QCOMPARE(Cell(sources, 1, 1), QStringLiteral("1.0 kB"));
    QCOMPARE(Cell(sources, 0, 4), QStringLiteral("2"));
    QVERIFY2(f.Find<QLabel>("lblTotals")->text().startsWith(QStringLiteral("3 flows, \u224826.0 kB")),
             qPrintable(f.Find<QLabel>("lblTotals")->text()));
    QCOMPARE(ColumnCells(f.Find<QTableView>("tblConversations"), 0),
             (QStringList{"10.0.0.1 <-> 10.0.0.8", "10.0.0.1 <-> 10.0.0.9", "10.0.0.2 <-> 10.0.0.9"}));
    QCOMPARE(ColumnCells(f.Find<QTableView>("tblProtocols"), 0), (QStringList{"TCP", "UDP"}));
    QCOMPARE(f.Find<QTableView>("tblPorts")->model()->rowCount(), 3);
    QCOMPARE(ColumnCells(f.Find<QTableView>("tblExporters"), 0), (QStringList{"192.0.2.2", "192.0.2.1"}));
    // In and out ranked together; a share is of the traffic, not of twice it.
    QTableView* interfaces = f.Find<QTableView>("tblInterfaces");
    QCOMPARE(ColumnCells(interfaces, 0), (QStringList{"192.0.2.2, 1, in", "192.0.2.2, 7, out", "192.0.2.1, 3, in",
                                                      "192.0.2.1, 7, out", "192.0.2.1, 8, out"}));
    QCOMPARE(Cell(interfaces, 0, 2), QStringLiteral("\u224876.9 %"));

    // One point a minute, each the minute's average rate, against the clock.
    auto* chart = f.Window.findChild<TrafficChart*>(QStringLiteral("chartTraffic"));
    QVERIFY(chart->ShowsClock());
    QLineSeries* perSecond = Series(f.Window, "seriesFlows");
    QCOMPARE(perSecond->count(), 24 * 60 + 1);  // the span cuts a minute at either end
    QCOMPARE(qRound(SumOfY(perSecond) * 60), 3);
    QCOMPARE(chart->RateUnit(), QStringLiteral("kbit/s"));
    QCOMPARE(qRound(SumOfY(Series(f.Window, "seriesBits")) * 60 * 1000 / 8), 26000);
    const QList<QPointF> points = perSecond->points();
    const auto peak = std::max_element(points.begin(), points.end(),
                                       [](const QPointF& A, const QPointF& B) { return A.y() < B.y(); });
    QCOMPARE(static_cast<std::int64_t>(peak->x()), (kNow - 2 * kHour) / kMinute * kMinute);

    // Every flow of the day, oldest first, the way the live table shows them.
    QTableView* table = f.Find<QTableView>("tblFlows");
    QCOMPARE(ColumnCells(table, FlowTableModel::Source), (QStringList{"10.0.0.1", "10.0.0.2", "10.0.0.1"}));
    QCOMPARE(Cell(table, 2, FlowTableModel::ScaledBytes), QStringLiteral("\u224820000"));
    QCOMPARE(f.Find<QLabel>("lblFlows")->text(), QStringLiteral("3 of 3 flows shown"));

    // The filter asks the history for the flows again; the tables stay as they were.
    auto* filter = f.Find<QLineEdit>("txtFilter");
    filter->setText(QStringLiteral("udp"));
    QTRY_COMPARE_WITH_TIMEOUT(ColumnCells(table, FlowTableModel::Source), QStringList{QStringLiteral("10.0.0.2")},
                              kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!f.Window.AskingHistory(), kWaitMs);
    QCOMPARE(ColumnCells(table, FlowTableModel::Source), QStringList{QStringLiteral("10.0.0.2")});
    QCOMPARE(sources->model()->rowCount(), 2);
    filter->setText(QStringLiteral("exporter:192.0.2.2"));
    QTRY_COMPARE_WITH_TIMEOUT(ColumnCells(table, FlowTableModel::Destination), QStringList{QStringLiteral("10.0.0.8")},
                              kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!f.Window.AskingHistory(), kWaitMs);

    // Seven days take in the flow a day and an hour old.
    filter->clear();
    f.Span()->setCurrentIndex(kLast24Hours + 1);
    QTRY_VERIFY_WITH_TIMEOUT(!f.Window.AskingHistory(), kWaitMs);
    QCOMPARE(table->model()->rowCount(), 4);
    QCOMPARE(sources->model()->rowCount(), 3);
    QVERIFY(f.Find<QLabel>("lblTotals")->text().startsWith(QStringLiteral("4 flows,")));

    // A live span shows the aggregator again, its chart counting seconds before now.
    f.Span()->setCurrentIndex(0);
    QCOMPARE(ColumnCells(sources, 0), QStringList{QStringLiteral("172.16.0.1")});
    QCOMPARE(ColumnCells(table, FlowTableModel::Source), QStringList{QStringLiteral("172.16.0.1")});
    QVERIFY(!chart->ShowsClock());
    QCOMPARE(perSecond->count(), 60);
    QVERIFY(f.Find<QLabel>("lblTotals")->text().startsWith(QStringLiteral("1 flows, 700 B")));
}

void HistoryWindowTest::summariesAreSaidAndTheirRestIsOneRow() {
    QTemporaryDir dir;
    historyfixture::HistoryFolder store(dir.filePath(QStringLiteral("history")).toStdString());
    // Today's flows are kept raw; yesterday evening's only in the summaries, which keep each
    // minute's and hour's leading source alone.
    const std::int64_t yesterday = kNow - 23 * kHour - 13 * kMinute;  // 2023-11-13 23:00 UTC
    const std::vector<FlowRecord> raw = {Flow("10.0.0.1", "10.0.0.9", 5000, kNow - kHour),
                                         Flow("10.0.0.2", "10.0.0.9", 1000, kNow - kHour)};
    std::vector<FlowRecord> all = raw;
    all.push_back(Flow("10.0.0.5", "10.0.0.9", 3000, yesterday));
    all.push_back(Flow("10.0.0.6", "10.0.0.9", 700, yesterday));
    store.AddFlows(raw);
    store.Summarize(all, 1);

    Fixture f;
    f.Window.SetHistoryFolder(store.Folder());
    f.Span()->setCurrentIndex(kLast24Hours);
    QTRY_VERIFY_WITH_TIMEOUT(!f.Window.AskingHistory(), kWaitMs);
    QVERIFY2(f.Note().contains(QStringLiteral("from the minute and hour summaries")), qPrintable(f.Note()));
    QVERIFY2(f.Note().contains(QStringLiteral("All others")), qPrintable(f.Note()));
    QVERIFY(!f.Find<QLabel>("lblHistory")->toolTip().isEmpty());

    QTableView* sources = f.Find<QTableView>("tblSources");
    QCOMPARE(ColumnCells(sources, 0), (QStringList{"10.0.0.1", "10.0.0.5", "All others"}));
    QCOMPARE(Cell(sources, 2, 1), QStringLiteral("1.7 kB"));
    QCOMPARE(Cell(sources, 2, 4), QStringLiteral("2"));
    QVERIFY(f.Find<QLabel>("lblTotals")->text().startsWith(QStringLiteral("4 flows, 9.7 kB")));
    QVERIFY(!sources->model()->index(2, 0).data(Qt::ToolTipRole).toString().isEmpty());
    // The flows are the raw ones: the summaries list none.
    QCOMPARE(f.Find<QTableView>("tblFlows")->model()->rowCount(), 2);
}

void HistoryWindowTest::customRangeAsksForWhatWasChosen() {
    Fixture f;
    std::mutex lock;
    std::vector<history::Span> asked;
    f.Window.SetHistoryFolder("/nonexistent/history/");
    f.Window.SetHistoryAsker([&](const HistoryQuestion& Q, const history::QueryControl&, HistoryAnswer& Out) {
        std::lock_guard<std::mutex> hold(lock);
        asked.push_back(Q.Range);
        Out.Range = Q.Range;
        Out.Overview = Q.Overview;
    });
    QWidget* range = f.Find<QWidget>("CustomRange");
    QVERIFY(range->isHidden());
    f.Span()->setCurrentIndex(kCustomRange);
    QVERIFY(!range->isHidden());
    // It starts from the last hour and is asked at once.
    QTRY_VERIFY_WITH_TIMEOUT(!f.Window.AskingHistory(), kWaitMs);
    {
        std::lock_guard<std::mutex> hold(lock);
        QCOMPARE(asked.size(), std::size_t{1});
        QCOMPARE(asked[0].ToMs - asked[0].FromMs, kHour);
    }
    auto* from = f.Find<QDateTimeEdit>("dtFrom");
    auto* to = f.Find<QDateTimeEdit>("dtTo");
    from->setDateTime(QDateTime::fromMSecsSinceEpoch(kNow - 72 * kHour));
    to->setDateTime(QDateTime::fromMSecsSinceEpoch(kNow - 48 * kHour));
    f.Find<QPushButton>("cmdShowRange")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!f.Window.AskingHistory(), kWaitMs);
    {
        std::lock_guard<std::mutex> hold(lock);
        QCOMPARE(asked.size(), std::size_t{2});
        QCOMPARE(asked[1].FromMs, from->dateTime().toMSecsSinceEpoch());
        QCOMPARE(asked[1].ToMs - asked[1].FromMs, 24 * kHour);
    }
    QCOMPARE(f.Window.SpanSeconds(), 86400);

    // A range that ends before it begins is not asked.
    to->setDateTime(from->dateTime().addSecs(-60));
    f.Find<QPushButton>("cmdShowRange")->click();
    QVERIFY2(f.Note().contains(QStringLiteral("must end after")), qPrintable(f.Note()));
    QVERIFY(!f.Window.AskingHistory());
    std::lock_guard<std::mutex> hold(lock);
    QCOMPARE(asked.size(), std::size_t{2});
}

// The tables of places over a history span, from every flow and from the summaries alike.
void HistoryWindowTest::placesOfAHistorySpanFromTheLocationDatabase() {
    QTemporaryDir dir;
    historyfixture::HistoryFolder store(dir.filePath(QStringLiteral("history")).toStdString());
    const std::vector<FlowRecord> flows = {
        Flow("8.8.8.8", "10.0.0.9", 5000, kNow - 2 * kHour),
        Flow("10.0.0.9", "1.1.1.1", 1000, kNow - kHour),
        Flow("10.0.0.9", "8.8.4.4", 500, kNow - kHour),
    };
    store.AddFlows(flows);
    store.Summarize(flows);

    Fixture f;
    f.Window.SetLocationDatabase(names::kLocationDatabase);
    f.Window.SetHistoryFolder(store.Folder());
    f.Span()->setCurrentIndex(kLast24Hours);
    QTRY_VERIFY_WITH_TIMEOUT(!f.Window.AskingHistory(), kWaitMs);
    QVERIFY2(f.Note().startsWith(QStringLiteral("History of ")), qPrintable(f.Note()));
    QCOMPARE(ColumnCells(f.Find<QTableView>("tblSourceCountries"), 0),
             (QStringList{"US (United States of America)", "Unknown"}));
    QCOMPARE(ColumnCells(f.Find<QTableView>("tblDestinationAs"), 0),
             (QStringList{"Unknown", "AS13335 CLOUDFLARENET", "AS15169 GOOGLE"}));
    QCOMPARE(Cell(f.Find<QTableView>("tblDestinationAs"), 2, 1), QStringLiteral("500 B"));
}

QTEST_MAIN(HistoryWindowTest)
#include "HistoryWindowTest.moc"
