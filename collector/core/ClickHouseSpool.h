#pragma once

// Batches of rows that could not be sent yet, kept on disk in the order they are to be sent, so
// that neither a server that is away nor a restart of the collector loses them. One file a batch;
// a file appears whole (written aside, then renamed) or not at all.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace clickhouse {

// Rows of the flows table as the server takes them, with what the status needs to know of them.
struct RowBatch {
    std::string Rows;
    std::uint64_t Flows = 0;
    std::int64_t FirstReceivedMs = 0;  // of its oldest flow
};

class Spool {
  public:
    // Folder is made when missing. MaxBytes bounds the files' total size.
    Spool(std::string Folder, std::uint64_t MaxBytes, std::function<void(const std::string&)> Say);

    // Takes up what an earlier run left, oldest first; files that are not whole batches of this
    // program's rows are renamed aside (".bad") and said. False with Error set when the folder
    // cannot be used at all.
    bool Open(std::string& Error);

    // Behind everything kept, or before it (a batch that was due before all of them). False when
    // the batch would pass the bound or cannot be written: it is then not kept.
    bool PushBack(const RowBatch& Batch);
    bool PushFront(const RowBatch& Batch);
    // The oldest batch. False when there is none, or when its file can no longer be read (it is
    // then set aside, and the next one is oldest).
    bool Front(RowBatch& Out);
    void PopFront();

    bool Empty() const { return Files_.empty(); }
    std::uint64_t Bytes() const { return Bytes_; }
    std::uint64_t Flows() const { return Flows_; }
    std::int64_t OldestReceivedMs() const { return Files_.empty() ? 0 : Files_.front().FirstReceivedMs; }
    std::uint64_t MaxBytes() const { return MaxBytes_; }
    const std::string& Folder() const { return Folder_; }

  private:
    struct File {
        std::uint64_t Sequence;
        std::uint64_t Bytes;
        std::uint64_t Flows;
        std::int64_t FirstReceivedMs;
    };
    std::string PathOf(std::uint64_t Sequence) const;
    bool Write(std::uint64_t Sequence, const RowBatch& Batch);
    void SetAside(const std::string& Path, const std::string& Why);

    std::string Folder_;
    std::uint64_t MaxBytes_;
    std::function<void(const std::string&)> Say_;
    std::deque<File> Files_;
    std::uint64_t Bytes_ = 0;
    std::uint64_t Flows_ = 0;
};

}  // namespace clickhouse
