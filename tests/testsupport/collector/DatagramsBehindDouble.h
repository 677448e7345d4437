#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "DatagramsBehind.h"

// What a test says waits behind a datagram: the later datagrams of its batch, or, for the last of
// a batch, the one still queued in the kernel.
class FakeBehind : public DatagramsBehind {
  public:
    FakeBehind() = default;
    explicit FakeBehind(std::vector<std::string> Later, bool InSameBatch = true)
        : Later_(std::move(Later)), InSameBatch_(InSameBatch) {}
    // A version 9 datagram follows, or nothing does.
    static FakeBehind Version9(bool Follows) {
        return Follows ? FakeBehind({std::string("\x00\x09\x00\x01", 4)}) : FakeBehind();
    }

    bool LaterDatagramQueued() const override { return InSameBatch_ && !Later_.empty(); }
    bool AnyLaterQueued(HeadTest Test) const override {
        for (const std::string& d : Later_) {
            const auto* head = reinterpret_cast<const unsigned char*>(d.data());
            if (Test(head, std::min(d.size(), kHeadBytes), d.size())) return true;
        }
        return false;
    }

  private:
    std::vector<std::string> Later_;
    bool InSameBatch_ = true;
};
