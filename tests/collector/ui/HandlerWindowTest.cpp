// Real datagrams through the real window: sent over loopback to UDP 9996, received by the listener,
// handled on its thread and shown by the main thread. Binds UDP port 9996 (CTest lock udp9996).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <stdexcept>
#include <string>

#include "DatagramHandler.h"
#include "Doubles.h"
#include "Main.h"
#include "MemoView.h"
#include "TestDatagrams.h"
#include "WindowDoubles.h"
#include "flowdecode/NetflowV9.h"
#include "support/ExceptionReport.h"
#include "support/Tones.h"

namespace {

using namespace testdatagrams;

constexpr int kWaitMs = 15000;

bool PortIsFree() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9996);
    const bool free = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

void Send(const std::string& bytes) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(9996);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    close(fd);
}

}  // namespace

class HandlerWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();
    void version5DatagramWithTwoRecords();
    void unknownVersionAndEmptyDatagram();
    void version9TemplateTeachesAndCarriesData();
    void version9DataBeforeAnyTemplateAndTemplatesWithoutAnIPv4Source();
    void threeRecordsGiveThreeLinesInSlotOrder();
    void errorInTheLoopGivesOneReportAndTheNextDatagramIsHandled();

  private:
    QString Caption(const char* name) const { return Form_->findChild<QLabel*>(name)->text(); }
    QStringList MemoLines() const {
        const QString text = Form_->Memo->toPlainText();
        return text.isEmpty() ? QStringList() : text.split('\n');
    }
    QStringList CsvLines() const {
        QStringList lines;
        for (const QString& name : QDir(Dir_->path()).entryList({"NetFlow-*.csv"}, QDir::Files, QDir::Name)) {
            QFile file(Dir_->filePath(name));
            file.open(QIODevice::ReadOnly);
            const QString text = QString::fromLatin1(file.readAll());
            for (const QString& line : text.split("\r\n", Qt::SkipEmptyParts)) lines << line;
        }
        return lines;
    }
    int Reports() const { return QDir(Dir_->path()).entryList({"Exception-Netflow-*.xml"}, QDir::Files).size(); }
    // The handler runs on the listener thread: wait until the window shows the call has ended.
    void WaitForHandled(const QString& length) {
        QTRY_COMPARE_WITH_TIMEOUT(Caption("Label3"), length, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(Caption("lblThreadCount"), QStringLiteral("Threadcount=0"), kWaitMs);
    }

    std::unique_ptr<QTemporaryDir> Dir_;
    std::unique_ptr<Collector> Collector_;
    std::unique_ptr<TForm1> Form_;
    std::unique_ptr<doubles::InstalledReporter> Reporter_;
};

void HandlerWindowTest::init() {
    QTRY_VERIFY_WITH_TIMEOUT(PortIsFree(), kWaitMs);
    netflowlib::ResetTemplateStore();
    Dir_ = std::make_unique<QTemporaryDir>();
    Collector_ = std::make_unique<Collector>();
    Form_ = std::make_unique<TForm1>(*Collector_);
    QVERIFY(Form_->UDPServer.Active());
    // Start-up made the program's directory current; the files of these cases go elsewhere.
    QVERIFY(QDir::setCurrent(Dir_->path()));
    Reporter_ = std::make_unique<doubles::InstalledReporter>(Dir_->path().toStdString() + "/");
}

void HandlerWindowTest::cleanup() {
    Form_.reset();
    Collector_.reset();
    Reporter_.reset();
    netflowlib::ResetTemplateStore();
    Dir_.reset();
}

void HandlerWindowTest::version5DatagramWithTwoRecords() {
    V5Flow a, b;
    b.src = 0x0A000002;
    Send(V5Datagram({a, b}));
    WaitForHandled("120");
    QCOMPARE(Caption("lblVersion"), QStringLiteral("[0-1] version: 5"));
    QCOMPARE(Caption("lblCount"), QStringLiteral("[2-3] flowsets: 2"));
    QCOMPARE(Caption("lblTemplate"), QStringLiteral("Waiting for v9 template"));
    QCOMPARE(Caption("lblsrcaddr"), QStringLiteral("[0-3] srcaddr: 10.0.0.2"));
    QTRY_COMPARE_WITH_TIMEOUT(MemoLines().size(), 2, kWaitMs);
    QCOMPARE(CsvLines(), QStringList({"1000,4294963296,10.0.0.1,1234,192.168.1.20,80,6,123456",
                                      "1000,4294963296,10.0.0.2,1234,192.168.1.20,80,6,123456"}));
}

void HandlerWindowTest::unknownVersionAndEmptyDatagram() {
    std::string v7 = V5Datagram({V5Flow{}});
    v7[1] = 7;
    Send(v7);
    WaitForHandled("72");
    QCOMPARE(Caption("lblVersion"), QStringLiteral("[0-1] version: 0"));

    Send("");
    WaitForHandled("0");
    QCOMPARE(Caption("lblCount"), QStringLiteral("[2-3] flowsets: 0"));
    QCOMPARE(Caption("lblflow_sequence"), QStringLiteral("[16-19] flow_sequence: 0"));
    QVERIFY(MemoLines().isEmpty());
    QVERIFY(CsvLines().isEmpty());
    QCOMPARE(Reports(), 0);
}

void HandlerWindowTest::version9TemplateTeachesAndCarriesData() {
    const std::string records = BasicIPv4Record({10, 0, 0, 1}, {192, 168, 1, 20}, 1234, 80, 17, 1500) +
                                BasicIPv4Record({10, 0, 0, 2}, {192, 168, 1, 21}, 4321, 53, 17, 64);
    const std::string d = V9Header(3) + V9Template(256, BasicIPv4Template()) + V9DataFlowset(256, records);
    Send(d);
    WaitForHandled(QString::number(d.size()));
    QCOMPARE(Caption("lblTemplate"), QStringLiteral("Waiting for v9 data"));
    QCOMPARE(Caption("lblVersion"), QStringLiteral("[0-1] version: 9"));
    QCOMPARE(Caption("lblunix_nsecs"), QStringLiteral("[12-15] unix_nsecs: 0"));
    QCOMPARE(Caption("lblengine_type"), QStringLiteral("[20] engine_type: 0"));
    QCOMPARE(Caption("lblengine_id"), QStringLiteral("[21] engine_id: 0"));
    QCOMPARE(Caption("lblsampling_interval"), QStringLiteral("[22-23] sampling_interval: 0"));
    QTRY_COMPARE_WITH_TIMEOUT(MemoLines(),
                              QStringList({"10.0.0.1(1234)        ->192.168.1.20(80)      [17]   1,500",
                                           "10.0.0.2(4321)        ->192.168.1.21(53)      [17]      64"}),
                              kWaitMs);
    QCOMPARE(CsvLines().size(), 2);
    QVERIFY(QFile::exists(Dir_->filePath("debug-v9-packet.txt")));
}

void HandlerWindowTest::version9DataBeforeAnyTemplateAndTemplatesWithoutAnIPv4Source() {
    const std::string data =
        V9Header(1) + V9DataFlowset(256, BasicIPv4Record({10, 0, 0, 1}, {10, 0, 0, 2}, 1, 2, 6, 9));
    Send(data);
    WaitForHandled(QString::number(data.size()));
    QCOMPARE(Caption("lblTemplate"), QStringLiteral("Waiting for v9 template"));

    // Records decoded with a template that has no field type 8 have no line.
    const std::string noSource =
        V9Header(2) + V9Template(256, {{12, 4}, {7, 2}, {11, 2}, {4, 1}, {1, 4}}) +
        V9DataFlowset(256, std::string("\x0A\x00\x00\x02\x00\x01\x00\x02\x06\x00\x00\x00\x09", 13));
    Send(noSource);
    WaitForHandled(QString::number(noSource.size()));
    QCOMPARE(Caption("lblTemplate"), QStringLiteral("Waiting for v9 data"));
    QTest::qWait(100);
    QVERIFY(MemoLines().isEmpty());
    QVERIFY(CsvLines().isEmpty());
}

void HandlerWindowTest::threeRecordsGiveThreeLinesInSlotOrder() {
    V5Flow a, b, c;
    b.src = 0x0A000002;
    c.src = 0x0A000003;
    Send(V5Datagram({a, b, c}));
    WaitForHandled("168");
    QTRY_COMPARE_WITH_TIMEOUT(MemoLines().size(), 3, kWaitMs);
    const QStringList memo = MemoLines();
    QVERIFY(memo[0].mid(20, 9) == "10.0.0.1(");
    QVERIFY(memo[1].mid(20, 9) == "10.0.0.2(");
    QVERIFY(memo[2].mid(20, 9) == "10.0.0.3(");
    const QStringList csv = CsvLines();
    QCOMPARE(csv.size(), 3);
    QVERIFY(csv[2].contains(",10.0.0.3,"));
    QCOMPARE(Caption("lblsrcaddr"), QStringLiteral("[0-3] srcaddr: 10.0.0.3"));
}

void HandlerWindowTest::errorInTheLoopGivesOneReportAndTheNextDatagramIsHandled() {
    // A handler whose window fails at the second record's caption, in place of the form's own.
    CollectorCounters counters;
    FailingWindow failing(Form_->Updates(), ::Caption::lblsrcaddr, 2, "memo line could not be added");
    DatagramHandler failingHandler(failing, counters);
    Form_->UDPServer.SetActive(false);
    const TUDPReadEvent formsOwn = Form_->UDPServer.OnUDPRead;
    Form_->UDPServer.OnUDPRead = [&failingHandler](TIdUDPServer&, TIdMemoryStream& AData, TIdSocketHandle& ABinding) {
        failingHandler.UDPServerUDPRead(AData, ABinding);
    };
    Form_->UDPServer.SetActive(true);
    V5Flow a, b, c;
    Send(V5Datagram({a, b, c}));
    WaitForHandled("168");
    QCOMPARE(Reports(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(MemoLines().size(), 1, kWaitMs);

    QCOMPARE(CsvLines().size(), 1);
    Form_->UDPServer.SetActive(false);  // no handler runs while the form's own comes back
    Form_->UDPServer.OnUDPRead = formsOwn;
    Form_->UDPServer.SetActive(true);
    V5Flow d;
    d.octets = 7;
    Send(V5Datagram({d}));
    WaitForHandled("72");
    QTRY_COMPARE_WITH_TIMEOUT(MemoLines().size(), 2, kWaitMs);
    QCOMPARE(Reports(), 1);
    QCOMPARE(CsvLines().size(), 2);
}

QTEST_MAIN(HandlerWindowTest)
#include "HandlerWindowTest.moc"
