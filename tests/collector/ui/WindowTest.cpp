// The collector window, its start-up and shutdown, the hidden day dialog, and the program as a
// process. Binds UDP port 9996 (CTest lock udp9996).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontInfo>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "DatagramHandler.h"
#include "Loopback.h"
#include "Main.h"
#include "MemoView.h"
#include "SelectDay.h"
#include "TerminationSignals.h"
#include "WindowUpdates.h"
#include "support/GlobalSettings.h"
#include "support/ProgramFacts.h"

namespace {

constexpr std::uint16_t kCollectorPort = 9996;
constexpr int kWaitMs = 15000;

// A plain UDP socket on all addresses, as another program holding the port would have it.
class PortHolder {
  public:
    explicit PortHolder(std::uint16_t Port, std::uint32_t Address = INADDR_ANY) {
        Fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(Address);
        address.sin_port = htons(Port);
        Bound_ = Fd_ >= 0 && bind(Fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~PortHolder() { Release(); }
    bool Bound() const { return Bound_; }
    void Release() {
        if (Fd_ >= 0) close(Fd_);
        Fd_ = -1;
        Bound_ = false;
    }

  private:
    int Fd_ = -1;
    bool Bound_ = false;
};

bool PortIsFree(std::uint16_t Port) { return loopback::PortIsFree(Port); }

void SendToCollector(const std::string& Bytes) { loopback::Send(Bytes, kCollectorPort); }

// Answers every message box that opens while it lives, from inside the box's own event loop, and
// keeps what the boxes showed.
class MessageBoxAnswerer : public QObject {
  public:
    MessageBoxAnswerer() {
        connect(&Timer_, &QTimer::timeout, this, &MessageBoxAnswerer::Poll);
        Timer_.start(10);
    }

    QStringList Texts;
    QList<QMessageBox::Icon> Icons;

  private:
    void Poll() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box == nullptr || !box->isVisible()) continue;
            Texts << box->text();
            Icons << box->icon();
            box->button(QMessageBox::Ok)->click();
        }
    }

    QTimer Timer_;
};

QLabel* Label(const QWidget& Form, const char* Name) { return Form.findChild<QLabel*>(QString::fromLatin1(Name)); }

QString ProgramDir() { return QDir(QCoreApplication::applicationDirPath()).canonicalPath(); }

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

  private slots:
    void init();

    void normalStartSwitchesTheListenerOnAndPreparesTheProcess();
    void controlsCarryTheirNamesCaptionsAndPlaces();
    void memoUsesAFixedPitchFontWithoutWrapping();
    void fileMenuHoldsHelpSeparatorAndExit();
    void threeClicksSwitchTheListenerOffOnOff();
    void helpShowsVersionAndPortAlsoWhileOff();
    void portTakenAtStartShowsTheErrorAndAClickLaterActivates();
    void failedActivationOnAClickKeepsThePreviousCaption();
    void listenerUpdatesReachTheirLabelsAndTheMemo();
    void handlerOnTheMainThreadIsServedWhenThreadedEventIsOff();
    void exitClosesTheWindowAndSwitchesTheListenerOff();
    void destroyingTheWindowWaitsForARunningHandler();
    void selectDayDialogHasItsControlsAndButton2Cancels();
    void terminationSignalsReachTheMainThread_data();
    void terminationSignalsReachTheMainThread();
    void collectorProcessEndsCleanlyOnSignal_data();
    void collectorProcessEndsCleanlyOnSignal();
    void headlessStartWithThePortTakenSaysWhyAndEndsWithStatus1_data();
    void headlessStartWithThePortTakenSaysWhyAndEndsWithStatus1();
};

void WindowTest::init() { QTRY_VERIFY_WITH_TIMEOUT(PortIsFree(kCollectorPort), kWaitMs); }

void WindowTest::normalStartSwitchesTheListenerOnAndPreparesTheProcess() {
    QDir::setCurrent(QDir::tempPath());
    brix32::GlobalSettings = {};
    gThreadCount = 7;

    Collector collector;

    TForm1 form(collector);
    QCOMPARE(form.cmdActivate->text(), QStringLiteral("Deactivate"));
    QVERIFY(form.UDPServer.Active());
    QVERIFY(!PortIsFree(kCollectorPort));
    QCOMPARE(form.UDPServer.DefaultPort(), 9996);
    QCOMPARE(form.UDPServer.BufferSize, 8000);
    QVERIFY(form.UDPServer.ThreadedEvent);
    QCOMPARE(form.lblTemplate->text(), QStringLiteral("Waiting for v9 template"));
    QVERIFY(form.Memo->toPlainText().isEmpty());

    QCOMPARE(brix32::GlobalSettings.ExceptionFileTemplate, std::string("Exception-Netflow-{timestamp}.xml"));
    QCOMPARE(brix32::GlobalSettings.Version, brix32::GetVersionString(""));
    QVERIFY(!brix32::GlobalSettings.Version.empty());
    QCOMPARE(gThreadCount, 0);
    // Relative file names land beside the program, wherever it was started from.
    QCOMPARE(QDir::current().canonicalPath(), ProgramDir());
}

void WindowTest::controlsCarryTheirNamesCaptionsAndPlaces() {
    Collector collector;
    TForm1 form(collector);
    QCOMPARE(form.windowTitle(), QStringLiteral("Form1"));
    // The status bar comes on top of the specified size; the controls above it stay where they were.
    QCOMPARE(form.size(), QSize(991, 504 + form.statusBar()->height()));
    QVERIFY(!form.windowIcon().isNull());
    QVERIFY(form.windowIcon().availableSizes().contains(QSize(32, 32)));
    QCOMPARE(form.font().family(), QStringLiteral("MS Sans Serif"));
    QCOMPARE(form.font().pointSize(), 8);

    struct Expected {
        const char* Name;
        const char* Caption;
        int Left, Top;
    };
    const Expected labels[] = {
        {"lblTemplate", "Waiting for v9 template", 4, 4},
        {"Label1", "Flow header format", 4, 24},
        {"lblVersion", "lblVersion", 4, 44},
        {"lblCount", "lblCount", 4, 64},
        {"lblsys_uptime", "lblsys_uptime", 4, 84},
        {"lblUnixSecs", "lblUnixSecs", 4, 104},
        {"lblunix_nsecs", "lblunix_nsecs", 4, 124},
        {"lblflow_sequence", "lblflow_sequence", 4, 144},
        {"lblengine_type", "lblengine_type", 4, 164},
        {"lblengine_id", "lblengine_id", 4, 184},
        {"lblsampling_interval", "lblsampling_interval", 4, 204},
        {"Label3", "Label3", 4, 224},
        {"lblStatus", "lblStatus", 4, 244},
        {"lblThreadCount", "lblThreadCount", 4, 264},
        {"Label2", "Flow record format", 256, 4},
        {"lblsrcaddr", "lblsrcaddr", 256, 24},
        {"lbldstaddr", "lbldstaddr", 256, 44},
        {"lblnexthop", "lblnexthop", 256, 64},
        {"lblinput", "lblinput", 256, 84},
        {"lbloutput", "lbloutput", 256, 104},
        {"lbldpkts", "lbldpkts", 256, 124},
        {"lbldOctets", "lbldOctets", 256, 144},
        {"lblfirst", "lblfirst", 256, 164},
        {"lbllast", "lbllast", 256, 184},
        {"lblsrcport", "lblsrcport", 256, 204},
        {"lbldstport", "lbldstport", 256, 224},
        {"lblpad1", "lblpad1", 256, 244},
        {"lbltcp_flags", "lbltcp_flags", 256, 264},
        {"lblprot", "lblprot", 256, 284},
        {"lbltos", "lbltos", 256, 304},
        {"lblsrc_as", "lblsrc_as", 256, 324},
        {"lbldst_as", "lbldst_as", 256, 344},
        {"lblsrc_mask", "lblsrc_mask", 256, 364},
        {"lbldst_mask", "lbldst_mask", 256, 384},
        {"lblpad2", "lblpad2", 256, 404},
        {"Label4", "lblCount", 132, 408},
    };
    for (const Expected& e : labels) {
        const QLabel* label = Label(form, e.Name);
        QVERIFY2(label != nullptr, e.Name);
        QCOMPARE(label->text(), QString::fromLatin1(e.Caption));
        QCOMPARE(label->pos(), QPoint(e.Left, e.Top));
        // Every caption is readable in full.
        QVERIFY2(label->width() >= label->sizeHint().width(), e.Name);
    }
    for (const char* heading : {"Label1", "Label2"}) {
        QVERIFY(Label(form, heading)->font().bold());
        QVERIFY(Label(form, heading)->font().underline());
    }
    QVERIFY(!Label(form, "lblVersion")->font().bold());

    const auto* button = form.findChild<QPushButton*>(QStringLiteral("cmdActivate"));
    QVERIFY(button != nullptr);
    QCOMPARE(button->geometry(), QRect(152, 28, 93, 21));
    const auto* memo = form.findChild<MemoView*>(QStringLiteral("Memo"));
    QVERIFY(memo != nullptr);
    QCOMPARE(memo->geometry(), QRect(428, 8, 529, 401));

    // Header captions reach to the right and must not cover the button.
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.centralWidget()->childAt(QPoint(198, 38)), static_cast<QWidget*>(form.cmdActivate));
}

void WindowTest::memoUsesAFixedPitchFontWithoutWrapping() {
    Collector collector;
    TForm1 form(collector);
    const MemoView* memo = form.Memo;
    QVERIFY(QFontInfo(memo->font()).fixedPitch());
    QCOMPARE(memo->font().pointSize(), 8);
    QCOMPARE(memo->lineBound(), 100000);
    // Characters of one width are what keeps the flow columns aligned.
    const QFontMetrics metrics(memo->font());
    QCOMPARE(metrics.horizontalAdvance(QStringLiteral("1111111111")),
             metrics.horizontalAdvance(QStringLiteral("->->->->->")));
}

void WindowTest::fileMenuHoldsHelpSeparatorAndExit() {
    Collector collector;
    TForm1 form(collector);
    const auto* bar = form.findChild<QMenuBar*>(QStringLiteral("MainMenu1"));
    QVERIFY(bar != nullptr);
    // File first, as specified; View beside it.
    QCOMPARE(bar->actions().size(), 2);
    const auto* file = form.findChild<QMenu*>(QStringLiteral("File1"));
    QVERIFY(file != nullptr);
    QCOMPARE(file->title(), QStringLiteral("File"));
    QCOMPARE(bar->actions().front(), file->menuAction());

    const QList<QAction*> items = file->actions();
    QCOMPARE(items.size(), 3);
    QCOMPARE(items[0]->objectName(), QStringLiteral("Help1"));
    QCOMPARE(items[0]->text(), QStringLiteral("Help"));
    QCOMPARE(items[1]->objectName(), QStringLiteral("N1"));
    QVERIFY(items[1]->isSeparator());
    QCOMPARE(items[2]->objectName(), QStringLiteral("Exit1"));
    QCOMPARE(items[2]->text(), QStringLiteral("Exit"));
}

void WindowTest::threeClicksSwitchTheListenerOffOnOff() {
    Collector collector;
    TForm1 form(collector);
    QVERIFY(form.UDPServer.Active());

    QTest::mouseClick(form.cmdActivate, Qt::LeftButton);
    QCOMPARE(form.cmdActivate->text(), QStringLiteral("Aactivate"));
    QVERIFY(!form.UDPServer.Active());
    QVERIFY(PortIsFree(kCollectorPort));

    QTest::mouseClick(form.cmdActivate, Qt::LeftButton);
    QCOMPARE(form.cmdActivate->text(), QStringLiteral("Deactivate"));
    QVERIFY(form.UDPServer.Active());
    QVERIFY(!PortIsFree(kCollectorPort));

    QTest::mouseClick(form.cmdActivate, Qt::LeftButton);
    QCOMPARE(form.cmdActivate->text(), QStringLiteral("Aactivate"));
    QVERIFY(!form.UDPServer.Active());
    QVERIFY(PortIsFree(kCollectorPort));
}

void WindowTest::helpShowsVersionAndPortAlsoWhileOff() {
    Collector collector;
    TForm1 form(collector);
    const QString expected = QStringLiteral("Version: ") + QString::fromStdString(brix32::GetVersionString("")) +
                             QStringLiteral("\nUDP port: 9996");
    {
        MessageBoxAnswerer answerer;
        form.Help1->trigger();
        QCOMPARE(answerer.Texts, QStringList{expected});
    }
    QVERIFY(!brix32::GetVersionString("").empty());

    form.cmdActivateClick();
    QVERIFY(!form.UDPServer.Active());
    MessageBoxAnswerer answerer;
    form.Help1->trigger();
    QCOMPARE(answerer.Texts, QStringList{expected});
}

void WindowTest::portTakenAtStartShowsTheErrorAndAClickLaterActivates() {
    PortHolder other(kCollectorPort);
    QVERIFY(other.Bound());

    auto answerer = std::make_unique<MessageBoxAnswerer>();
    Collector collector;
    TForm1 form(collector);
    QCOMPARE(answerer->Texts,
             QStringList{QStringLiteral("Could not bind socket. Address and port are already in use.")});
    QCOMPARE(answerer->Icons.front(), QMessageBox::Critical);
    QCOMPARE(form.cmdActivate->text(), QStringLiteral("Activate"));
    QVERIFY(!form.UDPServer.Active());
    // Everything before the activation has taken effect.
    QCOMPARE(form.lblTemplate->text(), QStringLiteral("Waiting for v9 template"));
    QVERIFY(form.Memo->toPlainText().isEmpty());
    QCOMPARE(brix32::GlobalSettings.ExceptionFileTemplate, std::string("Exception-Netflow-{timestamp}.xml"));

    // The window opens and stays usable.
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    other.Release();
    answerer = std::make_unique<MessageBoxAnswerer>();
    std::atomic<int> received{0};
    form.UDPServer.OnUDPRead = [&received](TIdUDPServer&, TIdMemoryStream&, TIdSocketHandle&) { ++received; };
    QTest::mouseClick(form.cmdActivate, Qt::LeftButton);
    QVERIFY(answerer->Texts.isEmpty());
    QCOMPARE(form.cmdActivate->text(), QStringLiteral("Deactivate"));
    QVERIFY(form.UDPServer.Active());
    SendToCollector("hello");
    QTRY_COMPARE_WITH_TIMEOUT(received.load(), 1, kWaitMs);
}

void WindowTest::failedActivationOnAClickKeepsThePreviousCaption() {
    Collector collector;
    TForm1 form(collector);
    form.cmdActivateClick();
    QCOMPARE(form.cmdActivate->text(), QStringLiteral("Aactivate"));

    PortHolder other(kCollectorPort);
    QVERIFY(other.Bound());
    MessageBoxAnswerer answerer;
    QTest::mouseClick(form.cmdActivate, Qt::LeftButton);
    QCOMPARE(answerer.Texts,
             QStringList{QStringLiteral("Could not bind socket. Address and port are already in use.")});
    QCOMPARE(form.cmdActivate->text(), QStringLiteral("Aactivate"));
    QVERIFY(!form.UDPServer.Active());
}

void WindowTest::listenerUpdatesReachTheirLabelsAndTheMemo() {
    Collector collector;
    TForm1 form(collector);
    form.cmdActivateClick();
    // What the datagram handler will do: post from the listener thread, never touch a widget.
    form.UDPServer.OnUDPRead = [&form](TIdUDPServer&, TIdMemoryStream& AData, TIdSocketHandle& ABinding) {
        for (std::size_t i = 0; i < kCaptionCount; ++i) {
            const auto control = static_cast<Caption>(i);
            form.Updates().SetCaption(control,
                                      std::string(CaptionControlName(control)) + "=" + std::to_string(AData.Size()));
        }
        form.Updates().AddMemoLine("from " + ABinding.SenderIP);
    };
    form.cmdActivateClick();
    QVERIFY(form.UDPServer.Active());

    SendToCollector("12345");
    QTRY_COMPARE_WITH_TIMEOUT(form.Memo->toPlainText(), QStringLiteral("from 127.0.0.1"), kWaitMs);
    for (std::size_t i = 0; i < kCaptionCount; ++i) {
        const char* name = CaptionControlName(static_cast<Caption>(i));
        QCOMPARE(Label(form, name)->text(), QString::fromLatin1(name) + QStringLiteral("=5"));
    }
}

void WindowTest::handlerOnTheMainThreadIsServedWhenThreadedEventIsOff() {
    Collector collector;
    TForm1 form(collector);
    form.cmdActivateClick();
    std::atomic<int> received{0};
    std::atomic<bool> onMainThread{false};
    const std::thread::id mainThread = std::this_thread::get_id();
    form.UDPServer.ThreadedEvent = false;
    form.UDPServer.OnUDPRead = [&](TIdUDPServer&, TIdMemoryStream&, TIdSocketHandle&) {
        onMainThread = std::this_thread::get_id() == mainThread;
        ++received;
    };
    form.cmdActivateClick();
    QVERIFY(form.UDPServer.Active());

    SendToCollector("one");
    SendToCollector("two");
    QTRY_COMPARE_WITH_TIMEOUT(received.load(), 2, kWaitMs);
    QVERIFY(onMainThread);
    form.cmdActivateClick();
    QCOMPARE(form.cmdActivate->text(), QStringLiteral("Aactivate"));
}

void WindowTest::exitClosesTheWindowAndSwitchesTheListenerOff() {
    Collector collector;
    TForm1 form(collector);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(form.UDPServer.Active());

    form.Exit1->trigger();
    QVERIFY(!form.isVisible());
    QVERIFY(!form.UDPServer.Active());
    QVERIFY(PortIsFree(kCollectorPort));
}

void WindowTest::destroyingTheWindowWaitsForARunningHandler() {
    Collector collector;
    auto form = std::make_unique<TForm1>(collector);
    form->cmdActivateClick();
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    TForm1* window = form.get();
    form->UDPServer.OnUDPRead = [&, window](TIdUDPServer&, TIdMemoryStream&, TIdSocketHandle&) {
        started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // Still allowed: the window may not release its controls before this call has returned.
        window->Updates().SetCaption(Caption::lblStatus, "late");
        window->Updates().AddMemoLine("late line");
        finished = true;
    };
    form->cmdActivateClick();
    SendToCollector("x");
    QTRY_VERIFY_WITH_TIMEOUT(started.load(), kWaitMs);

    form.reset();
    QVERIFY(finished.load());
    QVERIFY(PortIsFree(kCollectorPort));
}

void WindowTest::selectDayDialogHasItsControlsAndButton2Cancels() {
    TfrmSelectDay dialog;
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("frmSelectDay"));
    QCOMPARE(dialog.size(), QSize(234, 141));
    QCOMPARE(dialog.findChild<QLineEdit*>(QStringLiteral("txtDaysAgo"))->text(), QStringLiteral("1"));
    auto* ok = dialog.findChild<QPushButton*>(QStringLiteral("Button1"));
    auto* button2 = dialog.findChild<QPushButton*>(QStringLiteral("Button2"));
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    QCOMPARE(button2->text(), QStringLiteral("Button2"));

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(ok, Qt::LeftButton);
    QVERIFY(dialog.isVisible());
    QTest::mouseClick(button2, Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), 2);
}

void WindowTest::terminationSignalsReachTheMainThread_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
}

void WindowTest::terminationSignalsReachTheMainThread() {
    QFETCH(int, signal);
    int received = 0;
    std::thread::id thread;
    {
        TerminationSignals watcher([&](int Signal) {
            received = Signal;
            thread = std::this_thread::get_id();
        });
        std::thread([signal] { kill(getpid(), signal); }).join();
        QTRY_COMPARE_WITH_TIMEOUT(received, signal, kWaitMs);
        QCOMPARE(thread, std::this_thread::get_id());

        // A second signal during a stuck shutdown takes the default way out.
        struct sigaction now {};
        sigaction(signal, nullptr, &now);
        QVERIFY(now.sa_handler == SIG_DFL);
    }
    // Removed again, so another instance can take over.
    TerminationSignals again([](int) {});
}

void WindowTest::collectorProcessEndsCleanlyOnSignal_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
}

void WindowTest::collectorProcessEndsCleanlyOnSignal() {
    QFETCH(int, signal);
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    QProcess collector;
    collector.setWorkingDirectory(elsewhere.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    collector.setProcessEnvironment(environment);
    collector.setProgram(QStringLiteral(NFC_COLLECTOR_EXE));
    collector.start();
    QVERIFY(collector.waitForStarted(kWaitMs));

    QTRY_VERIFY_WITH_TIMEOUT(!PortIsFree(kCollectorPort), kWaitMs);
    const QString cwd = QFileInfo(QStringLiteral("/proc/%1/cwd").arg(collector.processId())).canonicalFilePath();
    QCOMPARE(cwd, QFileInfo(QStringLiteral(NFC_COLLECTOR_EXE)).canonicalPath());

    kill(static_cast<pid_t>(collector.processId()), signal);
    QVERIFY(collector.waitForFinished(kWaitMs));
    QCOMPARE(collector.exitStatus(), QProcess::NormalExit);
    QCOMPARE(collector.exitCode(), 0);
    QVERIFY(PortIsFree(kCollectorPort));
}

// Without a display there is no box to wait on: the message goes to standard error and the
// program ends with status 1, so that whoever started it learns it does not listen.
void WindowTest::headlessStartWithThePortTakenSaysWhyAndEndsWithStatus1_data() {
    QTest::addColumn<quint32>("holderAddress");
    QTest::newRow("held on 0.0.0.0") << quint32{INADDR_ANY};
    QTest::newRow("held on 127.0.0.1") << quint32{INADDR_LOOPBACK};
}

void WindowTest::headlessStartWithThePortTakenSaysWhyAndEndsWithStatus1() {
    QFETCH(quint32, holderAddress);
    PortHolder other(kCollectorPort, holderAddress);
    QVERIFY(other.Bound());
    QProcess collector;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    collector.setProcessEnvironment(environment);
    collector.setProgram(QStringLiteral(NFC_COLLECTOR_EXE));
    collector.start();
    QVERIFY(collector.waitForStarted(kWaitMs));
    QVERIFY(collector.waitForFinished(kWaitMs));
    QCOMPARE(collector.exitStatus(), QProcess::NormalExit);
    QCOMPARE(collector.exitCode(), 1);
    QVERIFY2(collector.readAllStandardError().contains("Could not bind socket. Address and port are already in use.\n"),
             "message on standard error");
}

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
