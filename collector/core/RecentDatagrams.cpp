#include "RecentDatagrams.h"

#include <algorithm>
#include <chrono>
#include <cstring>

RecentDatagrams::RecentDatagrams(std::size_t MaxDatagrams, std::size_t MaxBytes)
    : MaxBytes_(MaxBytes),
      Ring_(new char[std::max<std::size_t>(MaxBytes, 1)]),
      Entries_(std::max<std::size_t>(MaxDatagrams, 1)) {}

void RecentDatagrams::DropOldest() {
    BytesKept_ -= Oldest().Size;
    First_ = (First_ + 1) % Entries_.size();
    --Count_;
}

// Each datagram lies whole at one place of the ring; one that does not fit before the ring's end
// starts again at its beginning. The datagrams lying after the write position are the oldest ones, so
// dropping from the oldest while they are in the way frees exactly the room needed.
void RecentDatagrams::Add(const char* Data, std::size_t Size, std::uint32_t SenderAddress, std::uint16_t SenderPort,
                          std::int64_t ArrivalUs) {
    if (Size > MaxBytes_) return;
    const std::lock_guard<std::mutex> Guard(Lock_);
    if (Count_ == Entries_.size()) DropOldest();
    std::size_t At = Head_;
    const bool bWrap = Size > MaxBytes_ - At;
    if (bWrap) {
        // The ones between the write position and the end are older than any at the beginning.
        while (Count_ > 0 && Oldest().Offset >= Head_) DropOldest();
        At = 0;
    }
    while (Count_ > 0 && Oldest().Offset < At + Size && Oldest().Offset + Oldest().Size > At) DropOldest();
    if (Size > 0) std::memcpy(Ring_.get() + At, Data, Size);
    Entries_[(First_ + Count_) % Entries_.size()] = tEntry{At, Size, SenderAddress, SenderPort, ArrivalUs};
    ++Count_;
    BytesKept_ += Size;
    Head_ = At + Size;
}

std::vector<tRecentDatagram> RecentDatagrams::Snapshot() const {
    std::vector<tRecentDatagram> Out;
    const std::lock_guard<std::mutex> Guard(Lock_);
    Out.reserve(Count_);
    for (std::size_t i = 0; i < Count_; ++i) {
        const tEntry& E = Entries_[(First_ + i) % Entries_.size()];
        Out.push_back(
            tRecentDatagram{E.SenderAddress, E.SenderPort, E.ArrivalUs, std::string(Ring_.get() + E.Offset, E.Size)});
    }
    return Out;
}

std::size_t RecentDatagrams::Count() const {
    const std::lock_guard<std::mutex> Guard(Lock_);
    return Count_;
}

std::size_t RecentDatagrams::Bytes() const {
    const std::lock_guard<std::mutex> Guard(Lock_);
    return BytesKept_;
}

std::int64_t WallClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
