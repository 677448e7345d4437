#pragma once

#include <cerrno>
#include <mutex>
#include <string>
#include <string_view>

// Why the latest CSV write failed and on which file. Stored by the listener thread on the failure
// path only, so the lock never touches a datagram that was written; read by the window's timer.
class LastWriteFailure {
  public:
    struct tValue {
        int Errno = 0;
        std::string FileName;
    };

    void Store(int Errno, std::string_view FileName) {
        const std::lock_guard<std::mutex> guard(Lock_);
        Value_.Errno = Errno;
        Value_.FileName.assign(FileName);
    }

    tValue Load() const {
        const std::lock_guard<std::mutex> guard(Lock_);
        return Value_;
    }

  private:
    mutable std::mutex Lock_;
    tValue Value_;
};
