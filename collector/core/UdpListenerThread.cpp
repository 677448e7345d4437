#include "UdpListenerThread.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

// The sender as numbers, and its text built from them; the only text form any handler receives.
void SetSender(TIdSocketHandle& ABinding, const sockaddr_storage& From) {
    SenderAddress& sender = ABinding.Sender;
    sender = SenderAddress{};
    if (From.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(From);
        sender.Address = FlowAddress::FromIPv4(ntohl(v4.sin_addr.s_addr));
        sender.Port = ntohs(v4.sin_port);
    } else if (From.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(From);
        sender.Address.Kind = FlowAddress::IPv6;
        std::memcpy(sender.Address.Bytes.data(), &v6.sin6_addr, sender.Address.Bytes.size());
        sender.Port = ntohs(v6.sin6_port);
    }
    ABinding.SenderIP.clear();
    sender.Address.AppendText(ABinding.SenderIP);
    ABinding.SenderPort = sender.Port;
}

}  // namespace

TIdUDPListenerThread::TIdUDPListenerThread(TIdUDPServer& AServer, std::vector<TIdSocketHandle*> ABindings,
                                           std::int32_t ABufferSize, bool AThreadedEvent, int ADrainMs)
    : Server_(AServer),
      Bindings_(std::move(ABindings)),
      BufferSize_(static_cast<std::size_t>(std::max<std::int32_t>(ABufferSize, 0))),
      ThreadedEvent_(AThreadedEvent),
      DrainMs_(std::max(ADrainMs, 0)) {
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

TIdUDPListenerThread::~TIdUDPListenerThread() {
    if (Thread_.joinable()) {
        Stop();
        Thread_.join();
    }
    ::close(WakeHandle_);
}

void TIdUDPListenerThread::Start() {
    {
        std::lock_guard<std::mutex> lock(Lock_);
        Stopped_ = false;
    }
    Thread_ = std::thread([this] { Execute(); });
}

void TIdUDPListenerThread::Stop() {
    {
        std::lock_guard<std::mutex> lock(Lock_);
        Stopped_ = true;
    }
    const std::uint64_t one = 1;
    (void)!::write(WakeHandle_, &one, sizeof one);
}

void TIdUDPListenerThread::WaitFor() {
    if (Thread_.joinable()) Thread_.join();
}

bool TIdUDPListenerThread::Stopped() const {
    std::lock_guard<std::mutex> lock(Lock_);
    return Stopped_;
}

void TIdUDPListenerThread::Execute() {
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
        Drain();
    } catch (...) {
    }
    {
        std::lock_guard<std::mutex> lock(Server_.CallLock_);
        Server_.ListenerEnded_ = true;
    }
    Server_.CallChanged_.notify_all();
}

// What the kernel accepted before the switch-off was accepted from the exporters too: it goes to
// the files like everything before it, as far as the drain time allows.
void TIdUDPListenerThread::Drain() {
    using Steady = std::chrono::steady_clock;
    const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(DrainMs_);
    std::uint64_t drained = 0;
    bool more = DrainMs_ > 0;
    while (more && Steady::now() < deadline) {
        more = false;
        for (TIdSocketHandle* binding : Bindings_) {
            const int taken = ReceiveBatch(*binding);
            drained += static_cast<std::uint64_t>(std::max(taken, 0));
            more = more || taken > 0;
        }
    }
    std::uint64_t left = 0;
    for (const TIdSocketHandle* binding : Bindings_) left += DiscardQueued(*binding);
    Server_.DrainedAtStop_ = drained;
    Server_.LeftAtStop_ = left;
}

// Counts what is still queued by taking it without copying; bounded, since exporters may keep sending.
std::uint64_t TIdUDPListenerThread::DiscardQueued(const TIdSocketHandle& ABinding) {
    constexpr std::uint64_t kMostCounted = 10'000'000;
    std::uint64_t count = 0;
    char byte = 0;
    while (count < kMostCounted && ::recv(ABinding.Handle(), &byte, 1, MSG_DONTWAIT | MSG_TRUNC) >= 0) ++count;
    return count;
}

int TIdUDPListenerThread::ReceiveBatch(TIdSocketHandle& ABinding) {
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
    Received_ = static_cast<std::size_t>(received);
    DeliveringFrom_ = &ABinding;
    for (std::size_t i = 0; i < Received_; ++i) {
        // Nothing that goes wrong with one datagram, the handler included, may stop the
        // listener or be reported.
        try {
            DeliverOne(ABinding, i);
        } catch (...) {
        }
    }
    DeliveringFrom_ = nullptr;
    Server_.BatchWasFull_ = Received_ == kBatch;
    EndBatch();
    return received;
}

void TIdUDPListenerThread::EndBatch() {
    // Where the handler runs, so that the two never overlap.
    try {
        if (Server_.OnBatchEnd && ThreadedEvent_) Server_.OnBatchEnd();
        if (Server_.OnBatchEnd && !ThreadedEvent_) Server_.RunOnMainThread([this] { Server_.OnBatchEnd(); });
    } catch (...) {
    }
}

bool TIdUDPListenerThread::Oversize(std::size_t Index) const {
    return (Messages_[Index].msg_hdr.msg_flags & MSG_TRUNC) != 0 || Messages_[Index].msg_len > BufferSize_;
}

bool TIdUDPListenerThread::AnyLaterQueued(DatagramsBehind::HeadTest Test) const {
    for (std::size_t j = Delivering_ + 1; j < Received_; ++j) {
        if (Oversize(j)) continue;
        const auto* head = reinterpret_cast<const unsigned char*>(Data_.data() + j * SlotSize_);
        const std::size_t length = Messages_[j].msg_len;
        if (Test(head, std::min(length, DatagramsBehind::kHeadBytes), length)) return true;
    }
    // Under load nearly every batch has a successor in the kernel; the last datagram of a batch
    // looks at it without taking it.
    if (Delivering_ + 1 != Received_ || DeliveringFrom_ == nullptr) return false;
    unsigned char head[DatagramsBehind::kHeadBytes] = {};
    // MSG_TRUNC: the datagram's whole length, so that one to be dropped as oversize counts not.
    const ssize_t length = ::recv(DeliveringFrom_->Handle(), head, sizeof head, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC);
    if (length <= 0 || static_cast<std::size_t>(length) > BufferSize_) return false;
    const auto whole = static_cast<std::size_t>(length);
    return Test(head, std::min(whole, sizeof head), whole);
}

void TIdUDPListenerThread::DeliverOne(TIdSocketHandle& ABinding, std::size_t Index) {
    if (Oversize(Index)) {
        Server_.Counters_.OversizeDropped.Add();
        return;
    }
    Stream_.Data_ = Data_.data() + Index * SlotSize_;
    Stream_.Size_ = Messages_[Index].msg_len;
    Stream_.Position_ = 0;
    SetSender(ABinding, Senders_[Index]);
    Delivering_ = Index;
    Server_.LaterDatagramQueued_ = Index + 1 < Received_;

    if (ThreadedEvent_) {
        Server_.Deliver(Stream_, ABinding);
    } else {
        Server_.RunOnMainThread([this, &ABinding] { Server_.Deliver(Stream_, ABinding); });
    }
}

// The kernel stamps each datagram with the socket's drop count so far, once there is one.
void TIdUDPListenerThread::NoteKernelDrops(TIdSocketHandle& ABinding, int Count) {
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
