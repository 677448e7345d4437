#include "DailyCsvWriter.h"

#include <cerrno>

#include "FlowLines.h"

DailyCsvWriter::DailyCsvWriter(brix32::Clock& Clock, CollectorCounters& Counters, brix32::FileOutput& Output)
    : Clock_(Clock), Counters_(Counters), Output_(Output) {
    Pending_.reserve(4096);
}

void DailyCsvWriter::Add(const std::string& Line) {
    const brix32::TDateTime now = Clock_.Now();
    const std::int64_t day = brix32::DayNumber(now);
    if (day != Day_ || FileName_.empty()) {
        // The lines gathered so far belong to the day that just ended.
        Flush();
        FileName_ = flowlines::DailyFileName(now);
        Day_ = day;
    }
    Pending_.append(Line);
    ++PendingLines_;
}

void DailyCsvWriter::Flush() {
    if (PendingLines_ == 0) return;
    if (brix32::AppendWhole(Pending_, FileName_, Output_)) {
        Counters_.CsvLinesWritten.Add(PendingLines_);
    } else {
        // The reason first: whoever sees the loss grow finds why beside it.
        Counters_.CsvFailure.Store(errno, FileName_);
        Counters_.CsvLinesLost.Add(PendingLines_);
    }
    Pending_.clear();
    PendingLines_ = 0;
}
