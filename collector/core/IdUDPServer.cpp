#include "IdUDPServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "UdpListenerThread.h"

namespace {

std::string SocketErrorText(int AErrorCode) {
    return "Socket Error # " + std::to_string(AErrorCode) + "\r\n" + std::system_category().message(AErrorCode);
}

std::string DottedDecimal(const in_addr& Address) {
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &Address, text, sizeof text) == nullptr) return std::string();
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Errors

EIdInvalidSocket::EIdInvalidSocket() : EIdException("Cannot allocate socket.") {}

EIdCouldNotBindSocket::EIdCouldNotBindSocket()
    : EIdException("Could not bind socket. Address and port are already in use.") {}

EIdSocketError::EIdSocketError(int AErrorCode) : EIdException(SocketErrorText(AErrorCode)), LastError_(AErrorCode) {}

// ---------------------------------------------------------------------------------------------
// Stream

std::size_t TIdMemoryStream::Read(void* Buffer, std::size_t Count) {
    if (Position_ >= Size_ || Count == 0) return 0;
    const std::size_t n = std::min(Count, static_cast<std::size_t>(Size_ - Position_));
    std::memcpy(Buffer, Data_ + Position_, n);
    Position_ += static_cast<std::int64_t>(n);
    return n;
}

// ---------------------------------------------------------------------------------------------
// Bindings

TIdSocketHandle::~TIdSocketHandle() { CloseHandle(); }

void TIdSocketHandle::AllocateHandle() {
    CloseHandle();
    Handle_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (Handle_ < 0) throw EIdInvalidSocket();
}

void TIdSocketHandle::Bind() {
    // No SO_REUSEADDR / SO_REUSEPORT: a port another program holds must fail to bind, not share.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (Port < 0 || Port > 65535) throw EIdSocketError(EINVAL);
    address.sin_port = htons(static_cast<std::uint16_t>(Port));
    if (IP.empty()) {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (::inet_pton(AF_INET, IP.c_str(), &address.sin_addr) != 1) {
        throw EIdSocketError(EINVAL);
    }
    if (::bind(Handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        if (error == EADDRINUSE) throw EIdCouldNotBindSocket();
        throw EIdSocketError(error);
    }

    // Port 0 becomes the port the system chose, so the next activation binds the same one again.
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(Handle_, reinterpret_cast<sockaddr*>(&local), &length) != 0) throw EIdSocketError(errno);
    IP = DottedDecimal(local.sin_addr);
    Port = ntohs(local.sin_port);
}

void TIdSocketHandle::SetBroadcast(bool Enabled) {
    const int value = Enabled ? -1 : 0;
    if (::setsockopt(Handle_, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) != 0) throw EIdSocketError(errno);
}

void TIdSocketHandle::SetReceiveBuffer(int Bytes) {
    // Without the drop count a loss in the kernel would go unseen; an old kernel simply lacks it.
    const int on = 1;
    (void)::setsockopt(Handle_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    KernelDrops_ = 0;
    if (Bytes > 0) {
        // The forcing variant passes the system's ceiling but needs privilege; without it the
        // plain option is clamped by the system. Either way a smaller buffer is no reason not to
        // listen.
        if (::setsockopt(Handle_, SOL_SOCKET, SO_RCVBUFFORCE, &Bytes, sizeof Bytes) != 0)
            (void)::setsockopt(Handle_, SOL_SOCKET, SO_RCVBUF, &Bytes, sizeof Bytes);
    }
    int granted = 0;
    socklen_t length = sizeof granted;
    ReceiveBufferGranted_ = ::getsockopt(Handle_, SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0 ? granted : 0;
}

void TIdSocketHandle::CloseHandle() {
    if (Handle_ < 0) return;
    (void)::shutdown(Handle_, SHUT_WR);
    (void)::close(Handle_);
    Handle_ = -1;
}

TIdSocketHandle& TIdSocketHandles::Add() {
    Items_.push_back(std::make_unique<TIdSocketHandle>());
    Items_.back()->Port = DefaultPort_;
    return *Items_.back();
}

TIdSocketHandle& TIdSocketHandles::Items(int Index) {
    if (Index < 0 || Index >= Count())
        throw std::out_of_range("List index out of bounds (" + std::to_string(Index) + ")");
    return *Items_[static_cast<std::size_t>(Index)];
}

// ---------------------------------------------------------------------------------------------
// Server

struct TIdUDPServer::TMainThreadCall {
    const std::function<void()>* Call;
    bool Started = false;
    bool Done = false;
};

TIdUDPServer::TIdUDPServer() : OwnCounters_(std::make_unique<CollectorCounters>()), Counters_(*OwnCounters_) {}

TIdUDPServer::TIdUDPServer(CollectorCounters& Counters) : Counters_(Counters) {}

TIdUDPServer::~TIdUDPServer() {
    try {
        std::lock_guard<std::mutex> lock(StateLock_);
        if (Thread_) Deactivate();
    } catch (...) {
    }
    CloseAllBindings();
}

bool TIdUDPServer::Active() const {
    const TIdSocketHandle* binding = CurrentBinding_.load();
    return binding != nullptr && binding->HandleAllocated();
}

void TIdUDPServer::SetActive(bool Value) {
    ThrowIfCalledFromHandler();
    std::lock_guard<std::mutex> lock(StateLock_);
    if (Value == Active()) return;
    if (Value) {
        Activate();
    } else {
        Deactivate();
    }
}

void TIdUDPServer::ThrowIfCalledFromHandler() const {
    const std::thread::id self = std::this_thread::get_id();
    if (self == HandlerThread_.load() || self == ListenerThreadId_.load()) {
        throw EIdException("The listener cannot be switched from its own handler.");
    }
}

void TIdUDPServer::Activate() {
    if (Bindings_.Count() == 0) Bindings_.Add();
    try {
        std::vector<TIdSocketHandle*> bindings;
        for (int i = 0; i < Bindings_.Count(); ++i) {
            TIdSocketHandle& binding = Bindings_.Items(i);
            binding.AllocateHandle();
            binding.SetReceiveBuffer(ReceiveBufferBytes);
            binding.Bind();
            bindings.push_back(&binding);
        }
        // Before the thread starts rather than after, so that a failure here cannot leave a
        // running listener behind an activation that reported an error.
        for (TIdSocketHandle* binding : bindings) binding->SetBroadcast(BroadcastEnabled);

        {
            std::lock_guard<std::mutex> lock(CallLock_);
            ListenerEnded_ = false;
        }
        DrainedAtStop_ = 0;
        LeftAtStop_ = 0;
        Thread_ = std::make_unique<TIdUDPListenerThread>(*this, std::move(bindings), BufferSize, ThreadedEvent,
                                                         DrainOnStopMs);
        CurrentBinding_ = &Bindings_.Items(0);
        Thread_->Start();
    } catch (...) {
        // Inactive means no socket open: a binding bound before the failing one must not keep
        // holding its port.
        CurrentBinding_ = nullptr;
        Thread_.reset();
        CloseAllBindings();
        throw;
    }
}

void TIdUDPServer::Deactivate() {
    Thread_->Stop();
    {
        // A delivery queued for the main thread must still run, or the listener would wait for it
        // forever while we wait for the listener.
        std::unique_lock<std::mutex> lock(CallLock_);
        for (;;) {
            CallChanged_.wait(lock, [this] { return ListenerEnded_ || (PendingCall_ && !PendingCall_->Started); });
            if (ListenerEnded_) break;
            lock.unlock();
            ServeMainThreadCalls();
            lock.lock();
        }
    }
    Thread_->WaitFor();
    CurrentBinding_ = nullptr;
    // Closed only after the listener has ended, so that it never waits on or reads from a
    // descriptor number that has meanwhile been reused.
    CloseAllBindings();
    Thread_.reset();
    ListenerThreadId_ = std::thread::id();
}

void TIdUDPServer::CloseAllBindings() {
    for (int i = 0; i < Bindings_.Count(); ++i) Bindings_.Items(i).CloseHandle();
}

void TIdUDPServer::Deliver(TIdMemoryStream& AData, TIdSocketHandle& ABinding) {
    CurrentBinding_ = &ABinding;
    if (!OnUDPRead) return;
    struct HandlerScope {
        std::atomic<std::thread::id>& Owner;
        explicit HandlerScope(std::atomic<std::thread::id>& AOwner) : Owner(AOwner) {
            Owner = std::this_thread::get_id();
        }
        ~HandlerScope() { Owner = std::thread::id(); }
    } scope(HandlerThread_);
    OnUDPRead(*this, AData, ABinding);
}

void TIdUDPServer::RunOnMainThread(const std::function<void()>& Call) {
    TMainThreadCall pending{&Call};
    {
        std::lock_guard<std::mutex> lock(CallLock_);
        PendingCall_ = &pending;
    }
    CallChanged_.notify_all();
    try {
        if (OnMainThreadCallPending) OnMainThreadCallPending();
    } catch (...) {
    }
    std::unique_lock<std::mutex> lock(CallLock_);
    CallChanged_.wait(lock, [&pending] { return pending.Done; });
}

void TIdUDPServer::ServeMainThreadCalls() {
    TMainThreadCall* pending = nullptr;
    {
        std::lock_guard<std::mutex> lock(CallLock_);
        // Started already: we are inside that very call (a nested event loop) or another thread
        // serves it.
        if (PendingCall_ == nullptr || PendingCall_->Started) return;
        pending = PendingCall_;
        pending->Started = true;
    }
    try {
        (*pending->Call)();
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> lock(CallLock_);
        pending->Done = true;
        PendingCall_ = nullptr;
    }
    CallChanged_.notify_all();
}

bool TIdUDPServer::AnyLaterQueued(HeadTest Test) const {
    // Only meaningful inside a delivery, which runs while the listener thread waits for it.
    return Thread_ != nullptr && Test != nullptr && Thread_->AnyLaterQueued(Test);
}
