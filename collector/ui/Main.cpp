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

#include "DatagramHandler.h"
#include "ExportersWindow.h"
#include "MemoView.h"
#include "StatusBar.h"
#include "TrafficWindow.h"
#include "UpdateChannel.h"
#include "support/ProgramFacts.h"

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

}  // namespace

TForm1::TForm1(Collector& TheCollector, QWidget* Parent, ErrorBoxes Boxes)
    : QMainWindow(Parent), Collector_(TheCollector), UDPServer(TheCollector.Listener()), Boxes_(Boxes) {
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
    // Start opened the history, or found it off.
    StatusBar_->SetHistory(Collector_.History());
    StatusBar_->SetClickHouse(Collector_.ClickHouse());
    StatusBar_->Start();
}

TForm1::~TForm1() {
    // The listener thread may be inside the datagram handler; it must be gone before any control
    // it writes to is released. The collector outlives the window, but its listener cannot show
    // anything without it.
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

    BuildUpdates(captionLabels);
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

void TForm1::BuildUpdates(const std::array<QLabel*, kCaptionCount>& CaptionLabels) {
    UpdateTargets targets;
    targets.Labels = CaptionLabels;
    targets.Memo = Memo;
    Updates_ = std::make_unique<UpdateChannel>(targets);
    Collector_.ShowIn(*Updates_);
}

void TForm1::BuildStatusBar() {
    StatusBar_ = new CollectorStatusBar(statusBar(), Collector_.Counters(), UDPServer, this);
}

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
        Memo->clear();
        lblTemplate->setText(QString::fromLatin1(CaptionControlOf(Caption::lblTemplate).InitialText));
        lblTemplate->adjustSize();
        Collector_.Start();
        cmdActivate->setText(UDPServer.Active() ? QStringLiteral("Deactivate") : QStringLiteral("Aactivate"));
    });
}

void TForm1::cmdActivateClick() {
    RunHandler([this] {
        Collector_.SetActive(!UDPServer.Active());
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
        if (ExportersWindow_ == nullptr) {
            ExportersWindow_ =
                new TfrmExporters(Collector_.Exporters(), Collector_.Counters(), this, &Collector_.Recent());
            ExportersWindow_->SetNamesText([this] { return Collector_.NamesText(); });
        }
        ExportersWindow_->show();
        ExportersWindow_->raise();
        ExportersWindow_->activateWindow();
    });
}

void TForm1::Traffic1Click() {
    RunHandler([this] {
        if (TrafficWindow_ == nullptr) {
            std::string whyNone;
            SharedTraffic& traffic = Collector_.Traffic();
            TrafficWindow_ = new TrafficWindow(traffic, Collector_.TrafficHandOver(), this);
            TrafficWindow_->SetInterfaceNames(&Collector_.Interfaces());
            TrafficWindow_->SetHostNames(Collector_.HostNames());
            TrafficWindow_->SetLocationDatabase(Collector_.LocationDatabase(), Collector_.WhyNoLocations());
            TrafficWindow_->SetHistoryFolder(ReadableHistory(whyNone), whyNone);
        }
        TrafficWindow_->show();
        TrafficWindow_->raise();
        TrafficWindow_->activateWindow();
    });
}

std::string TForm1::ReadableHistory(std::string& WhyNone) const {
    const history::HistoryStore* store = Collector_.History();
    if (store == nullptr) return {};
    // A store that does not write (disk full, another collector's folder, --no-history) still
    // answers from what earlier runs kept.
    const history::StoreStatus status = store->Status();
    const std::string folder = Collector_.HistoryFolder();
    std::error_code error;
    if (status.State == history::StoreState::Running ||
        (!folder.empty() && std::filesystem::is_directory(folder, error)))
        return folder;
    if (status.State != history::StoreState::Off)
        WhyNone = history::StatusText(status) + (status.Problem.empty() ? std::string() : ": " + status.Problem);
    return {};
}

void TForm1::UDPServerUDPRead(TIdUDPServer& Sender, TIdMemoryStream& AData, TIdSocketHandle& ABinding) {
    Collector_.Handler().UDPServerUDPRead(AData, ABinding, Sender);
}

WindowUpdates& TForm1::Updates() { return *Updates_; }

DatagramHandler& TForm1::UDPReadHandler() { return Collector_.Handler(); }

const CollectorCounters& TForm1::Counters() const { return Collector_.Counters(); }

const ExporterTable& TForm1::Exporters() const { return Collector_.Exporters(); }

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

void TForm1::StopListener() noexcept { Collector_.Stop(); }

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
