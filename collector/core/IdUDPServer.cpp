#include "IdUDPServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

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
// Listener thread

class TIdUDPListenerThread {
  public:
    TIdUDPListenerThread(TIdUDPServer& AServer, std::vector<TIdSocketHandle*> ABindings, std::int32_t ABufferSize,
                         bool AThreadedEvent)
        : Server_(AServer),
          Bindings_(std::move(ABindings)),
          BufferSize_(static_cast<std::size_t>(std::max<std::int32_t>(ABufferSize, 0))),
          ThreadedEvent_(AThreadedEvent) {
        // One byte at least per datagram, so that even an empty stream has memory to point at.
        SlotSize_ = std::max<std::size_t>(BufferSize_, 1);
        Data_.resize(SlotSize_ * kBatch);
        for (std::size_t i = 0; i < kBatch; ++i) {
            Vectors_[i] = {Data_.data() + i * SlotSize_, BufferSize_};
            Messages_[i].msg_hdr.msg_iov = &Vectors_[i];
            Messages_[i].msg_hdr.msg_iovlen = 1;
        }
        WakeHandle_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (WakeHandle_ < 0) throw EIdSocketError(errno);
    }

    ~TIdUDPListenerThread() {
        if (Thread_.joinable()) {
            Stop();
            Thread_.join();
        }
        ::close(WakeHandle_);
    }

    TIdUDPListenerThread(const TIdUDPListenerThread&) = delete;
    TIdUDPListenerThread& operator=(const TIdUDPListenerThread&) = delete;

    void Start() {
        {
            std::lock_guard<std::mutex> lock(Lock_);
            Stopped_ = false;
        }
        Thread_ = std::thread([this] { Execute(); });
    }

    // Ends a readiness wait in progress at once instead of at its time-out.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(Lock_);
            Stopped_ = true;
        }
        const std::uint64_t one = 1;
        (void)!::write(WakeHandle_, &one, sizeof one);
    }

    void WaitFor() {
        if (Thread_.joinable()) Thread_.join();
    }

    bool Stopped() const {
        std::lock_guard<std::mutex> lock(Lock_);
        return Stopped_;
    }

  private:
    static constexpr int kAcceptWaitMs = 1000;
    // Datagrams taken from the kernel per system call, and calls per socket before the next
    // binding gets its turn.
    static constexpr std::size_t kBatch = 64;
    static constexpr int kBatchesPerWake = 4;

    void Execute() {
        Server_.ListenerThreadId_ = std::this_thread::get_id();
        try {
            std::vector<pollfd> waitSet;
            waitSet.push_back({WakeHandle_, POLLIN, 0});
            for (TIdSocketHandle* binding : Bindings_) waitSet.push_back({binding->Handle(), POLLIN, 0});

            while (!Stopped()) {
                for (pollfd& entry : waitSet) entry.revents = 0;
                if (::poll(waitSet.data(), waitSet.size(), kAcceptWaitMs) <= 0) continue;
                for (std::size_t i = 1; i < waitSet.size(); ++i) {
                    if ((waitSet[i].revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
                    // Under load the next batch is usually queued already: reading on saves a poll.
                    for (int n = 0; n < kBatchesPerWake && !Stopped(); ++n) {
                        if (ReceiveBatch(*Bindings_[i - 1]) < static_cast<int>(kBatch)) break;
                    }
                }
            }
        } catch (...) {
        }
        {
            std::lock_guard<std::mutex> lock(Server_.CallLock_);
            Server_.ListenerEnded_ = true;
        }
        Server_.CallChanged_.notify_all();
    }

    // Takes what is queued on the socket, up to a batch, and hands it over in order. Returns how
    // many datagrams were taken; 0 when nothing was waiting or the receive failed.
    int ReceiveBatch(TIdSocketHandle& ABinding) {
        for (std::size_t i = 0; i < kBatch; ++i) {
            msghdr& header = Messages_[i].msg_hdr;
            header.msg_name = &Senders_[i];
            header.msg_namelen = sizeof Senders_[i];
            header.msg_control = Control_[i];
            header.msg_controllen = sizeof Control_[i];
            header.msg_flags = 0;
        }
        // MSG_TRUNC reports a datagram's real length, so one longer than the buffer is known and
        // dropped whole. MSG_DONTWAIT because readiness can be withdrawn (a bad checksum) before
        // the receive.
        const int received = ::recvmmsg(ABinding.Handle(), Messages_, kBatch, MSG_TRUNC | MSG_DONTWAIT, nullptr);
        if (received <= 0) {
            // A full batch said more might wait; nothing did, and whoever keeps out of the
            // listener's way meanwhile is to know.
            if (Server_.BatchWasFull_) {
                Server_.BatchWasFull_ = false;
                EndBatch();
            }
            return 0;
        }
        Server_.Counters_.DatagramsReceived.Add(static_cast<std::uint64_t>(received));
        NoteKernelDrops(ABinding, received);
        for (int i = 0; i < received; ++i) {
            // Nothing that goes wrong with one datagram, the handler included, may stop the
            // listener or be reported.
            try {
                DeliverOne(ABinding, i, received);
            } catch (...) {
            }
        }
        Server_.BatchWasFull_ = received == static_cast<int>(kBatch);
        EndBatch();
        return received;
    }

    void EndBatch() {
        // Where the handler runs, so that the two never overlap.
        try {
            if (Server_.OnBatchEnd && ThreadedEvent_) Server_.OnBatchEnd();
            if (Server_.OnBatchEnd && !ThreadedEvent_) Server_.RunOnMainThread([this] { Server_.OnBatchEnd(); });
        } catch (...) {
        }
    }

    bool Oversize(int Index) const {
        return (Messages_[Index].msg_hdr.msg_flags & MSG_TRUNC) != 0 || Messages_[Index].msg_len > BufferSize_;
    }

    // A datagram of Length bytes that starts with Head and will be handled as version 9.
    bool HandledAsVersion9(const unsigned char* Head, std::size_t Length) const {
        return Length >= 2 && Length <= BufferSize_ && Head[0] == 0 && Head[1] == 9;
    }

    bool IsVersion9(int Index) const {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(Data_.data() + Index * SlotSize_);
        return !Oversize(Index) && HandledAsVersion9(bytes, Messages_[Index].msg_len);
    }

    bool LaterVersion9(int Index, int Count) const {
        for (int j = Index + 1; j < Count; ++j) {
            if (IsVersion9(j)) return true;
        }
        return false;
    }

    // Whether the datagram waiting on the socket behind this batch, if any, is a version 9 one
    // that will be handled. Under load nearly every batch has a successor, and one peek per batch
    // spares building a trace that the successor replaces at once.
    bool NextWaitingIsVersion9(const TIdSocketHandle& ABinding) const {
        unsigned char head[2] = {};
        // MSG_TRUNC: the datagram's whole length, so that one to be dropped as oversize counts not.
        const ssize_t length = ::recv(ABinding.Handle(), head, sizeof head, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC);
        return length > 0 && HandledAsVersion9(head, static_cast<std::size_t>(length));
    }

    void DeliverOne(TIdSocketHandle& ABinding, int Index, int Count) {
        if (Oversize(Index)) {
            Server_.Counters_.OversizeDropped.Add();
            return;
        }
        Stream_.Data_ = Data_.data() + Index * SlotSize_;
        Stream_.Size_ = Messages_[Index].msg_len;
        Stream_.Position_ = 0;
        ABinding.SenderIP = DottedDecimal(Senders_[Index].sin_addr);
        ABinding.SenderPort = ntohs(Senders_[Index].sin_port);
        Server_.LaterVersion9Queued_ =
            LaterVersion9(Index, Count) || (Index + 1 == Count && IsVersion9(Index) && NextWaitingIsVersion9(ABinding));
        Server_.LaterDatagramQueued_ = Index + 1 < Count;

        if (ThreadedEvent_) {
            Server_.Deliver(Stream_, ABinding);
        } else {
            Server_.RunOnMainThread([this, &ABinding] { Server_.Deliver(Stream_, ABinding); });
        }
    }

    // The kernel stamps each datagram with the socket's drop count so far, once there is one.
    void NoteKernelDrops(TIdSocketHandle& ABinding, int Count) {
        bool changed = false;
        for (int i = 0; i < Count; ++i) {
            msghdr& header = Messages_[i].msg_hdr;
            for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
                std::uint32_t drops = 0;
                std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
                changed = changed || drops != ABinding.KernelDrops_;
                ABinding.KernelDrops_ = drops;
            }
        }
        if (!changed) return;
        std::uint64_t total = 0;
        for (const TIdSocketHandle* binding : Bindings_) total += binding->KernelDrops_;
        Server_.Counters_.KernelDrops.Set(total);
    }

    TIdUDPServer& Server_;
    const std::vector<TIdSocketHandle*> Bindings_;
    TIdMemoryStream Stream_;
    const std::size_t BufferSize_;
    std::size_t SlotSize_ = 1;
    const bool ThreadedEvent_;
    int WakeHandle_ = -1;

    // One batch: the datagrams' bytes side by side, and what the kernel says about each.
    std::vector<char> Data_;
    mmsghdr Messages_[kBatch] = {};
    iovec Vectors_[kBatch] = {};
    sockaddr_in Senders_[kBatch] = {};
    alignas(cmsghdr) char Control_[kBatch][CMSG_SPACE(sizeof(std::uint32_t))] = {};

    mutable std::mutex Lock_;
    bool Stopped_ = true;
    std::thread Thread_;
};

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
        Thread_ = std::make_unique<TIdUDPListenerThread>(*this, std::move(bindings), BufferSize, ThreadedEvent);
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
