// The window-update channel: what a listener thread posts reaches the widgets whole, in order,
// batched, and within the memo's line bound.
#include <QFontMetricsF>
#include <QLabel>
#include <QScrollBar>
#include <QStringList>
#include <QTest>
#include <QWidget>
#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FlowLines.h"
#include "MemoView.h"
#include "UpdateChannel.h"
#include "support/DateTime.h"

namespace {

// Stand-ins for the window's labels and memo.
struct Targets {
    QWidget Root;
    std::array<QLabel*, kCaptionCount> Labels{};
    MemoView* Memo = nullptr;

    Targets() {
        for (std::size_t i = 0; i < kCaptionCount; ++i) {
            Labels[i] = new QLabel(&Root);
            Labels[i]->setObjectName(QString::fromLatin1(CaptionControlName(static_cast<Caption>(i))));
        }
        Memo = new MemoView(&Root);
    }

    UpdateTargets ForChannel() const {
        UpdateTargets t;
        t.Labels = Labels;
        t.Memo = Memo;
        return t;
    }

    QString Text(Caption Control) const { return Labels[static_cast<std::size_t>(Control)]->text(); }

    QStringList MemoLines() const {
        QStringList lines;
        for (int i = 0; i < Memo->lineCount(); ++i) lines << Memo->line(i);
        return lines;
    }
};

std::string NumberedLine(int i) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "line %06d  10.0.0.1(1234)  ->192.168.1.20(80)", i);
    return buffer;
}

QStringList NumberedLines(int First, int Last) {
    QStringList lines;
    for (int i = First; i <= Last; ++i) lines << QString::fromLatin1(NumberedLine(i));
    return lines;
}

UpdateChannelOptions Immediate(int Bound = 100000) {
    UpdateChannelOptions options;
    options.MemoLineBound = Bound;
    options.DrainDelayMs = 0;
    return options;
}

}  // namespace

class UpdateChannelTest : public QObject {
    Q_OBJECT

  private slots:
    void linesAndCaptionsFromAnotherThreadArriveWholeAndInOrder();
    void lastCaptionOfABatchWins();
    void memoKeepsOnlyTheNewestLines();
    void batchLargerThanTheBoundInsertsOnlyItsNewestLines();
    void memoFollowsTheNewestLinesWhileTrimming();
    void lineNeverSplitsAndKeepsItsEightBitText();
    void reusedEntriesCarryOnlyTheirNewText();
    void flowsTravelUnbuiltAndReadAsTheirLines();
    void heldUpdatesArriveTogetherAtTheEndOfABatch();
    void beepSoundsOnceOnTheMainThread();
    void destroyingTheChannelDropsWhatIsStillPending();
    void aBusyWindowDropsOnlyLinesItCouldNotShowAnyway();
};

void UpdateChannelTest::linesAndCaptionsFromAnotherThreadArriveWholeAndInOrder() {
    constexpr int kLines = 50000;
    Targets targets;
    UpdateChannel channel(targets.ForChannel());  // the real drain delay, so batches form

    std::atomic<bool> done{false};
    std::thread listener([&] {
        for (int i = 0; i < kLines; ++i) {
            channel.AddMemoLine(NumberedLine(i));
            // Issued after line i: once applied, the memo must already end with line i.
            channel.SetCaption(Caption::lblCount, std::to_string(i));
            if (i % 1000 == 0) channel.SetCaption(Caption::lblThreadCount, "Threadcount=" + std::to_string(i));
        }
        done = true;
    });

    // Between two turns of the event loop the window must show some prefix of what was issued:
    // the memo ends with the line that the count caption names, or with the one issued after it.
    int mismatches = 0;
    int observedStates = 0;
    const bool finished = QTest::qWaitFor(
        [&] {
            const QString caption = targets.Text(Caption::lblCount);
            if (!caption.isEmpty()) {
                ++observedStates;
                const QString last = targets.Memo->line(targets.Memo->lineCount() - 1);
                const int n = caption.toInt();
                if (last != QString::fromLatin1(NumberedLine(n)) && last != QString::fromLatin1(NumberedLine(n + 1)))
                    ++mismatches;
            }
            return done && caption == QString::number(kLines - 1);
        },
        60000);
    listener.join();

    QVERIFY(finished);
    QCOMPARE(mismatches, 0);
    QVERIFY(observedStates > 0);
    QCOMPARE(targets.MemoLines(), NumberedLines(0, kLines - 1));
    QCOMPARE(targets.Text(Caption::lblThreadCount), QStringLiteral("Threadcount=49000"));
}

void UpdateChannelTest::lastCaptionOfABatchWins() {
    Targets targets;
    UpdateChannel channel(targets.ForChannel(), Immediate());
    channel.SetCaption(Caption::lblStatus, "10:00:01");
    channel.SetCaption(Caption::lblsrcaddr, "[0-3] srcaddr: 10.0.0.1");
    channel.SetCaption(Caption::lblStatus, "10:00:02");
    channel.SetCaption(Caption::lblsrcaddr, "[0-3] srcaddr: 10.0.0.3");
    channel.SetCaption(Caption::lblStatus, "10:00:03");
    channel.Drain();

    QCOMPARE(targets.Text(Caption::lblStatus), QStringLiteral("10:00:03"));
    QCOMPARE(targets.Text(Caption::lblsrcaddr), QStringLiteral("[0-3] srcaddr: 10.0.0.3"));
    // Untouched labels keep what they had.
    QCOMPARE(targets.Text(Caption::lblVersion), QString());

    // A later batch replaces the caption whole, also with a shorter text.
    channel.SetCaption(Caption::lblStatus, "9");
    channel.Drain();
    QCOMPARE(targets.Text(Caption::lblStatus), QStringLiteral("9"));
}

void UpdateChannelTest::memoKeepsOnlyTheNewestLines() {
    Targets targets;
    UpdateChannel channel(targets.ForChannel(), Immediate(10));

    for (int i = 1; i <= 5; ++i) channel.AddMemoLine(NumberedLine(i));
    channel.Drain();
    QCOMPARE(targets.MemoLines(), NumberedLines(1, 5));

    for (int i = 6; i <= 12; ++i) channel.AddMemoLine(NumberedLine(i));
    channel.Drain();
    QCOMPARE(targets.MemoLines(), NumberedLines(3, 12));

    // One line at a time through the event loop, as a slow trickle of datagrams would.
    for (int i = 13; i <= 16; ++i) {
        channel.AddMemoLine(NumberedLine(i));
        QTRY_COMPARE_WITH_TIMEOUT(targets.MemoLines().back(), QString::fromLatin1(NumberedLine(i)), 10000);
    }
    QCOMPARE(targets.MemoLines(), NumberedLines(7, 16));
}

void UpdateChannelTest::batchLargerThanTheBoundInsertsOnlyItsNewestLines() {
    Targets targets;
    UpdateChannel channel(targets.ForChannel(), Immediate(10));
    channel.AddMemoLine(NumberedLine(0));
    channel.Drain();

    for (int i = 1; i <= 25; ++i) channel.AddMemoLine(NumberedLine(i));
    channel.SetCaption(Caption::Label3, "after the lines");
    channel.Drain();
    QCOMPARE(targets.MemoLines(), NumberedLines(16, 25));
    QCOMPARE(targets.Text(Caption::Label3), QStringLiteral("after the lines"));

    // A batch of exactly the bound replaces every earlier line.
    for (int i = 26; i <= 35; ++i) channel.AddMemoLine(NumberedLine(i));
    channel.Drain();
    QCOMPARE(targets.MemoLines(), NumberedLines(26, 35));
}

void UpdateChannelTest::memoFollowsTheNewestLinesWhileTrimming() {
    Targets targets;
    targets.Root.resize(600, 450);
    targets.Memo->setGeometry(0, 0, 529, 401);
    targets.Root.show();
    QVERIFY(QTest::qWaitForWindowExposed(&targets.Root));
    UpdateChannel channel(targets.ForChannel(), Immediate(100));
    QScrollBar* bar = targets.Memo->verticalScrollBar();

    // Growing, trimming a little, and replacing everything with one large batch.
    int next = 0;
    for (int count : {40, 40, 40, 500, 40}) {
        for (int i = 0; i < count; ++i) channel.AddMemoLine(NumberedLine(next++));
        channel.Drain();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(targets.MemoLines().back(), QString::fromLatin1(NumberedLine(next - 1)));
    }
    QCOMPARE(targets.MemoLines(), NumberedLines(next - 100, next - 1));

    // An operator reading older lines is not pulled away from them.
    bar->setValue(10);
    for (int i = 0; i < 40; ++i) channel.AddMemoLine(NumberedLine(next++));
    channel.Drain();
    QVERIFY(bar->value() < bar->maximum());
}

void UpdateChannelTest::lineNeverSplitsAndKeepsItsEightBitText() {
    Targets targets;
    UpdateChannel channel(targets.ForChannel(), Immediate(10));
    // A memo whose only line is empty looks just like an empty one; the line must stay.
    channel.AddMemoLine("");
    channel.Drain();
    channel.AddMemoLine("first");
    channel.AddMemoLine("inner\rcarriage\nreturns");
    channel.AddMemoLine("ends with a line end\r\n");
    channel.AddMemoLine("");
    channel.AddMemoLine(std::string("caf\xE9 \xFF", 6));
    channel.SetCaption(Caption::lblTemplate, std::string("\xB5s", 2));
    channel.Drain();

    const QStringList expected{QString(),
                               QStringLiteral("first"),
                               QStringLiteral("inner carriage returns"),
                               QStringLiteral("ends with a line end"),
                               QString(),
                               QString::fromLatin1("caf\xE9 \xFF", 6)};
    QCOMPARE(targets.MemoLines(), expected);
    QCOMPARE(targets.Text(Caption::lblTemplate), QString(QChar(0xB5)) + QLatin1Char('s'));
}

void UpdateChannelTest::reusedEntriesCarryOnlyTheirNewText() {
    Targets targets;
    UpdateChannel channel(targets.ForChannel(), Immediate(10));
    const std::string longLine(200, 'L');
    for (int i = 0; i < 4; ++i) channel.AddMemoLine(longLine);
    channel.SetCaption(Caption::lblsrcaddr, "[0-3] srcaddr: 192.168.100.200");
    channel.SetCaption(Caption::lblStatus, "23:59:59");
    channel.Drain();
    channel.Drain();  // an empty drain in between hands the emptied list back and forth

    // The same entries come round again with shorter texts, and in another order.
    channel.SetCaption(Caption::lblsrcaddr, "[0-3] srcaddr: 10.0.0.1");
    channel.AddMemoLine("short");
    channel.AddMemoLine("");
    channel.SetCaption(Caption::lblsrcaddr, "[0-3] srcaddr: 10.0.0.2");
    channel.AddMemoLine("x");
    channel.Drain();

    const QStringList expected{QString::fromStdString(longLine),
                               QString::fromStdString(longLine),
                               QString::fromStdString(longLine),
                               QString::fromStdString(longLine),
                               QStringLiteral("short"),
                               QString(),
                               QStringLiteral("x")};
    QCOMPARE(targets.MemoLines(), expected);
    QCOMPARE(targets.Text(Caption::lblsrcaddr), QStringLiteral("[0-3] srcaddr: 10.0.0.2"));
    QCOMPARE(targets.Text(Caption::lblStatus), QStringLiteral("23:59:59"));
}

void UpdateChannelTest::flowsTravelUnbuiltAndReadAsTheirLines() {
    Targets targets;
    targets.Root.resize(400, 200);
    targets.Memo->setGeometry(0, 0, 400, 200);
    UpdateChannel channel(targets.ForChannel(), Immediate(4));
    netflowlib::tNetflowV5 v5;
    v5.srcaddr = "10.0.0.1";
    v5.dstaddr = "192.168.100.200";
    v5.srcport = 1234;
    v5.dstport = 80;
    v5.prot = 6;
    v5.First = 5000;
    v5.Last = 4000;
    v5.dOctets = 1234567;
    netflowlib::tNetflowV5 wide = v5;  // every column overflows
    wide.First = 4294967295u;
    wide.Last = 1;
    wide.srcaddr = wide.dstaddr = "255.255.255.255";
    wide.dOctets = 4294967295u;
    netflowlib::tNetflowV9 v9;
    v9.IPV4_SRC_ADDR = "172.16.0.1";
    v9.IPV4_DST_ADDR = "172.16.0.2";
    v9.L4_SRC_PORT = 53;
    v9.L4_DST_PORT = 40000;
    v9.PROTOCOL = 17;
    v9.IN_BYTES = -5;
    flowlines::DisplayFlow flow;
    const auto post = [&](const auto& Record) {
        QVERIFY(flowlines::MakeDisplayFlow(Record, flow));
        channel.AddMemoFlow(flow);
    };

    // Slots that carried texts carry flows the next time round, and the other way about.
    channel.AddMemoLine("first");
    post(v5);
    channel.AddMemoLine("between");
    post(v9);
    channel.Drain();
    post(wide);
    channel.AddMemoLine("last");
    channel.Drain();

    const std::string& separator = brix32::ThousandsSeparator();
    const QStringList expected{
        QStringLiteral("between"), QString::fromStdString(flowlines::V9DisplayLine(v9, separator)),
        QString::fromStdString(flowlines::V5DisplayLine(wide, separator)), QStringLiteral("last")};
    QCOMPARE(targets.MemoLines(), expected);
    QVERIFY(expected[2].size() > 88);

    // The overflowing line widens the box once it has been shown, however it was counted before.
    targets.Root.show();
    QVERIFY(QTest::qWaitForWindowExposed(&targets.Root));
    targets.Memo->horizontalScrollBar()->setValue(0);
    targets.Memo->viewport()->repaint();
    QCoreApplication::processEvents();
    const QScrollBar* bar = targets.Memo->horizontalScrollBar();
    const int wanted = static_cast<int>(QFontMetricsF(targets.Memo->font()).horizontalAdvance(QLatin1Char('0')) *
                                        static_cast<double>(expected[2].size()));
    QVERIFY2(
        bar->maximum() + targets.Memo->viewport()->width() >= wanted,
        qPrintable(
            QStringLiteral("%1 + %2 < %3").arg(bar->maximum()).arg(targets.Memo->viewport()->width()).arg(wanted)));
}

void UpdateChannelTest::heldUpdatesArriveTogetherAtTheEndOfABatch() {
    Targets targets;
    UpdateChannel channel(targets.ForChannel(), Immediate(10));
    std::atomic<int> stage{0};
    std::thread listener([&] {
        channel.BeginBatch();
        channel.AddMemoLine("held 1");
        channel.SetCaption(Caption::lblsrcaddr, "[0-3] srcaddr: 10.0.0.1");
        channel.AddMemoLine("held 2");
        channel.SetCaption(Caption::lblsrcaddr, "[0-3] srcaddr: 10.0.0.2");
        stage = 1;
        while (stage != 2) std::this_thread::yield();
        channel.EndBatch();
        // Outside a batch every update goes on at once again.
        channel.AddMemoLine("direct");
        stage = 3;
    });
    while (stage != 1) std::this_thread::yield();
    // Another thread is not held back by the listener's batch.
    channel.SetCaption(Caption::lblStatus, "12:00:00");
    channel.Drain();
    QVERIFY(targets.MemoLines().isEmpty());
    QCOMPARE(targets.Text(Caption::lblsrcaddr), QString());
    QCOMPARE(targets.Text(Caption::lblStatus), QStringLiteral("12:00:00"));

    stage = 2;
    while (stage != 3) std::this_thread::yield();
    listener.join();
    channel.Drain();
    QCOMPARE(targets.MemoLines(),
             (QStringList{QStringLiteral("held 1"), QStringLiteral("held 2"), QStringLiteral("direct")}));
    QCOMPARE(targets.Text(Caption::lblsrcaddr), QStringLiteral("[0-3] srcaddr: 10.0.0.2"));
}

void UpdateChannelTest::beepSoundsOnceOnTheMainThread() {
    Targets targets;
    UpdateChannelOptions options = Immediate();
    std::vector<std::thread::id> beeps;
    options.BeepSound = [&beeps] { beeps.push_back(std::this_thread::get_id()); };
    UpdateChannel channel(targets.ForChannel(), options);

    std::thread listener([&channel] {
        channel.SetCaption(Caption::lblThreadCount, "Threadcount=2");
        channel.Beep();
    });
    listener.join();
    QTRY_COMPARE_WITH_TIMEOUT(beeps.size(), std::size_t{1}, 10000);
    QCOMPARE(beeps.front(), std::this_thread::get_id());
    QCOMPARE(targets.Text(Caption::lblThreadCount), QStringLiteral("Threadcount=2"));
}

void UpdateChannelTest::destroyingTheChannelDropsWhatIsStillPending() {
    Targets targets;
    auto channel = std::make_unique<UpdateChannel>(targets.ForChannel());
    std::thread listener([&channel] {
        for (int i = 0; i < 1000; ++i) channel->AddMemoLine(NumberedLine(i));
    });
    listener.join();
    channel.reset();
    // The queued wake-up died with the channel; nothing may touch it now.
    QTest::qWait(100);
    QVERIFY(targets.MemoLines().isEmpty());
}

void UpdateChannelTest::aBusyWindowDropsOnlyLinesItCouldNotShowAnyway() {
    Targets targets;
    UpdateChannel channel(targets.ForChannel(), Immediate(10));
    // The main thread applies nothing while the listener posts: directly and in datagram-sized
    // batches, as the handler does.
    std::thread listener([&channel] {
        for (int i = 0; i < 1000; ++i) channel.AddMemoLine(NumberedLine(i));
        for (int d = 0; d < 40; ++d) {
            channel.BeginBatch();
            for (int r = 0; r < 25; ++r) channel.AddMemoLine(NumberedLine(1000 + d * 25 + r));
            channel.SetCaption(Caption::lblsrcaddr, "[0-3] srcaddr: " + std::to_string(d));
            channel.EndBatch();
        }
        channel.Beep();
    });
    listener.join();
    // The pending list never held more than the memo keeps.
    QCOMPARE(channel.LinesDroppedFromWindow(), std::uint64_t{2000 - 10});
    channel.Drain();
    QCOMPARE(targets.MemoLines(), NumberedLines(1990, 1999));
    QCOMPARE(targets.Text(Caption::lblsrcaddr), QStringLiteral("[0-3] srcaddr: 39"));

    // Afterwards nothing more is dropped than the bound demands.
    channel.AddMemoLine("after");
    channel.Drain();
    QCOMPARE(channel.LinesDroppedFromWindow(), std::uint64_t{2000 - 10});
    QCOMPARE(targets.MemoLines().back(), QStringLiteral("after"));
}

QTEST_MAIN(UpdateChannelTest)
#include "UpdateChannelTest.moc"
