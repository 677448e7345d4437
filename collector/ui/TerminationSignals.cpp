#include "TerminationSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <stdexcept>
#include <utility>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT};

// Written only while no handler is installed; read by the signal handler.
int gSignalPipe[2] = {-1, -1};

extern "C" void WriteSignalToPipe(int Signal) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(Signal);
    // A full pipe already holds a pending signal; losing this byte changes nothing.
    [[maybe_unused]] const ssize_t written = write(gSignalPipe[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

TerminationSignals::TerminationSignals(std::function<void(int Signal)> OnSignal, QObject* Parent,
                                       std::function<void()> OnSaveRequest)
    : QObject(Parent), OnSignal_(std::move(OnSignal)), OnSaveRequest_(std::move(OnSaveRequest)) {
    if (gSignalPipe[0] != -1) throw std::logic_error("TerminationSignals is already installed");
    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        gSignalPipe[0] = gSignalPipe[1] = -1;
        throw std::runtime_error("Cannot create the signal pipe.");
    }
    Notifier_ = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, this);
    connect(Notifier_, &QSocketNotifier::activated, this, &TerminationSignals::ReadSignals);

    struct sigaction action {};
    action.sa_handler = WriteSignalToPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals) sigaction(signal, &action, nullptr);
    if (OnSaveRequest_) sigaction(SIGUSR1, &action, nullptr);
    Installed_ = true;
}

TerminationSignals::~TerminationSignals() {
    RestoreDefaultActions();
    if (OnSaveRequest_) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, nullptr);
    }
    delete Notifier_;
    close(gSignalPipe[0]);
    close(gSignalPipe[1]);
    gSignalPipe[0] = gSignalPipe[1] = -1;
}

void TerminationSignals::RestoreDefaultActions() {
    if (!Installed_) return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals) sigaction(signal, &action, nullptr);
    Installed_ = false;
}

void TerminationSignals::ReadSignals() {
    unsigned char bytes[16];
    int last = 0;
    bool bSave = false;
    ssize_t n = 0;
    while ((n = read(gSignalPipe[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] == SIGUSR1) {
                bSave = true;
            } else {
                last = bytes[i];
            }
        }
    }
    // Several requests queued while the loop was busy make one file: the ring is the same.
    if (bSave && OnSaveRequest_) OnSaveRequest_();
    if (last == 0) return;
    RestoreDefaultActions();
    if (OnSignal_) OnSignal_(last);
}
