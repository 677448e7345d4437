#pragma once

// The last datagrams the collector received, kept so that the operator can hand them to someone as a
// capture file. Written by the listener thread for every datagram; copied out rarely, on request.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct tRecentDatagram {
    std::uint32_t SenderAddress = 0;  // IPv4, host order
    std::uint16_t SenderPort = 0;
    std::int64_t ArrivalUs = 0;  // wall clock, microseconds since 1970
    std::string Bytes;
};

class RecentDatagrams {
  public:
    static constexpr std::size_t kDefaultMaxDatagrams = 10'000;
    static constexpr std::size_t kDefaultMaxBytes = 16 * 1024 * 1024;

    explicit RecentDatagrams(std::size_t MaxDatagrams = kDefaultMaxDatagrams, std::size_t MaxBytes = kDefaultMaxBytes);
    RecentDatagrams(const RecentDatagrams&) = delete;
    RecentDatagrams& operator=(const RecentDatagrams&) = delete;

    // Listener thread. Never allocates: the lock is held for one copy into a ring made up front, the
    // oldest datagrams making room. A datagram larger than the whole ring is not kept.
    void Add(const char* Data, std::size_t Size, std::uint32_t SenderAddress, std::uint16_t SenderPort,
             std::int64_t ArrivalUs);

    // Any thread: every datagram kept, oldest first.
    std::vector<tRecentDatagram> Snapshot() const;
    std::size_t Count() const;
    std::size_t Bytes() const;

  private:
    struct tEntry {
        std::size_t Offset = 0;
        std::size_t Size = 0;
        std::uint32_t SenderAddress = 0;
        std::uint16_t SenderPort = 0;
        std::int64_t ArrivalUs = 0;
    };

    void DropOldest();
    const tEntry& Oldest() const { return Entries_[First_]; }

    const std::size_t MaxBytes_;
    std::unique_ptr<char[]> Ring_;  // not touched (so not resident) until written
    std::vector<tEntry> Entries_;   // a ring of MaxDatagrams entries
    mutable std::mutex Lock_;
    std::size_t First_ = 0;  // the oldest entry
    std::size_t Count_ = 0;
    std::size_t Head_ = 0;  // where the next datagram's bytes go
    std::size_t BytesKept_ = 0;
};

// Microseconds since 1970 on the system clock, for ArrivalUs.
std::int64_t WallClockUs();
