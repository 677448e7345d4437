#pragma once

#include <cstddef>

// What waits behind the datagram a handler is given, as the listener sees it. The listener knows
// nothing of what the datagrams mean; a handler that would do less work for a datagram soon
// followed by a similar one asks through a test of its own on the first bytes.
class DatagramsBehind {
  public:
    // Head holds the datagram's first HeadLength bytes (at most kHeadBytes); Length is its whole length.
    using HeadTest = bool (*)(const unsigned char* Head, std::size_t HeadLength, std::size_t Length);
    static constexpr std::size_t kHeadBytes = 4;

    virtual ~DatagramsBehind() = default;
    // Whether another datagram of the same receive batch follows this one.
    virtual bool LaterDatagramQueued() const = 0;
    // Whether Test holds for a later datagram of the same batch or, for the last datagram of a
    // batch, for the next one still queued in the kernel (looked at, not taken).
    virtual bool AnyLaterQueued(HeadTest Test) const = 0;
};

// A datagram handed over on its own, with nothing known behind it.
class NothingBehind : public DatagramsBehind {
  public:
    bool LaterDatagramQueued() const override { return false; }
    bool AnyLaterQueued(HeadTest) const override { return false; }
};
