#include "Episodes.h"

#include <utility>

#include "support/TextFiles.h"

Episodes::Episodes(std::string ThousandsSeparator) : Separator_(std::move(ThousandsSeparator)) {}

std::string Episodes::Number(std::uint64_t Value) const {
    const std::string digits = std::to_string(Value);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += Separator_;
        out += digits[i];
    }
    return out;
}

std::string Episodes::CsvReason() const {
    if (CsvErrno_ == 0) return "reason unknown";
    return brix32::OutputErrorText(CsvErrno_);
}

Episodes::Change Episodes::Follow(Run& Episode, std::uint64_t Value, std::int64_t NowMs, std::int64_t QuietMs,
                                  bool EndsNow) {
    const bool rose = Value > Episode.Latest;
    const std::uint64_t before = Episode.Latest;
    Episode.Latest = Value;
    if (rose) {
        Episode.LastRiseMs = NowMs;
        if (Episode.Open) return Change::None;
        Episode.Open = true;
        Episode.AtStart = before;
        Episode.Order = ++Started_;
        return Change::Started;
    }
    if (Episode.Open && (EndsNow || NowMs - Episode.LastRiseMs >= QuietMs)) {
        Episode.Open = false;
        return Change::Ended;
    }
    return Change::None;
}

void Episodes::Update(const tProblemSample& Sample, std::vector<std::string>& Reports) {
    // A line written since the last sample with none lost means the file takes lines again.
    const bool written = Sample.CsvLinesWritten > LastWritten_;
    LastWritten_ = Sample.CsvLinesWritten;
    const bool csvLost = Sample.CsvLinesLost > Csv_.Latest;
    if (csvLost) {
        CsvErrno_ = Sample.CsvErrno;
        CsvFileName_ = Sample.CsvFileName;
    }
    switch (Follow(Csv_, Sample.CsvLinesLost, Sample.NowMs, kCsvQuietMs, written && !csvLost)) {
        case Change::Started:
            Reports.push_back("CSV file cannot be written: " + CsvReason() + " (file " + CsvFileName_ + ")");
            break;
        case Change::Ended:
            Reports.push_back("CSV file written again: " + Number(Csv_.Latest - Csv_.AtStart) + " lines lost");
            break;
        case Change::None:
            break;
    }
    switch (Follow(Kernel_, Sample.KernelDrops, Sample.NowMs, kBurstQuietMs, false)) {
        case Change::Started:
            Reports.push_back("Kernel drops datagrams: the receive buffer is full");
            break;
        case Change::Ended:
            Reports.push_back("Kernel drops ended: " + Number(Kernel_.Latest - Kernel_.AtStart) + " datagrams lost");
            break;
        case Change::None:
            break;
    }
    switch (Follow(Cuts_, Sample.BoundCuts, Sample.NowMs, kBurstQuietMs, false)) {
        case Change::Started:
            Reports.push_back("Datagrams cut by the bounds on work per datagram");
            FlowsDroppedAtCutStart_ = FlowsDropped_;
            break;
        case Change::Ended: {
            // The flows a cut left undecoded are lost: say how many, not only how many datagrams.
            std::string line = "Cuts ended: " + Number(Cuts_.Latest - Cuts_.AtStart) + " datagrams cut";
            if (Sample.FlowsDroppedByBounds > FlowsDroppedAtCutStart_)
                line += ", " + Number(Sample.FlowsDroppedByBounds - FlowsDroppedAtCutStart_) + " flows lost";
            Reports.push_back(line);
            break;
        }
        case Change::None:
            break;
    }
    FlowsDropped_ = Sample.FlowsDroppedByBounds;
    switch (Follow(LateLost_, Sample.LateDataLost, Sample.NowMs, kBurstQuietMs, false)) {
        case Change::Started:
            Reports.push_back("Data sets lost waiting for their template");
            break;
        case Change::Ended:
            Reports.push_back("Losses of data waiting for its template ended: " +
                              Number(LateLost_.Latest - LateLost_.AtStart) + " data sets lost");
            break;
        case Change::None:
            break;
    }
    switch (Follow(Oversize_, Sample.OversizeDropped, Sample.NowMs, kBurstQuietMs, false)) {
        case Change::Started:
            Reports.push_back("Oversize datagrams dropped: longer than the listener's buffer");
            break;
        case Change::Ended:
            Reports.push_back("Oversize drops ended: " + Number(Oversize_.Latest - Oversize_.AtStart) +
                              " datagrams lost");
            break;
        case Change::None:
            break;
    }
}

std::string Episodes::Current() const {
    const Run* latest = nullptr;
    for (const Run* run : {&Csv_, &Kernel_, &Cuts_, &Oversize_, &LateLost_}) {
        if (run->Open && (latest == nullptr || run->Order > latest->Order)) latest = run;
    }
    if (latest == nullptr) return std::string();
    const std::string count = Number(latest->Latest - latest->AtStart);
    // The dash is UTF-8; the views take these texts as UTF-8.
    if (latest == &Csv_) return "CSV file cannot be written: " + CsvReason() + " \u2014 " + count + " lines lost";
    if (latest == &Kernel_) return "Kernel drops datagrams \u2014 " + count + " lost";
    if (latest == &Oversize_) return "Oversize datagrams dropped \u2014 " + count + " lost";
    if (latest == &LateLost_) return "Data lost waiting for its template \u2014 " + count + " data sets";
    return "Datagrams cut by the bounds \u2014 " + count + " cut";
}
