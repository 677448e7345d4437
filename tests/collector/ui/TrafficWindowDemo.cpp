// Shows the Traffic window on an hour of made-up traffic with a known mix and saves a picture of
// it: traffic-window-demo OUTPUT.png [--history | --places]. With --history the window shows the last
// 24 hours of the same mix from a history folder the collector's own store wrote, in a scratch
// directory. With --places the mix talks to public addresses, and the window shows their countries
// and AS numbers from the location database and, where NFC_DNS_SERVER names a DNS server, their host
// names. Run under a display (see traffic-screenshot.sh).
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "FlowHandOver.h"
#include "HistoryStore.h"
#include "InterfaceNames.h"
#include "Locations.h"
#include "ReverseDns.h"
#include "TrafficAggregator.h"
#include "TrafficWindow.h"

namespace {

bool gPlaces = false;

FlowRecord Demo(std::uint64_t N, std::int64_t Ms) {
    // A backup server that dominates, some web and name traffic, a little of everything else.
    static const char* const kSources[] = {"10.1.0.20", "10.1.0.31", "10.1.4.7", "10.2.0.5", "172.16.8.2"};
    static const char* const kTargets[] = {"10.9.0.2", "93.184.216.34", "10.1.0.53", "151.101.1.69", "10.9.0.3"};
    // The same with a mail server and a web server of the site's own and resolvers abroad.
    static const char* const kPublicSources[] = {"203.0.113.7", "198.51.100.20", "10.1.4.7", "10.2.0.5", "172.16.8.2"};
    static const char* const kPublicTargets[] = {"81.2.69.142", "8.8.8.8", "1.1.1.1", "9.9.9.9", "193.0.6.139"};
    static const std::uint16_t kPorts[] = {22, 443, 53, 443, 873, 80, 123};
    static const std::uint8_t kProtocols[] = {6, 6, 17, 6, 6, 6, 17};
    FlowRecord r;
    r.ReceivedMs = Ms;
    r.Exporter = FlowAddress::Parse(N % 3 == 0 ? "192.0.2.1" : "192.0.2.2");
    const std::size_t kind = N % 7;
    // The transfers to the backup target (kind 4) all come from the first source.
    const char* const* sources = gPlaces ? kPublicSources : kSources;
    const char* const* targets = gPlaces ? kPublicTargets : kTargets;
    r.Source = FlowAddress::Parse(kind == 4 ? sources[0] : sources[(N * 7) % 5]);
    r.Destination = FlowAddress::Parse(kind == 4 ? targets[0] : targets[(N * 3) % 5]);
    r.DestinationPort = kPorts[kind];
    r.Protocol = N % 41 == 0 ? 1 : kProtocols[kind];
    r.SourcePort = static_cast<std::uint16_t>(32768 + N % 20000);
    r.Bytes = kind == 4 ? 400'000 + N % 1000 : 300 + (N * 37) % 90000;
    r.Packets = r.Bytes / 900 + 1;
    r.Version = N % 2 ? 5 : 9;
    // The second exporter samples one packet in a hundred and counts accordingly less.
    if (N % 3 != 0) {
        r.SamplingRate = 100;
        r.Bytes = r.Bytes / 100 + 1;
        r.Packets = r.Packets / 100 + 1;
    }
    r.InputIf = 1 + static_cast<std::uint32_t>(N % 3);
    r.OutputIf = kind == 4 ? 4 : 5 + static_cast<std::uint32_t>(N % 2);
    r.TimesFromExporter = true;
    r.EndMs = Ms - static_cast<std::int64_t>(N % 900);
    r.StartMs = r.EndMs - static_cast<std::int64_t>((N * 7919) % 60'000);
    return r;
}

// A day of the mix through the store, busier by day than by night, as the collector would have
// stored it.
std::unique_ptr<history::HistoryStore> StoreADay(const QString& Folder, std::int64_t Now) {
    history::HistoryOptions options;
    options.NowMs = [Now] { return Now; };
    auto store = std::make_unique<history::HistoryStore>(Folder.toStdString(), options);
    if (!store->Storing()) return nullptr;
    std::uint64_t n = 0;
    for (std::int64_t s = 24 * 3600 - 1; s >= 0; --s) {
        const std::int64_t hour = (Now / 1000 - s) / 3600 % 24;
        const int perSecond = hour >= 8 && hour < 19 ? 3 : 1;
        FlowBatch batch;
        for (int i = 0; i < perSecond; ++i, ++n) batch.push_back(Demo(n, Now - s * 1000 - 999 + i * 300));
        for (FlowConsumer* c : {&store->RawConsumer(), &store->SummaryConsumer()}) {
            c->BeginRun();
            c->Consume(batch);
            c->EndRun();
        }
    }
    store->FlushNow();
    return store;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    const bool history = argc > 2 && std::strcmp(argv[2], "--history") == 0;
    gPlaces = argc > 2 && std::strcmp(argv[2], "--places") == 0;
    TrafficAggregator aggregator;
    if (gPlaces) aggregator.SetLocator(names::Locator::Open(names::kLocationDatabase));
    std::uint64_t n = 0;
    for (int s = 3599; s >= 0; --s) {
        // The rate rises in the last five minutes, as when a transfer starts.
        const int perSecond = s < 300 ? 60 : 20 + (s / 60) % 10;
        for (int i = 0; i < perSecond; ++i, ++n) aggregator.Add(Demo(n, now - s * 1000 - 999 + i * (1000 / perSecond)));
    }
    InterfaceNames names;
    for (const char* exporter : {"192.0.2.1", "192.0.2.2"}) {
        names.Set(FlowAddress::Parse(exporter), 1, "Gi0/0/1", "uplink");
        names.Set(FlowAddress::Parse(exporter), 4, "Te0/1/0", "backup network");
        names.Set(FlowAddress::Parse(exporter), 5, "Vlan10", "");
        // As an SNMP agent tells them: the speed, and a name where options data sent none.
        names.SetPolled(FlowAddress::Parse(exporter), 1, "Gi0/0/1", "uplink", 1000);
        names.SetPolled(FlowAddress::Parse(exporter), 4, "Te0/1/0", "backup network", 10000);
        names.SetPolled(FlowAddress::Parse(exporter), 6, "Vlan20", "servers", 100);
    }
    SharedTraffic shared;
    shared.Aggregator = &aggregator;
    TrafficWindow window(shared, nullptr, nullptr, [now] { return now; });
    window.SetInterfaceNames(&names);
    std::unique_ptr<names::ReverseDns> hosts;
    if (gPlaces) {
        window.SetLocationDatabase(names::kLocationDatabase);
        if (const char* server = std::getenv("NFC_DNS_SERVER")) {
            names::ReverseDnsOptions options;
            if (auto address = names::ParseDnsServer(server)) options.Server = *address;
            hosts = std::make_unique<names::ReverseDns>(options);
            window.SetHostNames(hosts.get());
            // The first look asks; the names are there by the picture's refresh.
            window.Refresh();
        }
    }
    window.resize(1280, 860);
    window.show();
    window.findChild<QTableView*>(QStringLiteral("tblSources"))->selectRow(1);
    if (gPlaces) {
        auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("tabTalkers"));
        tabs->setCurrentIndex(tabs->indexOf(window.findChild<QWidget*>(QStringLiteral("AS"))));
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    QTemporaryDir scratch;
    std::unique_ptr<history::HistoryStore> store;
    if (history) {
        store = StoreADay(scratch.path(), now);
        if (!store) {
            std::fprintf(stderr, "could not make a history in %s\n", qPrintable(scratch.path()));
            return 1;
        }
        window.SetHistoryFolder(store->Folder());
        window.findChild<QComboBox*>(QStringLiteral("cmbSpan"))->setCurrentIndex(5);  // the last 24 hours
    }
    QTimer::singleShot(1500, &app, [&] {
        // The history answers on a thread of its own; the picture waits for it.
        while (window.AskingHistory()) app.processEvents(QEventLoop::WaitForMoreEvents, 100);
        window.Refresh();
        app.processEvents();
        const bool saved = window.grab().save(output);
        std::fprintf(stderr, "%s %s\n", saved ? "saved" : "could not save", qPrintable(output));
        app.exit(saved ? 0 : 1);
    });
    return app.exec();
}
