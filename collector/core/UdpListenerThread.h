#pragma once

// The listener thread of TIdUDPServer: waits on every bound socket, takes what is queued a batch at
// a time and hands each datagram over, whole and in order. Private to the component.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "DatagramsBehind.h"
#include "IdUDPServer.h"

class TIdUDPListenerThread {
  public:
    TIdUDPListenerThread(TIdUDPServer& AServer, std::vector<TIdSocketHandle*> ABindings, std::int32_t ABufferSize,
                         bool AThreadedEvent, int ADrainMs);
    ~TIdUDPListenerThread();
    TIdUDPListenerThread(const TIdUDPListenerThread&) = delete;
    TIdUDPListenerThread& operator=(const TIdUDPListenerThread&) = delete;

    void Start();
    // Ends a readiness wait in progress at once instead of at its time-out; the thread then hands
    // over what is still queued, within the drain time, and ends.
    void Stop();
    void WaitFor();
    bool Stopped() const;

    // During a delivery, on the listener thread.
    bool AnyLaterQueued(DatagramsBehind::HeadTest Test) const;

  private:
    static constexpr int kAcceptWaitMs = 1000;
    // Datagrams taken from the kernel per system call, and calls per socket before the next
    // binding gets its turn.
    static constexpr std::size_t kBatch = 64;
    static constexpr int kBatchesPerWake = 4;

    void Execute();
    void Drain();
    std::uint64_t DiscardQueued(const TIdSocketHandle& ABinding);
    int ReceiveBatch(TIdSocketHandle& ABinding);
    void EndBatch();
    bool Oversize(std::size_t Index) const;
    void DeliverOne(TIdSocketHandle& ABinding, std::size_t Index);
    void NoteKernelDrops(TIdSocketHandle& ABinding, int Count);

    TIdUDPServer& Server_;
    const std::vector<TIdSocketHandle*> Bindings_;
    TIdMemoryStream Stream_;
    const std::size_t BufferSize_;
    std::size_t SlotSize_ = 1;
    const bool ThreadedEvent_;
    const int DrainMs_;
    int WakeHandle_ = -1;

    // One batch: the datagrams' bytes side by side, and what the kernel says about each.
    std::vector<char> Data_;
    mmsghdr Messages_[kBatch] = {};
    iovec Vectors_[kBatch] = {};
    sockaddr_storage Senders_[kBatch] = {};
    alignas(cmsghdr) char Control_[kBatch][CMSG_SPACE(sizeof(std::uint32_t))] = {};
    // The datagram being delivered, and the batch it belongs to.
    std::size_t Delivering_ = 0;
    std::size_t Received_ = 0;
    const TIdSocketHandle* DeliveringFrom_ = nullptr;

    mutable std::mutex Lock_;
    bool Stopped_ = true;
    std::thread Thread_;
};
