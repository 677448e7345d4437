// Program entry of the collector: one main window that runs the UDP listener, and a hidden dialog.
#include <QApplication>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Main.h"
#include "SelectDay.h"
#include "TerminationSignals.h"
#include "support/DateTime.h"

int main(int argc, char* argv[]) {
    // Whoever reads standard error may go away (a closed terminal, a log reader that ended); a
    // message written then must fail quietly, not end the collection with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    // Dates, times and the thousands separator of the flow lines follow the user's locale.
    std::setlocale(LC_ALL, "");
    brix32::RefreshLocaleFormats();

    // The toolkit has taken its own options out already.
    std::vector<std::string> arguments;
    for (const QString& a : QCoreApplication::arguments().mid(1)) arguments.push_back(a.toStdString());
    CollectorOptions options;
    std::string usageError;
    if (!ParseCollectorOptions(arguments, options, usageError)) {
        std::fprintf(stderr, "%s\n", usageError.c_str());
        return 2;
    }

    // A signal can arrive while start-up still shows an error box, before the main loop runs;
    // remember it so that the loop is not entered at all.
    bool quitRequested = false;
    // The collector outlives its window, which only shows and switches it.
    Collector collector;
    for (const auto& [exporter, rate] : options.SamplingRates) collector.SetSamplingRate(exporter, rate);
    history::HistoryOptions historyOptions;
    historyOptions.Enabled = options.History;
    if (options.HistoryDays > 0) historyOptions.Keep.RawDays = options.HistoryDays;
    if (options.HistoryMaxBytes > 0) historyOptions.Keep.MaxBytes = options.HistoryMaxBytes;
    collector.EnableHistory(historyOptions);
    if (options.ClickHouse) {
        clickhouse::ExportOptions exportOptions;
        exportOptions.Server = *options.ClickHouse;
        if (options.ClickHouseSpoolMaxBytes > 0) exportOptions.SpoolMaxBytes = options.ClickHouseSpoolMaxBytes;
        collector.EnableClickHouse(exportOptions);
    }
    NameOptions names;
    names.LocationDatabase = options.LocationDatabase;
    names.Dns = options.Dns;
    names.DnsServer = options.DnsServer;
    names.SnmpCommunity = options.SnmpCommunity;
    names.SnmpPort = options.SnmpPort;
    collector.EnableNames(names);
    TerminationSignals terminationSignals(
        [&quitRequested](int) {
            quitRequested = true;
            QApplication::closeAllWindows();
            QCoreApplication::exit(0);
        },
        nullptr, [&collector] { collector.SaveRecentDatagrams(); });

    // Declared in this order so that the dialog goes first and the window, which switches the
    // listener off before releasing its controls, last.
    TForm1 Form1(collector, nullptr, TForm1::ErrorBoxes::OnlyWithADisplay);
    TfrmSelectDay frmSelectDay;

    if (options.OpenTraffic) Form1.Traffic1Click();

    // Without a display nobody can switch the listener on by hand: a collector that cannot listen
    // ends with a failure status (its reason is on standard error), so a service manager restarts it.
    if (TForm1::Headless() && !Form1.UDPServer.Active()) return 1;

    int result = 0;
    if (!quitRequested) {
        Form1.show();
        result = QApplication::exec();
    }
    return result;
}
