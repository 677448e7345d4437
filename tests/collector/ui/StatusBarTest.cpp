// The main window's status bar: the history item in each state of the store, and every item
// readable at the window's first size, however deep the folder the files go to.
#include <QDir>
#include <QFont>
#include <QLabel>
#include <QMainWindow>
#include <QSet>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <string>
#include <vector>

#include "ClickHouseExport.h"
#include "Counters.h"
#include "HistoryStore.h"
#include "IdUDPServer.h"
#include "StatusBar.h"

namespace {

constexpr std::int64_t kNow = 1700000000000;

QLabel* Part(const QStatusBar& Bar, const char* Name) { return Bar.findChild<QLabel*>(QString::fromLatin1(Name)); }

bool Red(const QLabel* Label) { return Label->styleSheet().contains(QStringLiteral("#b00020")); }

history::HistoryOptions Quiet(bool Enabled) {
    history::HistoryOptions options;
    options.Enabled = Enabled;
    options.NowMs = [] { return kNow; };
    options.Say = [](const std::string&) {};
    return options;
}

// The main window's first size and font, without its collector.
struct Window {
    CollectorCounters Counters;
    TIdUDPServer Listener;
    QMainWindow Main;
    CollectorStatusBar* Status;

    Window() {
        QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
        Main.setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
        Listener.SetDefaultPort(9996);
        Status = new CollectorStatusBar(Main.statusBar(), Counters, Listener, &Main);
    }
    QLabel* History() const { return Part(*Main.statusBar(), "sbHistory"); }
    QLabel* ClickHouse() const { return Part(*Main.statusBar(), "sbClickHouse"); }
};

}  // namespace

class StatusBarTest : public QObject {
    Q_OBJECT

  private slots:
    void historyItemSaysTheStateOfTheStore();
    void historyItemShowsFlowsNotStoredNow();
    void clickHouseItemOnlyWithTheExportAndRedWhenFlowsWait();
    void everyItemReadableAtTheFirstSize();
};

void StatusBarTest::clickHouseItemOnlyWithTheExportAndRedWhenFlowsWait() {
    Window w;
    QVERIFY(w.ClickHouse()->isHidden());
    QTemporaryDir dir;
    clickhouse::ExportOptions options;
    options.Server.Host = "127.0.0.1";
    options.SpoolFolder = dir.path().toStdString();
    const clickhouse::Export exporter(options);
    w.Status->SetClickHouse(&exporter);
    QVERIFY(!w.ClickHouse()->isHidden());
    QCOMPARE(w.ClickHouse()->text(), QStringLiteral("ClickHouse: connecting"));
    QVERIFY(w.ClickHouse()->toolTip().contains(QStringLiteral("http://127.0.0.1:8123/?database=default")));

    clickhouse::ExportStatus status;
    status.State = clickhouse::ExportState::Up;
    status.BehindMs = 400;
    w.Status->ShowClickHouse(status);
    QCOMPARE(w.ClickHouse()->text(), QStringLiteral("ClickHouse: up, 0.4 s behind"));
    QVERIFY(!Red(w.ClickHouse()));
    status.State = clickhouse::ExportState::Unreachable;
    status.SinceMs = kNow;
    status.SpooledBytes = 120'000'000;
    status.Problem = "Failed to connect";
    w.Status->ShowClickHouse(status);
    QVERIFY(w.ClickHouse()->text().endsWith(QStringLiteral(", 120 MB spooled")));
    QVERIFY(w.ClickHouse()->toolTip().contains(QStringLiteral("Failed to connect")));
    QVERIFY(Red(w.ClickHouse()));
    w.Status->SetClickHouse(nullptr);
    QVERIFY(w.ClickHouse()->isHidden());
}

void StatusBarTest::historyItemSaysTheStateOfTheStore() {
    Window w;
    QCOMPARE(w.History()->text(), QStringLiteral("History: off"));

    // Real stores: one that writes, one shut out by its lock, one switched off.
    QTemporaryDir dir;
    history::HistoryStore running(dir.path().toStdString(), Quiet(true));
    history::HistoryStore locked(dir.path().toStdString(), Quiet(true));
    QTemporaryDir other;
    history::HistoryStore off(other.path().toStdString(), Quiet(false));
    QSet<QString> texts;
    for (const history::HistoryStore* store : {&running, &locked, &off}) {
        w.Status->SetHistory(store);
        const QString text = w.History()->text();
        QVERIFY2(text.startsWith(QStringLiteral("History: ")), qPrintable(text));
        QCOMPARE(text, QString::fromStdString(history::StatusText(store->Status())));
        texts.insert(text);
    }
    QCOMPARE(texts.size(), 3);
    // Why it does not write is one look away.
    w.Status->SetHistory(&locked);
    QVERIFY2(w.History()->toolTip().contains(QStringLiteral("another collector")), qPrintable(w.History()->toolTip()));
    QVERIFY(!Red(w.History()));

    // States no test folder gets into on its own.
    history::StoreStatus status;
    status.NowMs = kNow;
    status.SinceMs = kNow - 60'000;
    for (const history::StoreState state :
         {history::StoreState::DiskFull, history::StoreState::Refused, history::StoreState::Failed}) {
        status.State = state;
        status.Problem = "problem " + std::to_string(static_cast<int>(state));
        w.Status->ShowHistory(&status);
        QVERIFY(w.History()->text().startsWith(QStringLiteral("History: ")));
        QVERIFY(w.History()->toolTip().contains(QString::fromStdString(status.Problem)));
        // Stopped writing loses flows; a store left to a newer program loses none of its own.
        QCOMPARE(Red(w.History()), state != history::StoreState::Refused);
        texts.insert(w.History()->text());
    }
    QCOMPARE(texts.size(), 6);

    w.Status->SetHistory(nullptr);
    QCOMPARE(w.History()->text(), QStringLiteral("History: off"));
    QVERIFY(!Red(w.History()));
}

void StatusBarTest::historyItemShowsFlowsNotStoredNow() {
    Window w;
    history::StoreStatus status;
    status.State = history::StoreState::Running;
    status.NowMs = kNow;
    status.OldestMs = kNow - 3 * 86'400'000LL;
    status.Bytes = 4'200'000'000;
    status.FlowsNotStored = 98'765;
    w.Status->ShowHistory(&status);
    QVERIFY(!w.History()->text().contains(QStringLiteral("not stored")));
    QVERIFY(!Red(w.History()));
    QVERIFY2(w.History()->toolTip().contains(QStringLiteral("since start: 98,765")),
             qPrintable(w.History()->toolTip()));

    status.FlowsNotStoredLastMinute = 1234;
    w.Status->ShowHistory(&status);
    QVERIFY2(w.History()->text().contains(QStringLiteral("1,234 flows not stored")), qPrintable(w.History()->text()));
    QCOMPARE(w.History()->text().count(QStringLiteral("not stored")), 1);
    QVERIFY(Red(w.History()));
    QVERIFY(w.History()->toolTip().contains(QStringLiteral("last minute: 1,234")));

    // A full disk says since when, and how many it loses now besides.
    status.State = history::StoreState::DiskFull;
    status.SinceMs = kNow - 120'000;
    w.Status->ShowHistory(&status);
    QVERIFY2(w.History()->text().contains(QStringLiteral("1,234 flows not stored")), qPrintable(w.History()->text()));
    QCOMPARE(w.History()->text().count(QStringLiteral("not stored")), 1);
}

void StatusBarTest::everyItemReadableAtTheFirstSize() {
    // Files in a folder far deeper than the bar is wide.
    QTemporaryDir dir;
    QString deep = dir.path();
    for (int i = 0; i < 6; ++i) deep += QStringLiteral("/a-folder-with-a-rather-long-name-%1").arg(i);
    QVERIFY(QDir().mkpath(deep));
    struct Into {
        QString Before = QDir::currentPath();
        ~Into() { QDir::setCurrent(Before); }
    } into;
    QVERIFY(QDir::setCurrent(deep));
    Window w;
    // A day under load, all well but for the listener switched off (its wider text): 40,000 flows
    // a second and the totals of a day of them, two weeks kept.
    w.Counters.DatagramsReceived.Add(112'320'000);
    w.Counters.Flows.Add(3'456'000'000);
    for (int tick = 1; tick <= 8; ++tick) {
        w.Counters.DatagramsReceived.Add(325);
        w.Counters.Flows.Add(10'000);
        w.Status->Refresh(tick * 250);
    }
    history::StoreStatus status;
    status.State = history::StoreState::Running;
    status.NowMs = kNow;
    status.OldestMs = kNow - 14 * 86'400'000LL;
    status.Bytes = 19'900'000'000;
    w.Status->ShowHistory(&status);
    // The main window's first size: its client area and the bar below it.
    w.Main.resize(991, 504 + w.Main.statusBar()->sizeHint().height());
    w.Main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.Main));
    const QStatusBar* bar = w.Main.statusBar();
    QCOMPARE(bar->width(), 991);

    const auto whole = [bar](const char* Name) {
        const QLabel* part = Part(*bar, Name);
        return !part->isHidden() && part->width() >= part->sizeHint().width() &&
               part->geometry().right() < bar->width();
    };
    for (const char* name : {"sbListening", "sbRates", "sbTotals", "sbKernelDrops", "sbHistory"})
        QTRY_VERIFY2(whole(name), name);
    // The folder gives way: shortened in the middle, whole in its tooltip and its text.
    const QLabel* folder = Part(*bar, "sbFolder");
    QVERIFY(folder->geometry().right() < bar->width());
    QVERIFY(folder->width() >= folder->minimumSizeHint().width());
    QVERIFY(folder->fontMetrics().horizontalAdvance(folder->text()) > folder->width());
    QCOMPARE(folder->toolTip(), QDir::toNativeSeparators(QDir(deep).canonicalPath()));
    QVERIFY(folder->text().endsWith(folder->toolTip()));

    // A ClickHouse server away, all else well: its state stays in sight, in red, the rest of it in
    // its tooltip; the history and the listener stay whole.
    QTemporaryDir spool;
    clickhouse::ExportOptions options;
    options.SpoolFolder = spool.path().toStdString();
    const clickhouse::Export exporter(options);
    w.Status->SetClickHouse(&exporter);
    clickhouse::ExportStatus export_;
    export_.State = clickhouse::ExportState::Unreachable;
    export_.SinceMs = kNow;
    export_.SpooledBytes = 120'000'000;
    w.Status->ShowClickHouse(export_);
    for (const char* name : {"sbListening", "sbKernelDrops", "sbHistory"}) QTRY_VERIFY2(whole(name), name);
    const QLabel* exportItem = Part(*bar, "sbClickHouse");
    QTRY_VERIFY(exportItem->fontMetrics().horizontalAdvance(QStringLiteral("ClickHouse: unreachable")) <=
                exportItem->width());
    QVERIFY(exportItem->geometry().right() < bar->width());
    QVERIFY(Red(exportItem));
    w.Status->SetClickHouse(nullptr);

    // Trouble on every side at once: kernel drops, a lasting problem, flows the history loses.
    // What warns stays whole; the rates and the totals give way after the folder.
    w.Counters.KernelDrops.Set(1234);
    w.Status->Refresh(3000);
    status.FlowsNotStoredLastMinute = 123'456;
    w.Status->ShowHistory(&status);
    // Once the bar has laid the new texts out.
    for (const char* name : {"sbListening", "sbKernelDrops", "sbProblem", "sbHistory"}) QTRY_VERIFY2(whole(name), name);
    for (const char* name : {"sbRates", "sbTotals", "sbFolder"}) {
        const QLabel* part = Part(*bar, name);
        QVERIFY2(part->width() >= part->minimumSizeHint().width(), name);
        QVERIFY2(part->geometry().right() < bar->width(), name);
    }
    QCOMPARE(Part(*bar, "sbTotals")->toolTip(), Part(*bar, "sbTotals")->text());
    QCOMPARE(Part(*bar, "sbRates")->toolTip(), Part(*bar, "sbRates")->text());
}

QTEST_MAIN(StatusBarTest)
#include "StatusBarTest.moc"
