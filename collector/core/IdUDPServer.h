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
    int LastError() const { return FLastError; }

  private:
    int FLastError;
};

// The bytes of one datagram. Allocated once per activation and reused for every datagram, so the
// handler sees it only for the duration of its call.
class TIdMemoryStream {
  public:
    std::int64_t Size() const { return FSize; }
    std::int64_t Position() const { return FPosition; }
    void SetPosition(std::int64_t Value) { FPosition = Value < 0 ? 0 : Value; }
    const char* Memory() const { return FBuffer.data(); }
    // Copies up to Count bytes from Position on and advances Position by what was copied.
    std::size_t Read(void* Buffer, std::size_t Count);

  private:
    friend class TIdUDPListenerThread;
    std::vector<char> FBuffer;
    std::int64_t FSize = 0;
    std::int64_t FPosition = 0;
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
    std::string SenderIP;
    std::int32_t SenderPort = 0;

    bool HandleAllocated() const { return FHandle >= 0; }
    int Handle() const { return FHandle; }

  private:
    friend class TIdUDPServer;
    void AllocateHandle();
    void Bind();
    void SetBroadcast(bool Enabled);
    void SetReceiveBuffer(int Bytes);
    void CloseHandle();

    int FHandle = -1;
};

class TIdSocketHandles {
  public:
    // The new binding starts with DefaultPort and all local addresses. References stay valid for
    // the life of the collection.
    TIdSocketHandle& Add();
    int Count() const { return static_cast<int>(FItems.size()); }
    TIdSocketHandle& Items(int Index);
    std::int32_t DefaultPort() const { return FDefaultPort; }
    void SetDefaultPort(std::int32_t Value) { FDefaultPort = Value; }

  private:
    std::vector<std::unique_ptr<TIdSocketHandle>> FItems;
    std::int32_t FDefaultPort = 0;
};

class TIdUDPServer;
using TUDPReadEvent = std::function<void(TIdUDPServer& Sender, TIdMemoryStream& AData, TIdSocketHandle& ABinding)>;

class TIdUDPListenerThread;

class TIdUDPServer {
  public:
    TIdUDPServer();
    ~TIdUDPServer();
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

    TIdSocketHandles& Bindings() { return FBindings; }
    std::int32_t DefaultPort() const { return FBindings.DefaultPort(); }
    void SetDefaultPort(std::int32_t Value) { FBindings.SetDefaultPort(Value); }

    // None while inactive; the first binding after activation, then the binding of the datagram
    // delivered last.
    TIdSocketHandle* Binding() const { return FCurrentBinding.load(); }

    TUDPReadEvent OnUDPRead;

    // With ThreadedEvent false the listener queues each delivery for the main thread and waits for
    // it. It calls OnMainThreadCallPending from the listener thread so that the owner can schedule
    // ServeMainThreadCalls() on its main thread. SetActive(false) keeps serving queued calls while it
    // waits for the listener, so it cannot deadlock against one.
    std::function<void()> OnMainThreadCallPending;
    void ServeMainThreadCalls();

    // Kernel receive buffer requested at activation so that bursts wait in the kernel while the
    // handler works. Clamped by the system; 0 leaves the system default.
    int ReceiveBufferBytes = 8 * 1024 * 1024;

  private:
    friend class TIdUDPListenerThread;

    void Activate();
    void Deactivate();
    void CloseAllBindings();
    void Deliver(TIdMemoryStream& AData, TIdSocketHandle& ABinding);
    void RunOnMainThread(const std::function<void()>& Call);
    void ThrowIfCalledFromHandler() const;

    TIdSocketHandles FBindings;
    std::atomic<TIdSocketHandle*> FCurrentBinding{nullptr};
    std::unique_ptr<TIdUDPListenerThread> FThread;
    std::mutex FStateLock;  // one activation or deactivation at a time

    // The thread that runs a handler call right now, and the listener thread itself: switching the
    // component from either would wait for itself.
    std::atomic<std::thread::id> FHandlerThread{};
    std::atomic<std::thread::id> FListenerThreadId{};

    // At most one delivery waits for the main thread at a time, because the listener waits for it.
    struct TMainThreadCall;
    std::mutex FCallLock;
    std::condition_variable FCallChanged;
    TMainThreadCall* FPendingCall = nullptr;
    bool FListenerEnded = false;
};
