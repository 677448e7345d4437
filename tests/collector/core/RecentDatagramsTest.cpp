#include <gtest/gtest.h>

#include "RecentDatagrams.h"

namespace {

std::string Bytes(std::size_t Size, char Fill) { return std::string(Size, Fill); }

void Add(RecentDatagrams& Recent, const std::string& s, std::uint32_t Address = 0x0A000001, std::int64_t At = 0) {
    Recent.Add(s.data(), s.size(), Address, 2055, At);
}

}  // namespace

TEST(RecentDatagrams, KeepsSenderPortTimeAndBytesOldestFirst) {
    RecentDatagrams Recent;
    Add(Recent, "first", 0xC0000201, 1'700'000'000'000'001);
    Add(Recent, std::string("se\0nd", 5), 0xC0000202, 1'700'000'000'000'002);
    const auto Kept = Recent.Snapshot();
    ASSERT_EQ(Kept.size(), 2u);
    EXPECT_EQ(Kept[0].Bytes, "first");
    EXPECT_EQ(Kept[0].SenderAddress, 0xC0000201u);
    EXPECT_EQ(Kept[0].SenderPort, 2055);
    EXPECT_EQ(Kept[0].ArrivalUs, 1'700'000'000'000'001);
    EXPECT_EQ(Kept[1].Bytes, std::string("se\0nd", 5));
    EXPECT_EQ(Recent.Bytes(), 10u);
}

TEST(RecentDatagrams, BoundOnDatagramsDropsTheOldest) {
    RecentDatagrams Recent(3, 1000);
    for (int i = 0; i < 5; ++i) Add(Recent, Bytes(10, static_cast<char>('a' + i)));
    const auto Kept = Recent.Snapshot();
    ASSERT_EQ(Kept.size(), 3u);
    EXPECT_EQ(Kept[0].Bytes, Bytes(10, 'c'));
    EXPECT_EQ(Kept[2].Bytes, Bytes(10, 'e'));
    EXPECT_EQ(Recent.Bytes(), 30u);
}

TEST(RecentDatagrams, BoundOnBytesDropsTheOldestAcrossTheRingsEnd) {
    RecentDatagrams Recent(100, 100);
    // 40 + 40 fit; the third (30) starts again at the beginning and takes the place of the first.
    Add(Recent, Bytes(40, 'a'));
    Add(Recent, Bytes(40, 'b'));
    Add(Recent, Bytes(30, 'c'));
    auto Kept = Recent.Snapshot();
    ASSERT_EQ(Kept.size(), 2u);
    EXPECT_EQ(Kept[0].Bytes, Bytes(40, 'b'));
    EXPECT_EQ(Kept[1].Bytes, Bytes(30, 'c'));
    // The next one fits between c and b but only once b, older than c, is gone.
    Add(Recent, Bytes(60, 'd'));
    Kept = Recent.Snapshot();
    ASSERT_EQ(Kept.size(), 2u);
    EXPECT_EQ(Kept[0].Bytes, Bytes(30, 'c'));
    EXPECT_EQ(Kept[1].Bytes, Bytes(60, 'd'));
    // Many rounds of odd sizes: every datagram kept is whole and the newest are kept.
    for (int i = 0; i < 200; ++i) Add(Recent, Bytes(static_cast<std::size_t>(1 + (i * 37) % 99), static_cast<char>(i)));
    Kept = Recent.Snapshot();
    std::size_t Total = 0;
    for (std::size_t k = 0; k < Kept.size(); ++k) {
        const int i = 200 - static_cast<int>(Kept.size()) + static_cast<int>(k);
        EXPECT_EQ(Kept[k].Bytes, Bytes(static_cast<std::size_t>(1 + (i * 37) % 99), static_cast<char>(i)));
        Total += Kept[k].Bytes.size();
    }
    EXPECT_LE(Total, 100u);
    EXPECT_EQ(Recent.Bytes(), Total);
    EXPECT_EQ(Kept.back().Bytes.size(), static_cast<std::size_t>(1 + (199 * 37) % 99));
}

TEST(RecentDatagrams, DatagramLargerThanTheRingIsNotKept) {
    RecentDatagrams Recent(10, 16);
    Add(Recent, "keep");
    Add(Recent, Bytes(17, 'x'));
    ASSERT_EQ(Recent.Count(), 1u);
    EXPECT_EQ(Recent.Snapshot()[0].Bytes, "keep");
}
