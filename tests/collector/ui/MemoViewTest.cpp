// The flow-line text box: its ring of lines, where its view stays while lines come and go, what
// it paints where, and selecting and copying text.
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QImage>
#include <QScrollBar>
#include <QStringList>
#include <QTest>
#include <string>
#include <string_view>
#include <vector>

#include "MemoView.h"

namespace {

std::string Numbered(int i) { return "line " + std::to_string(i); }

QStringList NumberedLines(int First, int Last) {
    QStringList lines;
    for (int i = First; i <= Last; ++i) lines << QString::fromStdString(Numbered(i));
    return lines;
}

QStringList Lines(const MemoView& Memo) {
    QStringList lines;
    for (int i = 0; i < Memo.lineCount(); ++i) lines << Memo.line(i);
    return lines;
}

void AppendAll(MemoView& Memo, const std::vector<std::string>& Lines) {
    Memo.appendLines(std::vector<std::string_view>(Lines.begin(), Lines.end()));
}

void Append(MemoView& Memo, int First, int Last) {
    std::vector<std::string> lines;
    for (int i = First; i <= Last; ++i) lines.push_back(Numbered(i));
    AppendAll(Memo, lines);
}

// A shown memo of 40 columns by 10 rows or so, in a fixed-pitch font.
struct ShownMemo {
    MemoView Memo;
    ShownMemo() {
        Memo.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        Memo.resize(300, 160);
        Memo.show();
    }
    int Top() { return Memo.verticalScrollBar()->value(); }
    // Just right of the boundary before a column, half-way down a row in view.
    QPoint At(int Row, int Column) {
        const QFontMetricsF metrics(Memo.font());
        const qreal spacing = std::ceil(metrics.lineSpacing());
        return QPoint(static_cast<int>(4 + metrics.horizontalAdvance(QLatin1Char('0')) * Column + 1),
                      static_cast<int>(4 + spacing * (Row + 0.5)));
    }
    void Drag(QPoint From, QPoint To) {
        QWidget* area = Memo.viewport();
        QTest::mousePress(area, Qt::LeftButton, {}, From);
        QMouseEvent move(QEvent::MouseMove, To, area->mapToGlobal(To), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(area, &move);
        QTest::mouseRelease(area, Qt::LeftButton, {}, To);
    }
};

}  // namespace

class MemoViewTest : public QObject {
    Q_OBJECT

  private slots:
    void ringKeepsTheNewestLinesInOrder();
    void linesStayOneLineAndKeepTheirBytes();
    void designTextAndClearing();
    void viewFollowsTheNewestLinesUnlessScrolledBack();
    void paintsEachLineInItsOwnRow();
    void dragSelectsAndCopiesText();
    void selectionSurvivesOlderLinesBeingDropped();
};

void MemoViewTest::ringKeepsTheNewestLinesInOrder() {
    MemoView memo;
    memo.setLineBound(10);
    Append(memo, 1, 4);
    QCOMPARE(Lines(memo), NumberedLines(1, 4));
    // Filling up, then wrapping around several times in pieces of every size.
    int next = 5;
    for (int count : {6, 1, 3, 9, 10, 7}) {
        Append(memo, next, next + count - 1);
        next += count;
        QCOMPARE(Lines(memo), NumberedLines(std::max(1, next - 10), next - 1));
    }
    // A batch larger than the bound leaves only its own newest lines.
    Append(memo, next, next + 24);
    next += 25;
    QCOMPARE(Lines(memo), NumberedLines(next - 10, next - 1));

    // Lowering the bound keeps the newest; raising it lets the memo grow again.
    memo.setLineBound(4);
    QCOMPARE(Lines(memo), NumberedLines(next - 4, next - 1));
    memo.setLineBound(6);
    Append(memo, next, next + 2);
    next += 3;
    QCOMPARE(Lines(memo), NumberedLines(next - 6, next - 1));
    memo.appendLine(Numbered(next));
    QCOMPARE(memo.line(5), QString::fromStdString(Numbered(next)));
    QCOMPARE(memo.line(6), QString());
    QCOMPARE(memo.line(-1), QString());
}

void MemoViewTest::linesStayOneLineAndKeepTheirBytes() {
    MemoView memo;
    std::vector<std::string> lines{"", "inner\rcarriage\nreturns", "ends with a line end\r\n",
                                   std::string("caf\xE9 \xFF", 6), std::string("nul\0inside", 10)};
    AppendAll(memo, lines);
    const QStringList expected{QString(), QStringLiteral("inner carriage returns"),
                               QStringLiteral("ends with a line end"), QString::fromLatin1("caf\xE9 \xFF", 6),
                               QString::fromLatin1("nul\0inside", 10)};
    QCOMPARE(Lines(memo), expected);
}

void MemoViewTest::designTextAndClearing() {
    MemoView memo;
    memo.setPlainText(QStringLiteral("Memo"));
    QCOMPARE(memo.toPlainText(), QStringLiteral("Memo"));
    QCOMPARE(memo.lineCount(), 1);
    memo.clear();
    QCOMPARE(memo.lineCount(), 0);
    QCOMPARE(memo.toPlainText(), QString());
    memo.appendLine("first");
    memo.appendLine("second");
    QCOMPARE(memo.toPlainText(), QStringLiteral("first\nsecond"));
}

void MemoViewTest::viewFollowsTheNewestLinesUnlessScrolledBack() {
    ShownMemo shown;
    QVERIFY(QTest::qWaitForWindowExposed(&shown.Memo));
    MemoView& memo = shown.Memo;
    memo.setLineBound(100);
    QScrollBar* bar = memo.verticalScrollBar();

    int next = 0;
    for (int count : {5, 40, 40, 500, 40}) {
        Append(memo, next, next + count - 1);
        next += count;
        QCOMPARE(bar->value(), bar->maximum());
    }
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->maximum() + bar->pageStep(), 100);

    // An operator reading older lines keeps them in view while the oldest are dropped...
    bar->setValue(30);
    const QString reading = memo.line(30);
    Append(memo, next, next + 19);
    next += 20;
    QCOMPARE(shown.Top(), 10);
    QCOMPARE(memo.line(shown.Top()), reading);
    // ...until they are dropped themselves: then the view rests on the oldest line kept.
    Append(memo, next, next + 49);
    next += 50;
    QCOMPARE(shown.Top(), 0);

    // The long lines widen the horizontal range, a resize keeps following the newest line.
    memo.appendLine(std::string(400, 'x'));
    QVERIFY(memo.horizontalScrollBar()->maximum() > 0);
    bar->setValue(bar->maximum());
    memo.resize(300, 100);
    QTest::qWait(1);
    QCOMPARE(bar->value(), bar->maximum());
    QTest::keyClick(memo.viewport(), Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(shown.Top(), 0);
}

void MemoViewTest::paintsEachLineInItsOwnRow() {
    ShownMemo shown;
    MemoView& memo = shown.Memo;
    QPalette colours = memo.palette();
    colours.setColor(QPalette::Base, Qt::white);
    colours.setColor(QPalette::Text, Qt::black);
    memo.setPalette(colours);
    std::vector<std::string> lines{"", "########", "", "", "    ####"};
    AppendAll(memo, lines);
    QVERIFY(QTest::qWaitForWindowExposed(&memo));

    const QImage image = memo.viewport()->grab().toImage();
    const int spacing = static_cast<int>(std::ceil(QFontMetricsF(memo.font()).lineSpacing()));
    const int charWidth = static_cast<int>(QFontMetricsF(memo.font()).horizontalAdvance(QLatin1Char('0')));
    const auto inked = [&image](int Left, int Top, int Width, int Height) {
        for (int y = Top; y < Top + Height && y < image.height(); ++y)
            for (int x = Left; x < Left + Width && x < image.width(); ++x)
                if (qGray(image.pixel(x, y)) < 128) return true;
        return false;
    };
    const int width = image.width();
    QVERIFY(!inked(0, 0, width, 4 + spacing));
    QVERIFY(inked(0, 4 + spacing, width, spacing));
    QVERIFY(!inked(0, 4 + 2 * spacing, width, 2 * spacing - 1));
    // The fifth line starts with four blanks: nothing left of its fifth column.
    QVERIFY(!inked(0, 4 + 4 * spacing, 4 + 4 * charWidth - 1, spacing));
    QVERIFY(inked(4 + 4 * charWidth, 4 + 4 * spacing, 4 * charWidth, spacing));
}

void MemoViewTest::dragSelectsAndCopiesText() {
    ShownMemo shown;
    QVERIFY(QTest::qWaitForWindowExposed(&shown.Memo));
    MemoView& memo = shown.Memo;
    std::vector<std::string> lines{"10.0.0.1(1234)  ->192.168.1.20(80)", "second line", "third line"};
    AppendAll(memo, lines);

    // Within one line: columns 7 to 10.
    shown.Drag(shown.At(0, 7), shown.At(0, 11));
    QCOMPARE(memo.selectedText(), QStringLiteral("1(12"));
    // Across lines, dragged backwards.
    shown.Drag(shown.At(2, 5), shown.At(1, 7));
    QCOMPARE(memo.selectedText(), QStringLiteral("line\nthird"));
    // Shift extends the selection from where it started, here to the very beginning.
    QTest::mouseClick(memo.viewport(), Qt::LeftButton, Qt::ShiftModifier, shown.At(0, 0));
    const QString expected = QStringLiteral("10.0.0.1(1234)  ->192.168.1.20(80)\nsecond line\nthird");
    QCOMPARE(memo.selectedText(), expected);

    memo.copy();
    QCOMPARE(QApplication::clipboard()->text(), expected);

    // A double click takes the word under the pointer: here an address with its port.
    QTest::mouseDClick(memo.viewport(), Qt::LeftButton, {}, shown.At(0, 3));
    QCOMPARE(memo.selectedText(), QStringLiteral("10.0.0.1(1234)"));

    QTest::keyClick(memo.viewport(), Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(memo.selectedText(), memo.toPlainText());
    // A plain click clears the selection.
    QTest::mouseClick(memo.viewport(), Qt::LeftButton, {}, shown.At(1, 2));
    QCOMPARE(memo.selectedText(), QString());
}

void MemoViewTest::selectionSurvivesOlderLinesBeingDropped() {
    ShownMemo shown;
    QVERIFY(QTest::qWaitForWindowExposed(&shown.Memo));
    MemoView& memo = shown.Memo;
    memo.setLineBound(20);
    Append(memo, 0, 19);
    memo.verticalScrollBar()->setValue(0);
    shown.Drag(shown.At(2, 0), shown.At(3, 6));
    QCOMPARE(memo.selectedText(), QStringLiteral("line 2\nline 3"));

    // Two older lines go: the selected text is still the same text.
    Append(memo, 20, 21);
    QCOMPARE(memo.selectedText(), QStringLiteral("line 2\nline 3"));
    // The first selected line goes: what is left of the selection stays.
    Append(memo, 22, 22);
    QCOMPARE(memo.selectedText(), QStringLiteral("line 3"));
    Append(memo, 23, 40);
    QCOMPARE(memo.selectedText(), QString());
}

QTEST_MAIN(MemoViewTest)
#include "MemoViewTest.moc"
