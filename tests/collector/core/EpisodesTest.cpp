// Losses reported once when they start and once when they end, from counter readings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "DailyCsvWriter.h"
#include "Episodes.h"
#include "FlowLines.h"
#include "RateMeter.h"
#include "ScratchDirectory.h"
#include "SeamDoubles.h"

namespace {

class EpisodesTest : public ::testing::Test {
  protected:
    // One tick of the timer: the time moves on by a quarter second unless told otherwise.
    std::vector<std::string> Tick(std::int64_t AdvanceMs = 250) {
        Sample.NowMs += AdvanceMs;
        std::vector<std::string> reports;
        Watch.Update(Sample, reports);
        return reports;
    }

    Episodes Watch;
    tProblemSample Sample;
};

using Lines = std::vector<std::string>;

}  // namespace

TEST_F(EpisodesTest, FailedCsvWritesReportOnceAtTheStartAndOnceAtTheEnd) {
    Sample.CsvLinesWritten = 500;
    EXPECT_EQ(Tick(), Lines{});

    Sample.CsvLinesLost = 30;
    Sample.CsvErrno = ENOSPC;
    Sample.CsvFileName = "NetFlow-20240101.csv";
    EXPECT_EQ(Tick(), Lines{"CSV file cannot be written: No space left on device (file NetFlow-20240101.csv)"});
    EXPECT_EQ(Watch.Current(), "CSV file cannot be written: No space left on device \u2014 30 lines lost");

    // Still failing: the count grows in the status text, and nothing more is reported.
    for (int i = 0; i < 40; ++i) {
        Sample.CsvLinesLost += 30;
        EXPECT_EQ(Tick(), Lines{});
    }
    EXPECT_EQ(Watch.Current(), "CSV file cannot be written: No space left on device \u2014 1,230 lines lost");

    Sample.CsvLinesWritten += 30;
    EXPECT_EQ(Tick(), Lines{"CSV file written again: 1,230 lines lost"});
    EXPECT_EQ(Watch.Current(), "");
    EXPECT_EQ(Tick(), Lines{});

    // A second run is a second episode, counted from its own start.
    Sample.CsvLinesLost += 2;
    Sample.CsvErrno = EACCES;
    EXPECT_EQ(Tick(), Lines{"CSV file cannot be written: Permission denied (file NetFlow-20240101.csv)"});
    EXPECT_EQ(Watch.Current(), "CSV file cannot be written: Permission denied \u2014 2 lines lost");
}

TEST_F(EpisodesTest, ALineWrittenInTheSameTickAsALossDoesNotEndTheRun) {
    Sample.CsvLinesLost = 1;
    EXPECT_EQ(Tick().size(), 1u);
    Sample.CsvLinesLost = 2;
    Sample.CsvLinesWritten = 1;
    EXPECT_EQ(Tick(), Lines{});
    EXPECT_FALSE(Watch.Current().empty());
    // Without traffic nothing more is lost; after a quiet minute the run is over.
    EXPECT_EQ(Tick(Episodes::kCsvQuietMs - 1), Lines{});
    EXPECT_EQ(Tick(1), Lines{"CSV file written again: 2 lines lost"});
}

TEST_F(EpisodesTest, KernelDropsAndCutsAreBurstsThatEndAfterAQuietSpell) {
    Sample.KernelDrops = 1500;
    EXPECT_EQ(Tick(), Lines{"Kernel drops datagrams: the receive buffer is full"});
    Sample.KernelDrops = 2234;
    EXPECT_EQ(Tick(), Lines{});
    EXPECT_EQ(Watch.Current(), "Kernel drops datagrams \u2014 2,234 lost");

    Sample.BoundCuts = 3;
    EXPECT_EQ(Tick(), Lines{"Datagrams cut by the bounds on work per datagram"});
    // The latest problem to start is the one shown.
    EXPECT_EQ(Watch.Current(), "Datagrams cut by the bounds \u2014 3 cut");

    EXPECT_EQ(Tick(Episodes::kBurstQuietMs - 500), Lines{});
    EXPECT_EQ(Tick(250), Lines{"Kernel drops ended: 2,234 datagrams lost"});
    EXPECT_EQ(Watch.Current(), "Datagrams cut by the bounds \u2014 3 cut");
    EXPECT_EQ(Tick(250), Lines{"Cuts ended: 3 datagrams cut"});
    EXPECT_EQ(Watch.Current(), "");
}

// Headless, the episode lines on standard error are all an operator sees of datagrams too long for
// the listener's buffer.
TEST_F(EpisodesTest, OversizeDatagramsAreABurstOfTheirOwn) {
    Sample.OversizeDropped = 2;
    EXPECT_EQ(Tick(), Lines{"Oversize datagrams dropped: longer than the listener's buffer"});
    EXPECT_EQ(Watch.Current(), "Oversize datagrams dropped \u2014 2 lost");
    Sample.KernelDrops = 10;
    EXPECT_EQ(Tick(), Lines{"Kernel drops datagrams: the receive buffer is full"});
    Sample.OversizeDropped = 1'502;
    EXPECT_EQ(Tick(), Lines{});
    EXPECT_EQ(Watch.Current(), "Kernel drops datagrams \u2014 10 lost");

    EXPECT_EQ(Tick(Episodes::kBurstQuietMs - 250), Lines{"Kernel drops ended: 10 datagrams lost"});
    EXPECT_EQ(Watch.Current(), "Oversize datagrams dropped \u2014 1,502 lost");
    EXPECT_EQ(Tick(250), Lines{"Oversize drops ended: 1,502 datagrams lost"});
    EXPECT_EQ(Watch.Current(), "");

    Sample.OversizeDropped = 1'503;
    EXPECT_EQ(Tick(), Lines{"Oversize datagrams dropped: longer than the listener's buffer"});
    EXPECT_EQ(Watch.Current(), "Oversize datagrams dropped \u2014 1 lost");
}

class CsvEpisodeTest : public ScratchDirectoryTest {};

// A FIFO planted as today's file once hung the listener in open() for good, silently. It is a
// failing CSV file like any other: lines counted as lost, the reason kept for the episode.
TEST_F(CsvEpisodeTest, AFifoPlantedAsTodaysFileIsALossNotAHang) {
    FakeClock clock;
    CollectorCounters counters;
    DailyCsvWriter writer(clock, counters);
    const std::string name = flowlines::DailyFileName(clock.Time);
    ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
    ::alarm(20);  // a regression would block in open()
    writer.Add("1,2,3\r\n");
    writer.Add("4,5,6\r\n");
    writer.Flush();
    ::alarm(0);
    EXPECT_EQ(counters.CsvLinesLost.Get(), 2u);
    EXPECT_EQ(counters.CsvLinesWritten.Get(), 0u);
    const LastWriteFailure::tValue failure = counters.CsvFailure.Load();
    EXPECT_EQ(failure.Errno, ENXIO);
    EXPECT_EQ(failure.FileName, name);

    Episodes watch;
    tProblemSample sample;
    sample.CsvLinesLost = counters.CsvLinesLost.Get();
    sample.CsvErrno = failure.Errno;
    sample.CsvFileName = failure.FileName;
    std::vector<std::string> reports;
    watch.Update(sample, reports);
    EXPECT_EQ(reports, Lines{"CSV file cannot be written: Not a regular file (file " + name + ")"});
    EXPECT_EQ(watch.Current(), "CSV file cannot be written: Not a regular file \u2014 2 lines lost");
}

TEST_F(EpisodesTest, NumbersUseTheSeparatorGiven) {
    Episodes watch(".");
    tProblemSample sample;
    sample.KernelDrops = 1234567;
    std::vector<std::string> reports;
    watch.Update(sample, reports);
    EXPECT_EQ(watch.Current(), "Kernel drops datagrams \u2014 1.234.567 lost");
}

TEST(RateMeter, RateOverTheLastSecondsOfReadings) {
    RateMeter rate;
    EXPECT_EQ(rate.PerSecond(), 0.0);
    rate.Add(0, 0);
    EXPECT_EQ(rate.PerSecond(), 0.0);
    for (int t = 250; t <= 10000; t += 250) rate.Add(t, static_cast<std::uint64_t>(t) * 2);  // 2000 per second
    EXPECT_DOUBLE_EQ(rate.PerSecond(), 2000.0);
    // It stops: within the window the rate falls, after it the rate is 0.
    rate.Add(11000, 20000);
    EXPECT_LT(rate.PerSecond(), 2000.0);
    for (int t = 11250; t <= 14500; t += 250) rate.Add(t, 20000);
    EXPECT_EQ(rate.PerSecond(), 0.0);
}

TEST_F(EpisodesTest, CutsSayHowManyFlowsTheyLostAndLateDataLossIsAnEpisode) {
    Sample.BoundCuts = 1;
    Sample.FlowsDroppedByBounds = 40;
    EXPECT_EQ(Tick(), Lines{"Datagrams cut by the bounds on work per datagram"});
    Sample.BoundCuts = 2;
    Sample.FlowsDroppedByBounds = 70;
    Tick();
    Sample.NowMs += Episodes::kBurstQuietMs + 1;
    EXPECT_EQ(Tick(), Lines{"Cuts ended: 2 datagrams cut, 70 flows lost"});

    Sample.LateDataLost = 3;
    EXPECT_EQ(Tick(), Lines{"Data sets lost waiting for their template"});
    Sample.NowMs += Episodes::kBurstQuietMs + 1;
    EXPECT_EQ(Tick(), Lines{"Losses of data waiting for its template ended: 3 data sets lost"});
}
