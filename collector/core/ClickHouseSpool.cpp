#include "ClickHouseSpool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "ClickHouseSchema.h"

namespace clickhouse {

namespace {

// The rows' layout is part of the header: a spool left by a program with other columns is set
// aside instead of being sent into a table it does not fit.
constexpr char kMagic[8] = {'N', 'F', 'C', 'R', 'O', 'W', 'S', '1'};
constexpr std::size_t kHeaderSize = 32;
// Room before the first batch for batches that go before it.
constexpr std::uint64_t kFirstSequence = 1ULL << 40;
constexpr const char* kSuffix = ".rows";

struct Header {
    std::uint32_t RowSize = 0;
    std::uint64_t Flows = 0;
    std::int64_t FirstReceivedMs = 0;
};

std::string EncodeHeader(const RowBatch& Batch) {
    std::string header(kMagic, sizeof kMagic);
    const auto put = [&header](std::uint64_t Value, int Bytes) {
        for (int i = 0; i < Bytes; ++i) header += static_cast<char>((Value >> (8 * i)) & 0xff);
    };
    put(RowSize(), 4);
    put(0, 4);
    put(Batch.Flows, 8);
    put(static_cast<std::uint64_t>(Batch.FirstReceivedMs), 8);
    return header;
}

bool DecodeHeader(const unsigned char* Bytes, Header& Out) {
    if (std::memcmp(Bytes, kMagic, sizeof kMagic) != 0) return false;
    const auto get = [Bytes](std::size_t At, int Count) {
        std::uint64_t value = 0;
        for (int i = Count - 1; i >= 0; --i) value = (value << 8) | Bytes[At + static_cast<std::size_t>(i)];
        return value;
    };
    Out.RowSize = static_cast<std::uint32_t>(get(8, 4));
    Out.Flows = get(16, 8);
    Out.FirstReceivedMs = static_cast<std::int64_t>(get(24, 8));
    return true;
}

bool WriteAll(int Fd, const char* Data, std::size_t Size) {
    while (Size > 0) {
        const ssize_t written = ::write(Fd, Data, Size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        Data += written;
        Size -= static_cast<std::size_t>(written);
    }
    return true;
}

// The whole file, or false.
bool ReadAll(const std::string& Path, std::string& Out) {
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        ::close(fd);
        return false;
    }
    Out.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < Out.size()) {
        const ssize_t got = ::read(fd, Out.data() + done, Out.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return done == Out.size();
}

}  // namespace

Spool::Spool(std::string Folder, std::uint64_t MaxBytes, std::function<void(const std::string&)> Say)
    : Folder_(std::move(Folder)), MaxBytes_(MaxBytes), Say_(std::move(Say)) {
    if (!Folder_.empty() && Folder_.back() != '/') Folder_ += '/';
}

std::string Spool::PathOf(std::uint64_t Sequence) const {
    char name[32];
    std::snprintf(name, sizeof name, "%020" PRIu64, Sequence);
    return Folder_ + name + kSuffix;
}

void Spool::SetAside(const std::string& Path, const std::string& Why) {
    std::error_code ignored;
    std::filesystem::rename(Path, Path + ".bad", ignored);
    if (Say_) Say_("ClickHouse: " + Path + " set aside: " + Why);
}

bool Spool::Open(std::string& Error) {
    std::error_code error;
    std::filesystem::create_directories(Folder_, error);
    if (error) {
        Error = "cannot make " + Folder_ + ": " + error.message();
        return false;
    }
    std::vector<std::pair<std::uint64_t, std::string>> found;
    for (const auto& entry : std::filesystem::directory_iterator(Folder_, error)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".tmp")) {
            // A batch whose writing was cut off: it was never taken from the batch being sent.
            std::filesystem::remove(entry.path(), error);
            continue;
        }
        if (!name.ends_with(kSuffix) || name.size() != 20 + std::strlen(kSuffix)) continue;
        const std::string digits = name.substr(0, 20);
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        found.emplace_back(std::stoull(digits), entry.path().string());
    }
    if (error) {
        Error = "cannot read " + Folder_ + ": " + error.message();
        return false;
    }
    std::sort(found.begin(), found.end());
    Files_.clear();
    Bytes_ = Flows_ = 0;
    for (const auto& [sequence, path] : found) {
        unsigned char bytes[kHeaderSize];
        Header header;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        const bool read = fd >= 0 && ::fstat(fd, &info) == 0 && ::read(fd, bytes, kHeaderSize) == kHeaderSize;
        if (fd >= 0) ::close(fd);
        const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
        if (!read || !DecodeHeader(bytes, header) || header.RowSize != RowSize() ||
            size != kHeaderSize + header.Flows * header.RowSize) {
            SetAside(path, "not a whole batch of this program's rows");
            continue;
        }
        Files_.push_back({sequence, size, header.Flows, header.FirstReceivedMs});
        Bytes_ += size;
        Flows_ += header.Flows;
    }
    return true;
}

bool Spool::Write(std::uint64_t Sequence, const RowBatch& Batch) {
    const std::string path = PathOf(Sequence);
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string header = EncodeHeader(Batch);
    const bool written =
        WriteAll(fd, header.data(), header.size()) && WriteAll(fd, Batch.Rows.data(), Batch.Rows.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool Spool::PushBack(const RowBatch& Batch) {
    const std::uint64_t size = kHeaderSize + Batch.Rows.size();
    if (Bytes_ + size > MaxBytes_) return false;
    const std::uint64_t sequence = Files_.empty() ? kFirstSequence : Files_.back().Sequence + 1;
    if (!Write(sequence, Batch)) return false;
    Files_.push_back({sequence, size, Batch.Flows, Batch.FirstReceivedMs});
    Bytes_ += size;
    Flows_ += Batch.Flows;
    return true;
}

bool Spool::PushFront(const RowBatch& Batch) {
    const std::uint64_t size = kHeaderSize + Batch.Rows.size();
    if (Bytes_ + size > MaxBytes_) return false;
    const std::uint64_t sequence = Files_.empty() ? kFirstSequence : Files_.front().Sequence - 1;
    if (sequence == 0 || !Write(sequence, Batch)) return false;
    Files_.push_front({sequence, size, Batch.Flows, Batch.FirstReceivedMs});
    Bytes_ += size;
    Flows_ += Batch.Flows;
    return true;
}

bool Spool::Front(RowBatch& Out) {
    while (!Files_.empty()) {
        const File& file = Files_.front();
        const std::string path = PathOf(file.Sequence);
        std::string content;
        if (ReadAll(path, content) && content.size() == file.Bytes) {
            Out.Rows.assign(content, kHeaderSize, std::string::npos);
            Out.Flows = file.Flows;
            Out.FirstReceivedMs = file.FirstReceivedMs;
            return true;
        }
        SetAside(path, "changed or gone since it was written");
        Bytes_ -= file.Bytes;
        Flows_ -= file.Flows;
        Files_.pop_front();
    }
    return false;
}

void Spool::PopFront() {
    if (Files_.empty()) return;
    ::unlink(PathOf(Files_.front().Sequence).c_str());
    Bytes_ -= Files_.front().Bytes;
    Flows_ -= Files_.front().Flows;
    Files_.pop_front();
}

}  // namespace clickhouse
