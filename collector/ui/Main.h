#pragma once

#include <QMainWindow>
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "Collector.h"
#include "WindowUpdates.h"

class QAction;
class QCloseEvent;
class QLabel;
class QMenu;
class QMenuBar;
class QPushButton;
class CollectorStatusBar;
class DatagramHandler;
class TrafficWindow;
class TfrmExporters;
class MemoView;
class UpdateChannel;
class WindowUpdates;

// The collector's main window: the header of the datagram received last in a column of labels,
// the flow lines in the memo, and the switch for the collector's UDP listener.
class TForm1 : public QMainWindow {
    Q_OBJECT

  private:
    // What the window shows and switches; it outlives the window.
    Collector& Collector_;
    // Where the collector's handler shows what it decodes. The window's destructor switches the
    // listener off before this goes.
    std::unique_ptr<UpdateChannel> Updates_;

  public:
    // Where errors that escape an event handler go besides standard error. A program started
    // without a display must not wait on a box that nobody can see.
    enum class ErrorBoxes { Always, OnlyWithADisplay };

    // Builds the controls, then runs FormCreate, which switches the collector's listener on.
    explicit TForm1(Collector& TheCollector, QWidget* Parent = nullptr, ErrorBoxes Boxes = ErrorBoxes::Always);
    ~TForm1() override;

    void cmdActivateClick();
    void Help1Click();
    void Exit1Click();
    void Exporters1Click();
    void Traffic1Click();
    // Called once per datagram on the listener thread: the collector's handler.
    void UDPServerUDPRead(TIdUDPServer& Sender, TIdMemoryStream& AData, TIdSocketHandle& ABinding);

    // The way from the listener thread into this window's labels and memo.
    WindowUpdates& Updates();
    // The datagram handler behind UDPServerUDPRead.
    DatagramHandler& UDPReadHandler();
    const CollectorCounters& Counters() const;
    const ExporterTable& Exporters() const;
    Collector& TheCollector() { return Collector_; }
    // None until View > Exporters was first chosen.
    TfrmExporters* ExportersWindow() const { return ExportersWindow_; }
    TrafficWindow* TrafficView() const { return TrafficWindow_; }
    // True on the platforms that draw nowhere ("offscreen", "minimal").
    static bool Headless();

    QLabel* lblTemplate = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* cmdActivate = nullptr;
    QLabel* lblVersion = nullptr;
    QLabel* lblCount = nullptr;
    QLabel* lblsys_uptime = nullptr;
    QLabel* lblUnixSecs = nullptr;
    QLabel* lblunix_nsecs = nullptr;
    QLabel* lblflow_sequence = nullptr;
    QLabel* lblengine_type = nullptr;
    QLabel* lblengine_id = nullptr;
    QLabel* lblsampling_interval = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* lblStatus = nullptr;
    QLabel* lblThreadCount = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* lblsrcaddr = nullptr;
    QLabel* Label4 = nullptr;
    MemoView* Memo = nullptr;
    QMenuBar* MainMenu1 = nullptr;
    QMenu* File1 = nullptr;
    QAction* Help1 = nullptr;
    QAction* N1 = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* View1 = nullptr;
    QAction* Exporters1 = nullptr;
    QAction* Traffic1 = nullptr;

    // The collector's listener, under the name the window has always given it.
    TIdUDPServer& UDPServer;

  protected:
    void closeEvent(QCloseEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    void BuildControls();
    std::array<QLabel*, kCaptionCount> BuildCaptionLabels(QWidget* Client);
    void BuildUpdates(const std::array<QLabel*, kCaptionCount>& CaptionLabels);
    void BuildMenu();
    void BuildStatusBar();
    void PlaceWindow();
    void FitMemo();
    void ConfigureListener();
    void FormCreate();
    void StopListener() noexcept;
    // The history folder for the Traffic window; empty, with WhyNone set where it can say more
    // than that history is off, when there is none to read.
    std::string ReadableHistory(std::string& WhyNone) const;
    void ShowErrorBox(const QString& Message);
    template <typename Handler>
    void RunHandler(Handler&& Body) noexcept;

    ErrorBoxes Boxes_;
    CollectorStatusBar* StatusBar_ = nullptr;
    TfrmExporters* ExportersWindow_ = nullptr;
    TrafficWindow* TrafficWindow_ = nullptr;
};
