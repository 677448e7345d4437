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

EIdSocketError::EIdSocketError(int AErrorCode) : EIdException(SocketErrorText(AErrorCode)), FLastError(AErrorCode) {}

// ---------------------------------------------------------------------------------------------
// Stream

std::size_t TIdMemoryStream::Read(void* Buffer, std::size_t Count) {
    if (FPosition >= FSize || Count == 0) return 0;
    const std::size_t n = std::min(Count, static_cast<std::size_t>(FSize - FPosition));
    std::memcpy(Buffer, FData + FPosition, n);
    FPosition += static_cast<std::int64_t>(n);
    return n;
}

// ---------------------------------------------------------------------------------------------
// Bindings

TIdSocketHandle::~TIdSocketHandle() { CloseHandle(); }

void TIdSocketHandle::AllocateHandle() {
    CloseHandle();
    FHandle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (FHandle < 0) throw EIdInvalidSocket();
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
    if (::bind(FHandle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        if (error == EADDRINUSE) throw EIdCouldNotBindSocket();
        throw EIdSocketError(error);
    }

    // Port 0 becomes the port the system chose, so the next activation binds the same one again.
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(FHandle, reinterpret_cast<sockaddr*>(&local), &length) != 0) throw EIdSocketError(errno);
    IP = DottedDecimal(local.sin_addr);
    Port = ntohs(local.sin_port);
}

void TIdSocketHandle::SetBroadcast(bool Enabled) {
    const int value = Enabled ? -1 : 0;
    if (::setsockopt(FHandle, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) != 0) throw EIdSocketError(errno);
}

void TIdSocketHandle::SetReceiveBuffer(int Bytes) {
    // Without the drop count a loss in the kernel would go unseen; an old kernel simply lacks it.
    const int on = 1;
    (void)::setsockopt(FHandle, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    FKernelDrops = 0;
    if (Bytes > 0) {
        // The forcing variant passes the system's ceiling but needs privilege; without it the
        // plain option is clamped by the system. Either way a smaller buffer is no reason not to
        // listen.
        if (::setsockopt(FHandle, SOL_SOCKET, SO_RCVBUFFORCE, &Bytes, sizeof Bytes) != 0)
            (void)::setsockopt(FHandle, SOL_SOCKET, SO_RCVBUF, &Bytes, sizeof Bytes);
    }
    int granted = 0;
    socklen_t length = sizeof granted;
    FReceiveBufferGranted = ::getsockopt(FHandle, SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0 ? granted : 0;
}

void TIdSocketHandle::CloseHandle() {
    if (FHandle < 0) return;
    (void)::shutdown(FHandle, SHUT_WR);
    (void)::close(FHandle);
    FHandle = -1;
}

TIdSocketHandle& TIdSocketHandles::Add() {
    FItems.push_back(std::make_unique<TIdSocketHandle>());
    FItems.back()->Port = FDefaultPort;
    return *FItems.back();
}

TIdSocketHandle& TIdSocketHandles::Items(int Index) {
    if (Index < 0 || Index >= Count())
        throw std::out_of_range("List index out of bounds (" + std::to_string(Index) + ")");
    return *FItems[static_cast<std::size_t>(Index)];
}

// ---------------------------------------------------------------------------------------------
// Listener thread

class TIdUDPListenerThread {
  public:
    TIdUDPListenerThread(TIdUDPServer& AServer, std::vector<TIdSocketHandle*> ABindings, std::int32_t ABufferSize,
                         bool AThreadedEvent)
        : FServer(AServer),
          FBindings(std::move(ABindings)),
          FBufferSize(static_cast<std::size_t>(std::max<std::int32_t>(ABufferSize, 0))),
          FThreadedEvent(AThreadedEvent) {
        // One byte at least per datagram, so that even an empty stream has memory to point at.
        FSlotSize = std::max<std::size_t>(FBufferSize, 1);
        FData.resize(FSlotSize * kBatch);
        for (std::size_t i = 0; i < kBatch; ++i) {
            FVectors[i] = {FData.data() + i * FSlotSize, FBufferSize};
            FMessages[i].msg_hdr.msg_iov = &FVectors[i];
            FMessages[i].msg_hdr.msg_iovlen = 1;
        }
        FWakeHandle = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (FWakeHandle < 0) throw EIdSocketError(errno);
    }

    ~TIdUDPListenerThread() {
        if (FThread.joinable()) {
            Stop();
            FThread.join();
        }
        ::close(FWakeHandle);
    }

    TIdUDPListenerThread(const TIdUDPListenerThread&) = delete;
    TIdUDPListenerThread& operator=(const TIdUDPListenerThread&) = delete;

    void Start() {
        {
            std::lock_guard<std::mutex> lock(FLock);
            FStopped = false;
        }
        FThread = std::thread([this] { Execute(); });
    }

    // Ends a readiness wait in progress at once instead of at its time-out.
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(FLock);
            FStopped = true;
        }
        const std::uint64_t one = 1;
        (void)!::write(FWakeHandle, &one, sizeof one);
    }

    void WaitFor() {
        if (FThread.joinable()) FThread.join();
    }

    bool Stopped() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FStopped;
    }

  private:
    static constexpr int kAcceptWaitMs = 1000;
    // Datagrams taken from the kernel per system call, and calls per socket before the next
    // binding gets its turn.
    static constexpr std::size_t kBatch = 64;
    static constexpr int kBatchesPerWake = 4;

    void Execute() {
        FServer.FListenerThreadId = std::this_thread::get_id();
        try {
            std::vector<pollfd> waitSet;
            waitSet.push_back({FWakeHandle, POLLIN, 0});
            for (TIdSocketHandle* binding : FBindings) waitSet.push_back({binding->Handle(), POLLIN, 0});

            while (!Stopped()) {
                for (pollfd& entry : waitSet) entry.revents = 0;
                if (::poll(waitSet.data(), waitSet.size(), kAcceptWaitMs) <= 0) continue;
                for (std::size_t i = 1; i < waitSet.size(); ++i) {
                    if ((waitSet[i].revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
                    // Under load the next batch is usually queued already: reading on saves a poll.
                    for (int n = 0; n < kBatchesPerWake && !Stopped(); ++n) {
                        if (ReceiveBatch(*FBindings[i - 1]) < static_cast<int>(kBatch)) break;
                    }
                }
            }
        } catch (...) {
        }
        {
            std::lock_guard<std::mutex> lock(FServer.FCallLock);
            FServer.FListenerEnded = true;
        }
        FServer.FCallChanged.notify_all();
    }

    // Takes what is queued on the socket, up to a batch, and hands it over in order. Returns how
    // many datagrams were taken; 0 when nothing was waiting or the receive failed.
    int ReceiveBatch(TIdSocketHandle& ABinding) {
        for (std::size_t i = 0; i < kBatch; ++i) {
            msghdr& header = FMessages[i].msg_hdr;
            header.msg_name = &FSenders[i];
            header.msg_namelen = sizeof FSenders[i];
            header.msg_control = FControl[i];
            header.msg_controllen = sizeof FControl[i];
            header.msg_flags = 0;
        }
        // MSG_TRUNC reports a datagram's real length, so one longer than the buffer is known and
        // dropped whole. MSG_DONTWAIT because readiness can be withdrawn (a bad checksum) before
        // the receive.
        const int received = ::recvmmsg(ABinding.Handle(), FMessages, kBatch, MSG_TRUNC | MSG_DONTWAIT, nullptr);
        if (received <= 0) return 0;
        FServer.FCounters.DatagramsReceived.Add(static_cast<std::uint64_t>(received));
        NoteKernelDrops(ABinding, received);
        for (int i = 0; i < received; ++i) {
            // Nothing that goes wrong with one datagram, the handler included, may stop the
            // listener or be reported.
            try {
                DeliverOne(ABinding, i, received);
            } catch (...) {
            }
        }
        // Where the handler runs, so that the two never overlap.
        try {
            if (FServer.OnBatchEnd && FThreadedEvent) FServer.OnBatchEnd();
            if (FServer.OnBatchEnd && !FThreadedEvent) FServer.RunOnMainThread([this] { FServer.OnBatchEnd(); });
        } catch (...) {
        }
        return received;
    }

    bool Oversize(int Index) const {
        return (FMessages[Index].msg_hdr.msg_flags & MSG_TRUNC) != 0 || FMessages[Index].msg_len > FBufferSize;
    }

    bool LaterVersion9(int Index, int Count) const {
        for (int j = Index + 1; j < Count; ++j) {
            const unsigned char* bytes = reinterpret_cast<const unsigned char*>(FData.data() + j * FSlotSize);
            if (!Oversize(j) && FMessages[j].msg_len >= 2 && bytes[0] == 0 && bytes[1] == 9) return true;
        }
        return false;
    }

    void DeliverOne(TIdSocketHandle& ABinding, int Index, int Count) {
        if (Oversize(Index)) {
            FServer.FCounters.OversizeDropped.Add();
            return;
        }
        FStream.FData = FData.data() + Index * FSlotSize;
        FStream.FSize = FMessages[Index].msg_len;
        FStream.FPosition = 0;
        ABinding.SenderIP = DottedDecimal(FSenders[Index].sin_addr);
        ABinding.SenderPort = ntohs(FSenders[Index].sin_port);
        FServer.FLaterVersion9Queued = LaterVersion9(Index, Count);

        if (FThreadedEvent) {
            FServer.Deliver(FStream, ABinding);
        } else {
            FServer.RunOnMainThread([this, &ABinding] { FServer.Deliver(FStream, ABinding); });
        }
    }

    // The kernel stamps each datagram with the socket's drop count so far, once there is one.
    void NoteKernelDrops(TIdSocketHandle& ABinding, int Count) {
        bool changed = false;
        for (int i = 0; i < Count; ++i) {
            msghdr& header = FMessages[i].msg_hdr;
            for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
                std::uint32_t drops = 0;
                std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
                changed = changed || drops != ABinding.FKernelDrops;
                ABinding.FKernelDrops = drops;
            }
        }
        if (!changed) return;
        std::uint64_t total = 0;
        for (const TIdSocketHandle* binding : FBindings) total += binding->FKernelDrops;
        FServer.FCounters.KernelDrops.Set(total);
    }

    TIdUDPServer& FServer;
    const std::vector<TIdSocketHandle*> FBindings;
    TIdMemoryStream FStream;
    const std::size_t FBufferSize;
    std::size_t FSlotSize = 1;
    const bool FThreadedEvent;
    int FWakeHandle = -1;

    // One batch: the datagrams' bytes side by side, and what the kernel says about each.
    std::vector<char> FData;
    mmsghdr FMessages[kBatch] = {};
    iovec FVectors[kBatch] = {};
    sockaddr_in FSenders[kBatch] = {};
    alignas(cmsghdr) char FControl[kBatch][CMSG_SPACE(sizeof(std::uint32_t))] = {};

    mutable std::mutex FLock;
    bool FStopped = true;
    std::thread FThread;
};

// ---------------------------------------------------------------------------------------------
// Server

struct TIdUDPServer::TMainThreadCall {
    const std::function<void()>* Call;
    bool Started = false;
    bool Done = false;
};

TIdUDPServer::TIdUDPServer() : FOwnCounters(std::make_unique<CollectorCounters>()), FCounters(*FOwnCounters) {}

TIdUDPServer::TIdUDPServer(CollectorCounters& Counters) : FCounters(Counters) {}

TIdUDPServer::~TIdUDPServer() {
    try {
        std::lock_guard<std::mutex> lock(FStateLock);
        if (FThread) Deactivate();
    } catch (...) {
    }
    CloseAllBindings();
}

bool TIdUDPServer::Active() const {
    const TIdSocketHandle* binding = FCurrentBinding.load();
    return binding != nullptr && binding->HandleAllocated();
}

void TIdUDPServer::SetActive(bool Value) {
    ThrowIfCalledFromHandler();
    std::lock_guard<std::mutex> lock(FStateLock);
    if (Value == Active()) return;
    if (Value) {
        Activate();
    } else {
        Deactivate();
    }
}

void TIdUDPServer::ThrowIfCalledFromHandler() const {
    const std::thread::id self = std::this_thread::get_id();
    if (self == FHandlerThread.load() || self == FListenerThreadId.load()) {
        throw EIdException("The listener cannot be switched from its own handler.");
    }
}

void TIdUDPServer::Activate() {
    if (FBindings.Count() == 0) FBindings.Add();
    try {
        std::vector<TIdSocketHandle*> bindings;
        for (int i = 0; i < FBindings.Count(); ++i) {
            TIdSocketHandle& binding = FBindings.Items(i);
            binding.AllocateHandle();
            binding.SetReceiveBuffer(ReceiveBufferBytes);
            binding.Bind();
            bindings.push_back(&binding);
        }
        // Before the thread starts rather than after, so that a failure here cannot leave a
        // running listener behind an activation that reported an error.
        for (TIdSocketHandle* binding : bindings) binding->SetBroadcast(BroadcastEnabled);

        {
            std::lock_guard<std::mutex> lock(FCallLock);
            FListenerEnded = false;
        }
        FThread = std::make_unique<TIdUDPListenerThread>(*this, std::move(bindings), BufferSize, ThreadedEvent);
        FCurrentBinding = &FBindings.Items(0);
        FThread->Start();
    } catch (...) {
        // Inactive means no socket open: a binding bound before the failing one must not keep
        // holding its port.
        FCurrentBinding = nullptr;
        FThread.reset();
        CloseAllBindings();
        throw;
    }
}

void TIdUDPServer::Deactivate() {
    FThread->Stop();
    {
        // A delivery queued for the main thread must still run, or the listener would wait for it
        // forever while we wait for the listener.
        std::unique_lock<std::mutex> lock(FCallLock);
        for (;;) {
            FCallChanged.wait(lock, [this] { return FListenerEnded || (FPendingCall && !FPendingCall->Started); });
            if (FListenerEnded) break;
            lock.unlock();
            ServeMainThreadCalls();
            lock.lock();
        }
    }
    FThread->WaitFor();
    FCurrentBinding = nullptr;
    // Closed only after the listener has ended, so that it never waits on or reads from a
    // descriptor number that has meanwhile been reused.
    CloseAllBindings();
    FThread.reset();
    FListenerThreadId = std::thread::id();
}

void TIdUDPServer::CloseAllBindings() {
    for (int i = 0; i < FBindings.Count(); ++i) FBindings.Items(i).CloseHandle();
}

void TIdUDPServer::Deliver(TIdMemoryStream& AData, TIdSocketHandle& ABinding) {
    FCurrentBinding = &ABinding;
    if (!OnUDPRead) return;
    struct HandlerScope {
        std::atomic<std::thread::id>& Owner;
        explicit HandlerScope(std::atomic<std::thread::id>& AOwner) : Owner(AOwner) {
            Owner = std::this_thread::get_id();
        }
        ~HandlerScope() { Owner = std::thread::id(); }
    } scope(FHandlerThread);
    OnUDPRead(*this, AData, ABinding);
}

void TIdUDPServer::RunOnMainThread(const std::function<void()>& Call) {
    TMainThreadCall pending{&Call};
    {
        std::lock_guard<std::mutex> lock(FCallLock);
        FPendingCall = &pending;
    }
    FCallChanged.notify_all();
    try {
        if (OnMainThreadCallPending) OnMainThreadCallPending();
    } catch (...) {
    }
    std::unique_lock<std::mutex> lock(FCallLock);
    FCallChanged.wait(lock, [&pending] { return pending.Done; });
}

void TIdUDPServer::ServeMainThreadCalls() {
    TMainThreadCall* pending = nullptr;
    {
        std::lock_guard<std::mutex> lock(FCallLock);
        // Started already: we are inside that very call (a nested event loop) or another thread
        // serves it.
        if (FPendingCall == nullptr || FPendingCall->Started) return;
        pending = FPendingCall;
        pending->Started = true;
    }
    try {
        (*pending->Call)();
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> lock(FCallLock);
        pending->Done = true;
        FPendingCall = nullptr;
    }
    FCallChanged.notify_all();
}
