#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a call on the main thread, so that `kill` or Ctrl+C end the
// collector the way File > Exit does: the listener is switched off and the handler in progress
// finishes its line. The signal handler only writes a byte to a pipe; the event loop reads it.
// After the first signal the default actions are back, so a second one ends a stuck shutdown.
// SIGUSR1 asks for the recent datagrams to be saved and leaves the collector running; it is served
// the same way, on the main thread. One instance at a time.
class TerminationSignals : public QObject {
    Q_OBJECT

  public:
    explicit TerminationSignals(std::function<void(int Signal)> OnSignal, QObject* Parent = nullptr,
                                std::function<void()> OnSaveRequest = nullptr);
    ~TerminationSignals() override;

    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

  private:
    void ReadSignals();
    void RestoreDefaultActions();

    std::function<void(int)> OnSignal_;
    std::function<void()> OnSaveRequest_;
    QSocketNotifier* Notifier_ = nullptr;
    bool Installed_ = false;
};
