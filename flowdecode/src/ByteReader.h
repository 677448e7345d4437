#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace netflowlib {

// The one reader for every datagram byte the decoders and the trace look at. Positions count from 1,
// as the decoders' iPtr does, so position p is the 0-based offset p - 1. Nothing here can read past
// the end: callers either ask Has() first, or use the ...Or0 reads, which take a missing byte as 0.
class ByteReader {
  public:
    explicit ByteReader(std::string_view Bytes) : Bytes_(Bytes) {}

    std::int64_t Length() const { return static_cast<std::int64_t>(Bytes_.size()); }

    // True when the Count bytes at positions iPos .. iPos + Count - 1 all lie inside the datagram.
    bool Has(std::int64_t iPos, std::int64_t Count) const {
        return iPos >= 1 && Count >= 0 && iPos - 1 <= Length() - Count;
    }

    // Bytes left from iPos to the end, 0 when iPos lies beyond it.
    std::int64_t Remaining(std::int64_t iPos) const {
        if (iPos < 1) return Length();
        return iPos > Length() ? 0 : Length() - iPos + 1;
    }

    std::uint8_t ByteOr0(std::int64_t iPos) const {
        return Has(iPos, 1) ? static_cast<std::uint8_t>(Bytes_[static_cast<std::size_t>(iPos - 1)]) : 0;
    }

    std::uint16_t U16Or0(std::int64_t iPos) const {
        if (Has(iPos, 2)) return static_cast<std::uint16_t>((At(iPos) << 8) | At(iPos + 1));
        return static_cast<std::uint16_t>((ByteOr0(iPos) << 8) | ByteOr0(iPos + 1));
    }

    std::uint32_t U32Or0(std::int64_t iPos) const {
        if (Has(iPos, 4)) {
            return (std::uint32_t{At(iPos)} << 24) | (std::uint32_t{At(iPos + 1)} << 16) |
                   (std::uint32_t{At(iPos + 2)} << 8) | std::uint32_t{At(iPos + 3)};
        }
        return (std::uint32_t{ByteOr0(iPos)} << 24) | (std::uint32_t{ByteOr0(iPos + 1)} << 16) |
               (std::uint32_t{ByteOr0(iPos + 2)} << 8) | std::uint32_t{ByteOr0(iPos + 3)};
    }

    // Big-endian value of the Count (0 to 4) bytes at iPos; missing bytes count as 0.
    std::uint32_t UintOr0(std::int64_t iPos, int Count) const {
        std::uint32_t Value = 0;
        for (int i = 0; i < Count; ++i) Value = (Value << 8) | ByteOr0(iPos + i);
        return Value;
    }

    // The bytes from iPos on, at most Count of them; empty when iPos lies beyond the end.
    std::string_view View(std::int64_t iPos, std::int64_t Count) const {
        if (iPos < 1 || Count <= 0 || iPos > Length()) return {};
        return Bytes_.substr(static_cast<std::size_t>(iPos - 1), static_cast<std::size_t>(Count));
    }

  private:
    // Only after Has() said yes.
    std::uint8_t At(std::int64_t iPos) const {
        return static_cast<std::uint8_t>(Bytes_[static_cast<std::size_t>(iPos - 1)]);
    }

    std::string_view Bytes_;
};

}  // namespace netflowlib
