#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "support/Seams.h"
#include "support/TextFiles.h"

// The one clock double. It shows Time and moves on by Step seconds after every reading, so code
// that reads the clock more than once sees time pass. With ThrowOnReading > 0 that reading (counting
// from 1) throws std::runtime_error(Message) instead and the time stays: any time source failing
// just where the product asks it.
class FakeClock : public brix32::Clock {
  public:
    explicit FakeClock(brix32::TDateTime Start = 46000.5, double StepSeconds = 0) : Time(Start), Step(StepSeconds) {}
    brix32::TDateTime Now() override {
        if (++Readings == ThrowOnReading) throw std::runtime_error(Message);
        const brix32::TDateTime now = Time;
        Time += Step / 86400.0;
        return now;
    }
    // The same instant as an epoch count, read as UTC; not counted as a reading of Now.
    std::int64_t EpochMicroseconds() override {
        constexpr double kUnixEpoch = 25569.0;  // 1970-01-01 as a TDateTime
        return static_cast<std::int64_t>((Time - kUnixEpoch) * 86400.0 * 1e6 + 0.5);
    }
    void Advance(double Seconds) { Time += Seconds / 86400.0; }

    brix32::TDateTime Time;
    double Step;
    int Readings = 0;
    int ThrowOnReading = 0;
    std::string Message = "clock fault";
};

// Writes for real until Budget bytes have gone out, then fails as a full disk does: the write that
// crosses the budget goes out in part, the next fails with ENOSPC.
class FullDiskOutput : public brix32::FileOutput {
  public:
    explicit FullDiskOutput(std::size_t BudgetBytes) : Budget(BudgetBytes) {}
    long Write(int Fd, const char* Data, std::size_t Size) override {
        if (Budget == 0) {
            errno = ENOSPC;
            return -1;
        }
        const std::size_t n = Size < Budget ? Size : Budget;
        const long written = brix32::SystemFileOutput().Write(Fd, Data, n);
        if (written > 0) Budget -= static_cast<std::size_t>(written);
        ++Calls;
        return written;
    }

    std::size_t Budget;
    int Calls = 0;
};

// A disk with room for Capacity bytes of the file being written: a write takes what still fits and
// the next fails with ENOSPC, and cutting the file back frees its room again.
class SmallDiskOutput : public brix32::FileOutput {
  public:
    explicit SmallDiskOutput(long CapacityBytes) : Capacity(CapacityBytes) {}
    long Write(int Fd, const char* Data, std::size_t Size) override {
        struct stat now {};
        if (::fstat(Fd, &now) != 0) return -1;
        const long room = Capacity - static_cast<long>(now.st_size);
        if (room <= 0) {
            errno = ENOSPC;
            return -1;
        }
        const std::size_t n = Size < static_cast<std::size_t>(room) ? Size : static_cast<std::size_t>(room);
        return brix32::SystemFileOutput().Write(Fd, Data, n);
    }

    long Capacity;
};
