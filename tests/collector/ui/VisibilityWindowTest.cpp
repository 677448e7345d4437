// The status bar, View > Exporters and its model: what an operator sees of listening, rates, losses
// and every exporter's health. Real datagrams over loopback to UDP 9996 (CTest lock udp9996).
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "Counters.h"
#include "Doubles.h"
#include "ExportersModel.h"
#include "ExportersWindow.h"
#include "IdUDPServer.h"
#include "Loopback.h"
#include "Main.h"
#include "StatusBar.h"
#include "TestDatagrams.h"
#include "TrafficWindow.h"
#include "flowdecode/NetflowV9.h"

namespace {

using namespace testdatagrams;

constexpr std::uint16_t kPort = 9996;
constexpr int kWaitMs = 15000;

QString Text(const QObject& Parent, const char* Name) {
    const auto* label = Parent.findChild<QLabel*>(QString::fromLatin1(Name));
    return label ? label->text() : QStringLiteral("<no %1>").arg(QString::fromLatin1(Name));
}

// Standard error of this process, gathered into a file while it lives.
class StderrCapture {
  public:
    StderrCapture() : File_(std::tmpfile()), Saved_(dup(STDERR_FILENO)) {
        std::fflush(stderr);
        dup2(fileno(File_), STDERR_FILENO);
    }
    ~StderrCapture() {
        Release();
        std::fclose(File_);
    }
    QByteArray Release() {
        if (Saved_ < 0) return Text_;
        std::fflush(stderr);
        dup2(Saved_, STDERR_FILENO);
        close(Saved_);
        Saved_ = -1;
        std::rewind(File_);
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, File_)) > 0;) Text_.append(buffer, qsizetype(n));
        return Text_;
    }

  private:
    FILE* File_;
    int Saved_;
    QByteArray Text_;
};

tExporterRow Row(std::uint64_t Serial, std::uint32_t Address, std::uint64_t Datagrams, std::int64_t LastSeenMs) {
    tExporterRow r;
    r.Serial = Serial;
    r.Address = Address;
    r.Version = 9;
    r.Datagrams = Datagrams;
    r.FirstSeenMs = LastSeenMs;
    r.LastSeenMs = LastSeenMs;
    return r;
}

}  // namespace

class VisibilityWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void statusBarSaysWhetherItListensInWordsAndColour();
    void statusBarShowsRatesTotalsAndTheProblemWhileItLasts();
    void viewMenuOpensOneExportersWindowBesideAnUnchangedFileMenu();
    void exportersWindowShowsEveryExporterFromRealDatagrams();
    void modelAnnouncesOnlyWhatChangedAndGreysSilentExporters();
    void clockOffsetReadsInTenthsWithItsSign();
    void samplingAndLateDataColumnsFollowTheOthers();
    void trafficWindowRanksRealDatagramsByBytes();

  private:
    // Any report a case causes goes to a scratch directory, and its tones to a recorder.
    QTemporaryDir ReportDir_;
    std::unique_ptr<doubles::InstalledReporter> Reporter_;
};

void VisibilityWindowTest::init() {
    QTRY_VERIFY_WITH_TIMEOUT(loopback::PortIsFree(kPort), kWaitMs);
    netflowlib::ResetTemplateStore();
    Reporter_ = std::make_unique<doubles::InstalledReporter>(ReportDir_.path().toStdString() + "/");
}

void VisibilityWindowTest::statusBarSaysWhetherItListensInWordsAndColour() {
    Collector collector;
    TForm1 form(collector);
    const QStatusBar* bar = form.findChild<QStatusBar*>(QStringLiteral("StatusBar1"));
    QVERIFY(bar != nullptr);
    QCOMPARE(Text(*bar, "sbListening"), QStringLiteral("Listening on UDP 9996"));
    QVERIFY(Text(*bar, "sbFolder").endsWith(QDir::toNativeSeparators(QDir::currentPath())));
    // Below the specified controls, not over them: the client area keeps the height it had.
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(bar->geometry().top() > form.centralWidget()->geometry().bottom());
    QCOMPARE(form.centralWidget()->height(), 504 - form.menuBar()->height());

    form.cmdActivateClick();
    QTRY_COMPARE_WITH_TIMEOUT(Text(*bar, "sbListening"), QStringLiteral("NOT LISTENING \u2014 UDP 9996 is off"),
                              kWaitMs);
    QVERIFY(
        bar->findChild<QLabel*>(QStringLiteral("sbListening"))->styleSheet().contains(QStringLiteral("background")));
    form.cmdActivateClick();
    QTRY_COMPARE_WITH_TIMEOUT(Text(*bar, "sbListening"), QStringLiteral("Listening on UDP 9996"), kWaitMs);
}

void VisibilityWindowTest::statusBarShowsRatesTotalsAndTheProblemWhileItLasts() {
    QStatusBar bar;
    CollectorCounters counters;
    TIdUDPServer listener;
    listener.SetDefaultPort(9996);
    CollectorStatusBar status(&bar, counters, listener);
    for (int tick = 1; tick <= 12; ++tick) {
        counters.DatagramsReceived.Add(100);
        counters.Flows.Add(3000);
        status.Refresh(1000 + tick * 250);
    }
    QCOMPARE(Text(bar, "sbRates"), QStringLiteral("400 datagrams/s, 12,000 flows/s"));
    QCOMPARE(Text(bar, "sbTotals"), QStringLiteral("Since start: 1,200 datagrams, 36,000 flows"));
    QCOMPARE(Text(bar, "sbListening"), QStringLiteral("NOT LISTENING \u2014 UDP 9996 is off"));
    QVERIFY(bar.findChild<QLabel*>(QStringLiteral("sbProblem"))->isHidden());

    StderrCapture stderrText;
    counters.CsvFailure.Store(ENOSPC, "NetFlow-20240101.csv");
    counters.CsvLinesLost.Add(1234);
    status.Refresh(5000);
    QCOMPARE(Text(bar, "sbProblem"),
             QStringLiteral("CSV file cannot be written: No space left on device \u2014 1,234 lines lost"));
    QVERIFY(!bar.findChild<QLabel*>(QStringLiteral("sbProblem"))->isHidden());
    counters.CsvLinesLost.Add(10);
    status.Refresh(5250);
    counters.KernelDrops.Set(77);
    counters.CsvLinesWritten.Add(5);
    status.Refresh(5500);
    QCOMPARE(Text(bar, "sbKernelDrops"), QStringLiteral("Kernel drops: 77"));
    QCOMPARE(Text(bar, "sbProblem"), QStringLiteral("Kernel drops datagrams \u2014 77 lost"));
    // Once at the start and once at the end of each run, not once per line.
    QCOMPARE(stderrText.Release(),
             QByteArray("CSV file cannot be written: No space left on device (file NetFlow-20240101.csv)\n"
                        "CSV file written again: 1,244 lines lost\n"
                        "Kernel drops datagrams: the receive buffer is full\n"));
}

void VisibilityWindowTest::viewMenuOpensOneExportersWindowBesideAnUnchangedFileMenu() {
    Collector collector;
    TForm1 form(collector);
    const QList<QAction*> menus = form.MainMenu1->actions();
    QCOMPARE(menus.size(), 2);
    QCOMPARE(menus[0], form.File1->menuAction());
    QCOMPARE(menus[1], form.View1->menuAction());
    QCOMPARE(form.View1->title(), QStringLiteral("View"));
    QCOMPARE(form.File1->actions().size(), 3);
    QCOMPARE(form.View1->actions(), (QList<QAction*>{form.Exporters1, form.Traffic1}));
    QCOMPARE(form.Traffic1->text(), QStringLiteral("Traffic"));
    QCOMPARE(form.Traffic1->shortcut(), QKeySequence(QStringLiteral("Ctrl+T")));
    QCOMPARE(form.Exporters1->text(), QStringLiteral("Exporters"));
    QCOMPARE(form.Exporters1->shortcut(), QKeySequence(QStringLiteral("Ctrl+E")));

    // Made on demand only.
    QVERIFY(form.ExportersWindow() == nullptr);
    QVERIFY(form.findChild<TfrmExporters*>() == nullptr);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::keyClick(&form, Qt::Key_E, Qt::ControlModifier);
    TfrmExporters* window = form.ExportersWindow();
    QVERIFY(window != nullptr);
    QCOMPARE(window->objectName(), QStringLiteral("frmExporters"));
    QVERIFY(window->isVisible());
    window->close();
    form.Exporters1->trigger();
    QCOMPARE(form.ExportersWindow(), window);
    QVERIFY(window->isVisible());
    QCOMPARE(form.findChildren<TfrmExporters*>().size(), 1);
}

void VisibilityWindowTest::exportersWindowShowsEveryExporterFromRealDatagrams() {
    QTemporaryDir dir;
    Collector collector;
    TForm1 form(collector);
    QVERIFY(form.UDPServer.Active());
    QVERIFY(QDir::setCurrent(dir.path()));
    form.Exporters1->trigger();
    TfrmExporters* window = form.ExportersWindow();
    auto* table = window->findChild<QTableView*>(QStringLiteral("tblExporters"));
    QVERIFY(table != nullptr);

    // Version 5: flows 0-1, 2-3, then 10-11: six flows never arrived.
    for (std::uint32_t sequence : {0u, 2u, 10u}) loopback::Send(V5Datagram({V5Flow{}, V5Flow{}}, sequence), kPort);
    // Version 9 from Source_ID 7: datagram 3 overtaken by 4, and 4 sent twice.
    const std::string record = BasicIPv4Record({10, 0, 0, 1}, {10, 0, 0, 2}, 1000, 53, 17, 99);
    const std::string body = V9Template(256, BasicIPv4Template()) + V9DataFlowset(256, record + std::string(3, '\0'));
    for (std::uint32_t sequence : {1u, 2u, 4u, 3u, 4u}) loopback::Send(V9Header(2, 7, sequence) + body, kPort);

    const QAbstractItemModel* model = table->model();
    const auto rowOf = [model](const char* Version) {
        for (int r = 0; r < model->rowCount(); ++r) {
            if (model->index(r, ExportersModel::colVersion).data().toString() == QLatin1String(Version)) return r;
        }
        return -1;
    };
    const auto cell = [model](int Row, int Column) { return model->index(Row, Column).data().toString(); };
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 2, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(cell(rowOf("9"), ExportersModel::colDatagrams), QStringLiteral("5"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(cell(rowOf("5"), ExportersModel::colDatagrams), QStringLiteral("3"), kWaitMs);

    const int v5 = rowOf("5");
    QCOMPARE(cell(v5, ExportersModel::colExporter), QStringLiteral("127.0.0.1"));
    QCOMPARE(cell(v5, ExportersModel::colSource), QStringLiteral("engine 0/0"));
    QCOMPARE(cell(v5, ExportersModel::colFlows), QStringLiteral("6"));
    QCOMPARE(cell(v5, ExportersModel::colReceived), QStringLiteral("10"));
    QCOMPARE(cell(v5, ExportersModel::colExpected), QStringLiteral("12"));
    QCOMPARE(cell(v5, ExportersModel::colMissed), QStringLiteral("6 flows"));
    const int v9 = rowOf("9");
    QCOMPARE(cell(v9, ExportersModel::colSource), QStringLiteral("Source_ID 7"));
    QCOMPARE(cell(v9, ExportersModel::colMissed), QStringLiteral("0 datagrams"));
    QCOMPARE(cell(v9, ExportersModel::colOutOfOrder), QStringLiteral("1"));
    QCOMPARE(cell(v9, ExportersModel::colRepeated), QStringLiteral("1"));
    QCOMPARE(cell(v9, ExportersModel::colExpected), QStringLiteral("5"));
    // The decoder's word on templates reaches the row: 256 learned with its six fields.
    QVERIFY2(cell(v9, ExportersModel::colTemplates).startsWith(QStringLiteral("256: 6 fields")),
             qPrintable(cell(v9, ExportersModel::colTemplates)));
    QCOMPARE(cell(v9, ExportersModel::colWithoutTemplate), QStringLiteral("0"));

    // Data under a template this exporter never sent: counted against it, nothing decoded.
    loopback::Send(V9Header(1, 7, 6) + V9DataFlowset(300, record + std::string(3, '\0')), kPort);
    QTRY_COMPARE_WITH_TIMEOUT(cell(rowOf("9"), ExportersModel::colWithoutTemplate), QStringLiteral("1"), kWaitMs);

    // The datagrams that came in, as a capture file: its header and one frame per datagram.
    QVERIFY(window->cmdSaveRecent != nullptr);
    QCOMPARE(window->cmdSaveRecent->text(), QStringLiteral("Save recent datagrams\u2026"));
    QString error;
    const QString capture = dir.filePath(QStringLiteral("recent.pcap"));
    QVERIFY2(window->SaveRecent(capture, error), qPrintable(error));
    QVERIFY(QFileInfo(capture).size() > 24 + 9 * (16 + 42));

    // Selected rows go to the clipboard as text, one line each.
    table->selectAll();
    table->setFocus();
    const QStringList lines = window->SelectedRowsText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0].split(QLatin1Char('\t')).size(), int(ExportersModel::kColumnCount));
    QTest::keyClick(table, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), window->SelectedRowsText());

    const QString csv = dir.filePath(QStringLiteral("exporters.csv"));
    QVERIFY(window->SaveCsv(csv));
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> saved = file.readAll().split('\n');
    QCOMPARE(saved.size(), 4);  // header, two rows, nothing after the last line end
    QVERIFY(saved[0].startsWith("Exporter,Version,Source,First seen,Last seen,Datagrams,Flows,"));
    QVERIFY(saved[1].startsWith("127.0.0.1,"));
    QVERIFY(!window->SaveCsv(dir.filePath(QStringLiteral("missing/exporters.csv"))));

    QVERIFY(Text(*window, "lblCollectorTotals").contains(QStringLiteral("exporters kept: 2")));
    QDir::setCurrent(QDir::tempPath());
}

void VisibilityWindowTest::modelAnnouncesOnlyWhatChangedAndGreysSilentExporters() {
    ExportersModel model;
    constexpr std::int64_t now = 1'700'000'000'000;
    std::vector<tExporterRow> rows = {Row(1, 0x0A000001, 5, now), Row(2, 0x0A000002, 7, now - 11 * 60 * 1000)};
    model.Update(rows, now);
    QCOMPARE(model.rowCount(), 2);
    QVERIFY(!model.index(0, 0).data(Qt::ForegroundRole).isValid());
    QVERIFY(model.index(1, 0).data(Qt::ForegroundRole).isValid());  // silent for 11 minutes: greyed
    QCOMPARE(model.index(1, ExportersModel::colDatagrams).data(ExportersModel::SortRole).toULongLong(), 7u);

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    model.Update(rows, now);
    QCOMPARE(changed.size(), 0);

    rows[0].Datagrams = 6;
    model.Update(rows, now);
    QCOMPARE(changed.size(), 1);
    const QModelIndex from = changed[0][0].value<QModelIndex>();
    const QModelIndex to = changed[0][1].value<QModelIndex>();
    QCOMPARE(from.row(), 0);
    QCOMPARE(to.row(), 0);
    QVERIFY(from.column() <= ExportersModel::colDatagrams && to.column() >= ExportersModel::colDatagrams);
    QVERIFY(to.column() < ExportersModel::colTemplates);

    // Dropped from the table past its cap: gone from the view; the others keep their rows.
    rows.erase(rows.begin());
    model.Update(rows, now);
    QCOMPARE(removed.size(), 1);
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.CellText(0, ExportersModel::colExporter), QStringLiteral("10.0.0.2"));
    QCOMPARE(reset.size(), 0);
}

void VisibilityWindowTest::clockOffsetReadsInTenthsWithItsSign() {
    ExportersModel model;
    std::vector<tExporterRow> rows;
    for (std::int64_t offset : {-1750, -49, 30, 2400}) {
        rows.push_back(Row(rows.size() + 1, 0x0A000001, 1, 0));
        rows.back().HasClock = true;
        rows.back().ClockOffsetMs = offset;
    }
    model.Update(rows, 0);
    QStringList shown;
    for (int r = 0; r < model.rowCount(); ++r) shown << model.CellText(r, ExportersModel::colClockOffset);
    QCOMPARE(shown, (QStringList{"-1.8 s", "0.0 s", "0.0 s", "+2.4 s"}));
}

void VisibilityWindowTest::samplingAndLateDataColumnsFollowTheOthers() {
    // Saved tables and scripts read the columns by place: the new ones come after the old.
    QStringList titles;
    for (int c = ExportersModel::colCut; c < ExportersModel::kColumnCount; ++c)
        titles << ExportersModel::ColumnTitle(c);
    QCOMPARE(titles, (QStringList{"Cut", "Sampling", "Times implausible", "Held", "Decoded late", "Expired",
                                  "Options records"}));

    ExportersModel model;
    std::vector<tExporterRow> rows = {Row(1, 0x0A000001, 1, 0), Row(2, 0x0A000002, 1, 0), Row(3, 0x0A000003, 1, 0)};
    // As the exporter table holds them: the text and the rate it states.
    rows[0].Sampling = "1 in 1000, options data, sampler 1";
    rows[0].SamplingRate = 1000;
    rows[1].Sampling = "1 in 100, version 5 header";
    rows[1].SamplingRate = 100;
    rows[0].TimesImplausible = 4;
    rows[0].SetsHeld = 12;
    rows[0].SetsDecodedLate = 9;
    rows[0].SetsExpired = 2;
    rows[0].SetsDropped = 1;
    rows[0].OptionsRecords = 6;
    rows[0].OptionsIgnored = 5;
    model.Update(rows, 0);
    const auto cells = [&model](int Row) {
        QStringList shown;
        for (int c = ExportersModel::colSampling; c < ExportersModel::kColumnCount; ++c)
            shown << model.CellText(Row, c);
        return shown;
    };
    QCOMPARE(cells(0), (QStringList{"1 in 1000, options data, sampler 1", "4", "12", "9", "3", "6"}));
    QCOMPARE(cells(2), (QStringList{"none reported", "0", "0", "0", "0", "0"}));
    const auto tip = [&model](int Column) { return model.index(0, Column).data(Qt::ToolTipRole).toString(); };
    QVERIFY2(tip(ExportersModel::colExpired).startsWith(QStringLiteral("2 expired")),
             qPrintable(tip(ExportersModel::colExpired)));
    QVERIFY(tip(ExportersModel::colExpired).contains(QStringLiteral("1 dropped")));
    QVERIFY(tip(ExportersModel::colOptionsRecords).contains(QStringLiteral("5 options templates or records ignored")));

    // Sampling sorts by its rate, where its text would put 1 in 1000 before 1 in 100.
    const auto rate = [&model](int Row) {
        return model.index(Row, ExportersModel::colSampling).data(ExportersModel::SortRole).toULongLong();
    };
    QCOMPARE(rate(0), 1000u);
    QCOMPARE(rate(1), 100u);
    QCOMPARE(rate(2), 0u);

    rows[0].SetsDropped = 2;
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.Update(rows, 0);
    QCOMPARE(model.CellText(0, ExportersModel::colExpired), QStringLiteral("4"));
    QCOMPARE(changed.size(), 1);
}

QTEST_MAIN(VisibilityWindowTest)
// The Traffic window from the View menu, fed by the handler with flows that came over loopback: the
// source with the most bytes leads, whatever order the datagrams came in.
void VisibilityWindowTest::trafficWindowRanksRealDatagramsByBytes() {
    QTemporaryDir dir;
    Collector collector;
    TForm1 form(collector);
    QVERIFY(form.UDPServer.Active());
    QVERIFY(QDir::setCurrent(dir.path()));
    V5Flow small;
    small.src = 0x0A000005;  // 10.0.0.5
    small.octets = 1000;
    V5Flow large;
    large.src = 0x0A000009;  // 10.0.0.9
    large.octets = 500000;
    // Flows are aggregated from the first look at the window on.
    form.Traffic1->trigger();
    loopback::Send(V5Datagram({small, small, small}, 0), kPort);
    loopback::Send(V5Datagram({large}, 3), kPort);
    TrafficWindow* window = form.TrafficView();
    QVERIFY(window != nullptr);
    QCOMPARE(window->objectName(), QStringLiteral("TrafficWindow"));
    auto* sources = window->findChild<QTableView*>(QStringLiteral("tblSources"));
    QVERIFY(sources != nullptr);
    const QAbstractItemModel* model = sources->model();
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 2, 3 * kWaitMs);
    QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("10.0.0.9"));
    QCOMPARE(model->index(1, 0).data().toString(), QStringLiteral("10.0.0.5"));
}

#include "VisibilityWindowTest.moc"
