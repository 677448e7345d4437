#include "DailyCsvWriter.h"

#include <cerrno>

#include "FlowLines.h"

namespace {

constexpr double kMsPerDay = 86400000.0;
constexpr double kSafeMsBeforeMidnight = 1000.0;

}  // namespace

DailyCsvWriter::DailyCsvWriter(brix32::Clock& Clock, CollectorCounters& Counters, brix32::FileOutput& Output)
    : Clock_(Clock), Counters_(Counters), Output_(Output) {
    Pending_.reserve(64 * 1024);
    Pieces_.reserve(64);
}

void DailyCsvWriter::Add(const std::string& Line) {
    // One reading of the clock per datagram: its lines are made within microseconds of each
    // other. Within a second of midnight every line reads it, so that a datagram handled across
    // midnight still splits between the two files.
    if (!DayKnown_) {
        const brix32::TDateTime now = Clock_.Now();
        // The day's bounds are those of DayNumber, which rounds to the millisecond first; the
        // clock can also be set back, hence the lower bound.
        const double ms = now * kMsPerDay;
        if (FileName_.empty() || ms < DayStartMs_ || ms >= DayStartMs_ + kMsPerDay) {
            const std::int64_t day = brix32::DayNumber(now);
            if (day != Day_ || FileName_.empty()) {
                // The lines gathered so far belong to the day that just ended.
                Flush();
                FileName_ = flowlines::DailyFileName(now);
                Day_ = day;
            }
            DayStartMs_ = static_cast<double>(day) * kMsPerDay - 0.5;
        }
        DayKnown_ = DayStartMs_ + kMsPerDay - ms > kSafeMsBeforeMidnight;
    }
    Pending_.append(Line);
    ++PendingLines_;
    ++PieceLines_;
}

void DailyCsvWriter::EndDatagram() {
    DayKnown_ = false;
    if (PieceLines_ == 0) return;
    Pieces_.push_back({Pending_.size(), PieceLines_});
    PieceLines_ = 0;
}

bool DailyCsvWriter::Append(const char* Text, std::size_t Size, std::uint64_t Lines) {
    if (brix32::AppendWhole(std::string_view(Text, Size), FileName_, Output_)) {
        Counters_.CsvLinesWritten.Add(Lines);
        return true;
    }
    // The reason first: whoever sees the loss grow finds why beside it.
    Counters_.CsvFailure.Store(errno, FileName_);
    Counters_.CsvLinesLost.Add(Lines);
    return false;
}

void DailyCsvWriter::Flush() {
    if (PendingLines_ == 0) return;
    EndDatagram();
    // One append for every datagram gathered; should it fail, the file is as it was and each
    // datagram gets its own chance.
    if (Pieces_.size() > 1 && brix32::AppendWhole(Pending_, FileName_, Output_)) {
        Counters_.CsvLinesWritten.Add(PendingLines_);
    } else {
        std::size_t begin = 0;
        for (const Piece& piece : Pieces_) {
            Append(Pending_.data() + begin, piece.End - begin, piece.Lines);
            begin = piece.End;
        }
    }
    Pending_.clear();
    PendingLines_ = 0;
    Pieces_.clear();
}
