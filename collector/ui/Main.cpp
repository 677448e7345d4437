#include "Main.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRect>
#include <QScreen>
#include <QStatusBar>
#include <QString>
#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <utility>

#include "DataFolder.h"
#include "DatagramHandler.h"
#include "ExportersWindow.h"
#include "MemoView.h"
#include "PcapWriter.h"
#include "StatusBar.h"
#include "TrafficWindow.h"
#include "UpdateChannel.h"
#include "flowdecode/StagedTraceSink.h"
#include "support/ExceptionReport.h"
#include "support/GlobalSettings.h"
#include "support/ProgramFacts.h"
#include "support/Seams.h"

// Resources of a static library are only linked in when something refers to them.
static void InitCollectorResources() { Q_INIT_RESOURCE(collector); }

namespace {

constexpr int kWindowWidth = 991;
constexpr int kWindowHeight = 504;
constexpr QRect kMemoPlace(428, 8, 529, 401);

// The record column: labels that show their own names and are never changed.
constexpr const char* kRecordFieldLabels[] = {
    "lbldstaddr", "lblnexthop", "lblinput",    "lbloutput",   "lbldpkts",     "lbldOctets", "lblfirst",
    "lbllast",    "lblsrcport", "lbldstport",  "lblpad1",     "lbltcp_flags", "lblprot",    "lbltos",
    "lblsrc_as",  "lbldst_as",  "lblsrc_mask", "lbldst_mask", "lblpad2",
};

QLabel* AddLabel(QWidget* Parent, const char* Name, const char* Text, int Left, int Top) {
    auto* label = new QLabel(QString::fromLatin1(Text), Parent);
    label->setObjectName(QString::fromLatin1(Name));
    label->move(Left, Top);
    label->adjustSize();
    return label;
}

QFont MemoFontOf(const QString& Family) {
    QFont font(Family, 8);
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    return font;
}

// The flow lines are aligned by character counts, so the memo needs a fixed-pitch font whatever
// the machine has installed. Font matching may answer "Courier New" with a font that does not
// declare a fixed pitch, so the request goes down a list until one does.
QFont MemoFont() {
    for (const QString& family : {QStringLiteral("Courier New"), QStringLiteral("Courier")}) {
        QFont font = MemoFontOf(family);
        if (QFontInfo(font).fixedPitch()) return font;
    }
    QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    system.setPointSize(8);
    if (QFontInfo(system).fixedPitch()) return system;
    for (const QString& family : QFontDatabase::families()) {
        if (!QFontDatabase::isFixedPitch(family)) continue;
        QFont font = MemoFontOf(family);
        if (QFontInfo(font).fixedPitch()) return font;
    }
    return system;
}

QString BoxTitle() { return QGuiApplication::applicationDisplayName(); }

// The window asks for the fonts it was laid out with. Debian has neither, and what fontconfig
// answers instead depends on what else is installed; these two come with the package's
// dependencies and have Courier New's metrics (Liberation Mono) or come close to MS Sans Serif's.
void SubstituteWindowFonts() {
    QFont::insertSubstitution(QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"));
    QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
}

// Every file name of the collector is relative: the directory made current here receives them all.
void EnterFilesFolder() {
    const datafolder::tFolderFacts facts = datafolder::GatherFacts(datafolder::ConfiguredInstallPrefix());
    const datafolder::tFolderChoice choice = datafolder::EnterFilesFolder(facts);
    if (choice.Kind == datafolder::tFolderKind::ProgramDir) return;
    // The exception report names its files by the program's directory rather than the current
    // one; it must follow the other files out of a system directory.
    if (choice.Kind == datafolder::tFolderKind::DataFolder) {
        static brix32::XmlFileReporter DataFolderReporter(choice.Directory + "/");
        brix32::InstallDefaultExceptionReporter(&DataFolderReporter);
    }
    std::fprintf(stderr, "%s\n", datafolder::Announcement(choice, facts.ProgramDir).c_str());
    std::fflush(stderr);
}

}  // namespace

TForm1::TForm1(QWidget* Parent, ErrorBoxes Boxes) : QMainWindow(Parent), Boxes_(Boxes) {
    InitCollectorResources();
    SubstituteWindowFonts();
    BuildControls();
    BuildMenu();
    BuildStatusBar();
    PlaceWindow();
    ConfigureListener();
    // Deactivation waits for the listener thread; do it before the event loop tears anything down.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &TForm1::StopListener);
    FormCreate();
    StatusBar_->Start();
}

TForm1::~TForm1() {
    // The listener thread may be inside the datagram handler; it must be gone before any control
    // it writes to is released.
    StopListener();
    // The views read tables that are members of this window: they go before the members do.
    delete TrafficWindow_;
    delete ExportersWindow_;
}

void TForm1::BuildControls() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    setWindowIcon(QIcon(QStringLiteral(":/collector.xpm")));
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    setCentralWidget(client);

    QFont heading = font();
    heading.setBold(true);
    heading.setUnderline(true);

    const std::array<QLabel*, kCaptionCount> captionLabels = BuildCaptionLabels(client);

    Label1 = AddLabel(client, "Label1", "Flow header format", 4, 24);
    Label1->setFont(heading);
    Label1->adjustSize();
    Label2 = AddLabel(client, "Label2", "Flow record format", 256, 4);
    Label2->setFont(heading);
    Label2->adjustSize();
    int top = 44;
    for (const char* name : kRecordFieldLabels) {
        AddLabel(client, name, name, 256, top);
        top += 20;
    }
    Label4 = AddLabel(client, "Label4", "lblCount", 132, 408);

    cmdActivate = new QPushButton(QStringLiteral("Activate"), client);
    cmdActivate->setObjectName(QStringLiteral("cmdActivate"));
    cmdActivate->setGeometry(152, 28, 93, 21);
    // Header captions grow to the right and may reach under the button; keep it clickable.
    cmdActivate->raise();
    connect(cmdActivate, &QPushButton::clicked, this, &TForm1::cmdActivateClick);

    Memo = new MemoView(client);
    Memo->setObjectName(QStringLiteral("Memo"));
    Memo->setGeometry(kMemoPlace);
    // The memo takes whatever the window gains beyond its initial size.
    client->installEventFilter(this);
    Memo->setFont(MemoFont());
    Memo->setPlainText(QStringLiteral("Memo"));

    BuildHandler(captionLabels);
}

// The labels the handler writes to, from their one table.
std::array<QLabel*, kCaptionCount> TForm1::BuildCaptionLabels(QWidget* Client) {
    std::array<QLabel*, kCaptionCount> captionLabels{};
    for (const CaptionControl& control : kCaptionControls) {
        captionLabels[static_cast<std::size_t>(control.Id)] =
            AddLabel(Client, control.Name, control.InitialText, control.Left, control.Top);
    }
    const auto label = [&captionLabels](Caption Control) { return captionLabels[static_cast<std::size_t>(Control)]; };
    lblTemplate = label(Caption::lblTemplate);
    lblVersion = label(Caption::lblVersion);
    lblCount = label(Caption::lblCount);
    lblsys_uptime = label(Caption::lblsys_uptime);
    lblUnixSecs = label(Caption::lblUnixSecs);
    lblunix_nsecs = label(Caption::lblunix_nsecs);
    lblflow_sequence = label(Caption::lblflow_sequence);
    lblengine_type = label(Caption::lblengine_type);
    lblengine_id = label(Caption::lblengine_id);
    lblsampling_interval = label(Caption::lblsampling_interval);
    Label3 = label(Caption::Label3);
    lblStatus = label(Caption::lblStatus);
    lblThreadCount = label(Caption::lblThreadCount);
    lblsrcaddr = label(Caption::lblsrcaddr);

    return captionLabels;
}

void TForm1::BuildHandler(const std::array<QLabel*, kCaptionCount>& CaptionLabels) {
    UpdateTargets targets;
    targets.Labels = CaptionLabels;
    targets.Memo = Memo;
    Updates_ = std::make_unique<UpdateChannel>(targets);
    // The packet trace of a datagram is written whole when its decoding ends: line by line it
    // would cost a file operation per line and cap the collector far below what exporters send.
    Handler_ = std::make_unique<DatagramHandler>(*Updates_, Counters_, std::make_unique<netflowlib::StagedTraceSink>());
    Handler_->FeedExporters(&Exporters_);
    Handler_->FeedRecent(&Recent_);
}

void TForm1::BuildStatusBar() { StatusBar_ = new CollectorStatusBar(statusBar(), Counters_, UDPServer, this); }

// The specified controls keep their places and sizes: the window grows by the status bar's height.
void TForm1::PlaceWindow() {
    // The bar's height is only final once its style and layout have been applied.
    QStatusBar* bar = statusBar();
    for (QWidget* part : bar->findChildren<QWidget*>()) part->ensurePolished();
    bar->ensurePolished();
    if (bar->layout() != nullptr) bar->layout()->activate();
    // Parts that turn bold or appear later must not take height from the controls above; two
    // pixels leave them room.
    bar->setFixedHeight(bar->sizeHint().height() + 2);
    resize(kWindowWidth, kWindowHeight + bar->height());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(available.center());
        move(std::max(frame.left(), available.left()), std::max(frame.top(), available.top()));
    }
}

void TForm1::BuildMenu() {
    MainMenu1 = menuBar();
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    File1 = MainMenu1->addMenu(QStringLiteral("File"));
    File1->setObjectName(QStringLiteral("File1"));
    Help1 = File1->addAction(QStringLiteral("Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    N1 = File1->addSeparator();
    N1->setObjectName(QStringLiteral("N1"));
    Exit1 = File1->addAction(QStringLiteral("Exit"));
    Exit1->setObjectName(QStringLiteral("Exit1"));
    connect(Help1, &QAction::triggered, this, &TForm1::Help1Click);
    connect(Exit1, &QAction::triggered, this, &TForm1::Exit1Click);

    View1 = MainMenu1->addMenu(QStringLiteral("View"));
    View1->setObjectName(QStringLiteral("View1"));
    Exporters1 = View1->addAction(QStringLiteral("Exporters"));
    Exporters1->setObjectName(QStringLiteral("Exporters1"));
    Exporters1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    connect(Exporters1, &QAction::triggered, this, &TForm1::Exporters1Click);
    Traffic1 = View1->addAction(QStringLiteral("Traffic"));
    Traffic1->setObjectName(QStringLiteral("Traffic1"));
    Traffic1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    connect(Traffic1, &QAction::triggered, this, &TForm1::Traffic1Click);
}

void TForm1::ConfigureListener() {
    UDPServer.BufferSize = 8000;
    UDPServer.OnUDPRead = [this](TIdUDPServer& Sender, TIdMemoryStream& AData, TIdSocketHandle& ABinding) {
        UDPServerUDPRead(Sender, AData, ABinding);
    };
    UDPServer.OnBatchEnd = [this] { Handler_->BatchEnded(UDPServer.BatchWasFull()); };
    // Only used when the handler is to run on the main thread: the listener thread asks for a
    // turn of the event loop, and waits until it has been served.
    UDPServer.OnMainThreadCallPending = [this] {
        QMetaObject::invokeMethod(
            this, [this] { UDPServer.ServeMainThreadCalls(); }, Qt::QueuedConnection);
    };
}

// Event handlers run inside Qt's event dispatch, which must never see an exception: whatever
// escapes a handler is shown in the error box and the program carries on.
template <typename Handler>
void TForm1::RunHandler(Handler&& Body) noexcept {
    try {
        std::forward<Handler>(Body)();
    } catch (const std::exception& e) {
        ShowErrorBox(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowErrorBox(QStringLiteral("Unknown error."));
    }
}

void TForm1::FormCreate() {
    RunHandler([this] {
        brix32::GlobalSettings.ExceptionFileTemplate = "Exception-Netflow-{timestamp}.xml";
        brix32::GlobalSettings.Version = brix32::GetVersionString("");
        Memo->clear();
        lblTemplate->setText(QString::fromLatin1(CaptionControlOf(Caption::lblTemplate).InitialText));
        lblTemplate->adjustSize();
        gThreadCount = 0;
        EnterFilesFolder();
        RemoveLeftoverTraceTemporaries();
        UDPServer.SetDefaultPort(9996);
        UDPServer.ThreadedEvent = true;
        UDPServer.SetActive(true);
        cmdActivate->setText(UDPServer.Active() ? QStringLiteral("Deactivate") : QStringLiteral("Aactivate"));
    });
}

void TForm1::cmdActivateClick() {
    RunHandler([this] {
        UDPServer.SetActive(!UDPServer.Active());
        cmdActivate->setText(UDPServer.Active() ? QStringLiteral("Deactivate") : QStringLiteral("Aactivate"));
    });
}

void TForm1::Help1Click() {
    RunHandler([this] {
        const std::string text = "Version: " + brix32::GetVersionString("") + "\r\n" +
                                 "UDP port: " + std::to_string(UDPServer.DefaultPort());
        QString shown = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
        shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QMessageBox box(QMessageBox::NoIcon, BoxTitle(), shown, QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("HelpBox"));
        box.setTextFormat(Qt::PlainText);
        box.exec();
    });
}

void TForm1::Exit1Click() {
    RunHandler([this] {
        close();
        QCoreApplication::quit();
    });
}

void TForm1::Exporters1Click() {
    RunHandler([this] {
        if (ExportersWindow_ == nullptr) ExportersWindow_ = new TfrmExporters(Exporters_, Counters_, this, &Recent_);
        ExportersWindow_->show();
        ExportersWindow_->raise();
        ExportersWindow_->activateWindow();
    });
}

std::string TForm1::SaveRecentDatagrams() {
    const std::string name = CaptureFileName(WallClockUs());
    std::string error;
    if (!WriteCapture(name, Recent_.Snapshot(), tCaptureTarget{}, error)) {
        std::fprintf(stderr, "Recent datagrams not saved: %s\n", error.c_str());
        return std::string();
    }
    std::error_code ignored;
    std::fprintf(stderr, "Recent datagrams saved to %s\n", std::filesystem::absolute(name, ignored).c_str());
    return name;
}

void TForm1::Traffic1Click() {
    RunHandler([this] {
        if (TrafficWindow_ == nullptr) {
            // Aggregation costs a share of the second core at high rates: it starts with the first
            // look at the window and goes on from then, whether the window stays open or not.
            TrafficWorker_ = std::make_unique<TrafficWorker>(Flows_, SharedTraffic_);
            Handler_->FeedTraffic(&Flows_);
            TrafficWindow_ = new TrafficWindow(SharedTraffic_, &Flows_, this);
        }
        TrafficWindow_->show();
        TrafficWindow_->raise();
        TrafficWindow_->activateWindow();
    });
}

void TForm1::UDPServerUDPRead(TIdUDPServer& Sender, TIdMemoryStream& AData, TIdSocketHandle& ABinding) {
    Handler_->UDPServerUDPRead(AData, ABinding, {Sender.LaterDatagramQueued(), Sender.LaterVersion9Queued()});
}

WindowUpdates& TForm1::Updates() { return *Updates_; }

DatagramHandler& TForm1::UDPReadHandler() { return *Handler_; }

const CollectorCounters& TForm1::Counters() const { return Counters_; }

const ExporterTable& TForm1::Exporters() const { return Exporters_; }

bool TForm1::Headless() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

bool TForm1::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == centralWidget() && Event->type() == QEvent::Resize) FitMemo();
    return QMainWindow::eventFilter(Watched, Event);
}

// The initial layout leaves the client area as wide as the window and as high as the window less
// the menu bar; what it has beyond that goes to the memo, which never shrinks below its place.
void TForm1::FitMemo() {
    const QSize client = centralWidget()->size();
    const int wider = client.width() - kWindowWidth;
    const int higher = client.height() - (kWindowHeight - menuBar()->height());
    Memo->resize(kMemoPlace.width() + std::max(0, wider), kMemoPlace.height() + std::max(0, higher));
}

void TForm1::closeEvent(QCloseEvent* Event) {
    StopListener();
    QMainWindow::closeEvent(Event);
}

void TForm1::StopListener() noexcept {
    try {
        UDPServer.SetActive(false);
    } catch (...) {
        // Switching off only refuses from inside a datagram handler, which never closes the
        // window; at shutdown there is nothing better to do than carry on.
    }
}

void TForm1::ShowErrorBox(const QString& Message) {
    QString shown = Message;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    // A box is easily missed, and no box at all is seen without a display: say it where a log gets it.
    std::fprintf(stderr, "%s\n", shown.toLocal8Bit().constData());
    std::fflush(stderr);
    if (Boxes_ == ErrorBoxes::OnlyWithADisplay && Headless()) return;
    // Before the window is shown (activation failing at start-up) the box stands on its own.
    QWidget* parent = isVisible() ? this : nullptr;
    QMessageBox box(QMessageBox::Critical, BoxTitle(), shown, QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("ErrorBox"));
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
