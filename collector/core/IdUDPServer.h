#pragma once

// The UDP listener component: binds local IPv4 endpoints, runs one listener thread over all of
// them and hands every datagram, whole, to OnUDPRead. POSIX sockets and std::thread; no widgets.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Counters.h"
#include "DatagramsBehind.h"
#include "FlowAddress.h"

class EIdException : public std::runtime_error {
  public:
    using runtime_error::runtime_error;
};

class EIdInvalidSocket : public EIdException {
  public:
    EIdInvalidSocket();
};

class EIdCouldNotBindSocket : public EIdException {
  public:
    EIdCouldNotBindSocket();
};

// "Socket Error # <errno>\r\n<description>"
class EIdSocketError : public EIdException {
  public:
    explicit EIdSocketError(int AErrorCode);
    int LastError() const { return LastError_; }

  private:
    int LastError_;
};

// The bytes of one datagram. Allocated once per activation and reused for every datagram, so the
// handler sees it only for the duration of its call.
class TIdMemoryStream {
  public:
    std::int64_t Size() const { return Size_; }
    std::int64_t Position() const { return Position_; }
    void SetPosition(std::int64_t Value) { Position_ = Value < 0 ? 0 : Value; }
    const char* Memory() const { return Data_; }
    // Copies up to Count bytes from Position on and advances Position by what was copied.
    std::size_t Read(void* Buffer, std::size_t Count);

  private:
    friend class TIdUDPListenerThread;
    // Into the listener's batch of receive buffers, which it owns.
    const char* Data_ = nullptr;
    std::int64_t Size_ = 0;
    std::int64_t Position_ = 0;
};

// One local endpoint and, while active, its socket.
class TIdSocketHandle {
  public:
    TIdSocketHandle() = default;
    ~TIdSocketHandle();
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    std::string IP;  // empty: all local addresses
    std::int32_t Port = 0;
    // The sender of the datagram being delivered: as numbers, and as dotted-decimal text made from
    // them once per datagram for the handlers that want text.
    SenderAddress Sender;
    std::string SenderIP;
    std::int32_t SenderPort = 0;

    bool HandleAllocated() const { return Handle_ >= 0; }
    int Handle() const { return Handle_; }
    // Kernel receive buffer granted at the last activation, as the system reports it (it counts
    // its own bookkeeping in, so this is about twice what was asked for).
    int ReceiveBufferGranted() const { return ReceiveBufferGranted_; }

  private:
    friend class TIdUDPServer;
    friend class TIdUDPListenerThread;
    void AllocateHandle();
    void Bind();
    void SetBroadcast(bool Enabled);
    void SetReceiveBuffer(int Bytes);
    void CloseHandle();

    int Handle_ = -1;
    int ReceiveBufferGranted_ = 0;
    // The socket's drop count as the kernel last reported it; listener thread only.
    std::uint32_t KernelDrops_ = 0;
};

class TIdSocketHandles {
  public:
    // The new binding starts with DefaultPort and all local addresses. References stay valid for
    // the life of the collection.
    TIdSocketHandle& Add();
    int Count() const { return static_cast<int>(Items_.size()); }
    TIdSocketHandle& Items(int Index);
    std::int32_t DefaultPort() const { return DefaultPort_; }
    void SetDefaultPort(std::int32_t Value) { DefaultPort_ = Value; }

  private:
    std::vector<std::unique_ptr<TIdSocketHandle>> Items_;
    std::int32_t DefaultPort_ = 0;
};

class TIdUDPServer;
using TUDPReadEvent = std::function<void(TIdUDPServer& Sender, TIdMemoryStream& AData, TIdSocketHandle& ABinding)>;

class TIdUDPListenerThread;

class TIdUDPServer : public DatagramsBehind {
  public:
    // Counts into counters of its own.
    TIdUDPServer();
    // Counts into Counters, which must outlive the component.
    explicit TIdUDPServer(CollectorCounters& Counters);
    ~TIdUDPServer() override;
    TIdUDPServer(const TIdUDPServer&) = delete;
    TIdUDPServer& operator=(const TIdUDPServer&) = delete;

    // True exactly while a current binding holds an open socket.
    bool Active() const;
    // Activation errors (EIdInvalidSocket, EIdCouldNotBindSocket, EIdSocketError) reach the caller
    // and leave the component inactive with no socket open. Deactivation returns once the listener
    // thread has ended; a handler call in progress completes first. The handler must not switch
    // the component that called it: such a call throws EIdException instead of deadlocking.
    void SetActive(bool Value);

    std::int32_t BufferSize = 8192;  // largest datagram delivered; taken at activation
    bool BroadcastEnabled = false;
    bool ThreadedEvent = false;  // taken at activation

    TIdSocketHandles& Bindings() { return Bindings_; }
    std::int32_t DefaultPort() const { return Bindings_.DefaultPort(); }
    void SetDefaultPort(std::int32_t Value) { Bindings_.SetDefaultPort(Value); }

    // None while inactive; the first binding after activation, then the binding of the datagram
    // delivered last.
    TIdSocketHandle* Binding() const { return CurrentBinding_.load(); }

    TUDPReadEvent OnUDPRead;
    // Called where OnUDPRead runs, after the last datagram of each batch taken from a socket has
    // been handed over: nothing is waiting in the listener any more. Also once when a receive
    // after a full batch found nothing, with BatchWasFull() false.
    std::function<void()> OnBatchEnd;
    // During an OnUDPRead call: whether any later datagram of the same batch waits, so that work
    // for this one may be left to OnBatchEnd.
    bool LaterDatagramQueued() const override { return LaterDatagramQueued_; }
    // During an OnUDPRead call: whether Test holds for a datagram waiting behind the one handed
    // over (see DatagramsBehind). Datagrams the listener will drop are passed over.
    bool AnyLaterQueued(HeadTest Test) const override;
    // During an OnBatchEnd call: whether the batch was as large as one receive takes, so that
    // more may be waiting in the kernel.
    bool BatchWasFull() const { return BatchWasFull_; }
    const CollectorCounters& Counters() const { return Counters_; }

    // With ThreadedEvent false the listener queues each delivery for the main thread and waits for
    // it. It calls OnMainThreadCallPending from the listener thread so that the owner can schedule
    // ServeMainThreadCalls() on its main thread. SetActive(false) keeps serving queued calls while it
    // waits for the listener, so it cannot deadlock against one.
    std::function<void()> OnMainThreadCallPending;
    void ServeMainThreadCalls();

    // Kernel receive buffer requested at activation so that bursts wait in the kernel while the
    // handler works. Granted in full when the process may exceed the system's ceiling
    // (net.core.rmem_max), otherwise up to that ceiling; 0 leaves the system default.
    int ReceiveBufferBytes = 32 * 1024 * 1024;

    // Switching off first hands over what the kernel already holds for the sockets, for at most
    // this long; what is still queued then is counted (DatagramsLeftAtStop) and never handed over.
    // 0 closes at once.
    int DrainOnStopMs = 2000;
    // Of the last switch-off: datagrams handed over from the queue after the switch was asked for,
    // and datagrams left in it.
    std::uint64_t DatagramsDrainedAtStop() const { return DrainedAtStop_.load(); }
    std::uint64_t DatagramsLeftAtStop() const { return LeftAtStop_.load(); }

  private:
    friend class TIdUDPListenerThread;

    void Activate();
    void Deactivate();
    void CloseAllBindings();
    void Deliver(TIdMemoryStream& AData, TIdSocketHandle& ABinding);
    void RunOnMainThread(const std::function<void()>& Call);
    void ThrowIfCalledFromHandler() const;

    std::unique_ptr<CollectorCounters> OwnCounters_;
    CollectorCounters& Counters_;
    bool LaterDatagramQueued_ = false;  // listener thread only
    bool BatchWasFull_ = false;         // listener thread only
    TIdSocketHandles Bindings_;
    std::atomic<TIdSocketHandle*> CurrentBinding_{nullptr};
    std::atomic<std::uint64_t> DrainedAtStop_{0};
    std::atomic<std::uint64_t> LeftAtStop_{0};
    std::unique_ptr<TIdUDPListenerThread> Thread_;
    std::mutex StateLock_;  // one activation or deactivation at a time

    // The thread that runs a handler call right now, and the listener thread itself: switching the
    // component from either would wait for itself.
    std::atomic<std::thread::id> HandlerThread_{};
    std::atomic<std::thread::id> ListenerThreadId_{};

    // At most one delivery waits for the main thread at a time, because the listener waits for it.
    struct TMainThreadCall;
    std::mutex CallLock_;
    std::condition_variable CallChanged_;
    TMainThreadCall* PendingCall_ = nullptr;
    bool ListenerEnded_ = false;
};
