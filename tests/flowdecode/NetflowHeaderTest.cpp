#include <gtest/gtest.h>

#include "Datagrams.h"
#include "DecoderTest.h"
#include "flowdecode/NetflowHeader.h"

using namespace netflowlib;
using fixtures::Hex;

namespace {

const std::string kV9Header = Hex("00 09 | 00 03 | FF FF FF FF | 65 53 F1 00 | 80 00 00 2A | 00 00 01 02");
const std::string kV5Header =
    Hex("00 05 | 00 1E | 00 36 EE 80 | 65 53 F1 00 | 00 00 03 E8 | 80 00 00 07 | 11 22 | 40 64");

// A header record that carries values in every field, as a reused record would.
tNetflowHeader Dirty() {
    tNetflowHeader H;
    H.Version = 77;
    H.FlowSets = 77;
    H.Sys_Uptime = 77;
    H.UnixSeconds = 77;
    H.Unix_NSecs = 77;
    H.Flow_Sequence = 77;
    H.Engine_Type = 77;
    H.Engine_ID = 77;
    H.Source_ID = 77;
    H.Sampling_Interval = 77;
    H.HeaderLength = 77;
    return H;
}

}  // namespace

TEST(DecodeHeader, NeedsMoreThanTwentyBytes) {
    tNetflowHeader H = Dirty();
    DecodeHeader(kV9Header, H);  // exactly 20 bytes: a header with nothing after it
    EXPECT_EQ(H.Version, 0);
    EXPECT_EQ(H.HeaderLength, 0);
    EXPECT_EQ(H.FlowSets, 0);
    EXPECT_EQ(H.Sys_Uptime, 0u);
    EXPECT_EQ(H.Source_ID, 0u);
    EXPECT_EQ(H.Unix_NSecs, 77u) << "fields outside the cleared set stay as passed";

    H = tNetflowHeader{};
    DecodeHeader(kV9Header + Hex("00"), H);
    EXPECT_EQ(H.Version, 9);
    EXPECT_EQ(H.HeaderLength, 20);

    H = Dirty();
    DecodeHeader("", H);
    EXPECT_EQ(H.Version, 0);
}

TEST(DecodeHeader, UnknownVersionsLeaveEveryClearedFieldZero) {
    for (const char* sStart : {"01 05", "00 07", "05 00", "09 00"}) {
        std::string sPacket = kV5Header + Hex("00 00 00 00");
        sPacket.replace(0, 2, Hex(sStart));
        tNetflowHeader H = Dirty();
        DecodeHeader(sPacket, H);
        EXPECT_EQ(H.Version, 0) << sStart;
        EXPECT_EQ(H.FlowSets, 0) << sStart;
        EXPECT_EQ(H.Sys_Uptime, 0u);
        EXPECT_EQ(H.UnixSeconds, 0u);
        EXPECT_EQ(H.Flow_Sequence, 0u);
        EXPECT_EQ(H.Source_ID, 0u);
        EXPECT_EQ(H.HeaderLength, 0);
    }
}

TEST(DecodeHeader, Version9FieldsAreUnsignedAndV5OnlyFieldsUntouched) {
    tNetflowHeader H = Dirty();
    DecodeHeader(kV9Header + Hex("00 00 00 04"), H);
    EXPECT_EQ(H.Version, 9);
    EXPECT_EQ(H.FlowSets, 3);
    EXPECT_EQ(H.Sys_Uptime, 4294967295u);
    EXPECT_EQ(H.UnixSeconds, 1700000000u);
    EXPECT_EQ(H.Flow_Sequence, 2147483690u);
    EXPECT_EQ(H.Source_ID, 258u);
    EXPECT_EQ(H.HeaderLength, 20);
    EXPECT_EQ(H.Unix_NSecs, 77u);
    EXPECT_EQ(H.Engine_Type, 77);
    EXPECT_EQ(H.Engine_ID, 77);
    EXPECT_EQ(H.Sampling_Interval, 77);
}

TEST(DecodeHeader, Version5Fields) {
    tNetflowHeader H = Dirty();
    DecodeHeader(kV5Header + std::string(48, '\0'), H);
    EXPECT_EQ(H.Version, 5);
    EXPECT_EQ(H.FlowSets, 30);
    EXPECT_EQ(H.Sys_Uptime, 3600000u);
    EXPECT_EQ(H.UnixSeconds, 1700000000u);
    EXPECT_EQ(H.Unix_NSecs, 1000u);
    EXPECT_EQ(H.Flow_Sequence, 2147483655u) << "from bytes 16-19";
    EXPECT_EQ(H.Engine_Type, 0x11);
    EXPECT_EQ(H.Engine_ID, 0x22);
    EXPECT_EQ(H.Sampling_Interval, 16484) << "mode bits are not split off";
    EXPECT_EQ(H.Source_ID, 0u) << "whatever it held before";
    EXPECT_EQ(H.HeaderLength, 24);
}

TEST(DecodeHeader, ShortVersion5HeaderTakesMissingBytesAsZero) {
    // 21 to 23 bytes pass the length test but end inside engine type, engine id and sampling.
    const std::string sFull = kV5Header;
    for (std::size_t n = 21; n <= 23; ++n) {
        tNetflowHeader H = Dirty();
        DecodeHeader(sFull.substr(0, n), H);
        EXPECT_EQ(H.Version, 5);
        EXPECT_EQ(H.HeaderLength, 24);
        EXPECT_EQ(H.Engine_Type, 0x11);
        EXPECT_EQ(H.Engine_ID, n >= 22 ? 0x22 : 0) << n;
        EXPECT_EQ(H.Sampling_Interval, n == 23 ? 0x4000 : 0) << n;
    }
}
