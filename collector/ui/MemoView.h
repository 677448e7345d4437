#pragma once

#include <QAbstractScrollArea>
#include <QPointF>
#include <QString>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "WindowUpdates.h"

class QPainter;

// The window's read-only, fixed-pitch, never-wrapping text box of flow lines. It keeps its lines
// as they arrive, 8-bit strings or flows not yet made text, in a ring of at most LineBound()
// lines, and makes text only of the rows in view: adding a line costs the same whether the box
// holds ten lines or a hundred thousand, which a general text document cannot offer at a million
// lines a second.
// Text can be selected with the mouse (Shift extends) and copied, as in any text box.
class MemoView : public QAbstractScrollArea {
    Q_OBJECT

  public:
    explicit MemoView(QWidget* Parent = nullptr);

    // The newest this many lines are kept (at least 1). Lowering it drops the oldest lines.
    void setLineBound(int Bound);
    int lineBound() const { return Bound_; }

    // Adds copies of the lines at the end, in order. A line stays one line: a trailing line end
    // is dropped, inner CR or LF become blanks. The view stays at the newest line when it was
    // there; otherwise the lines in view stay in view as long as they are kept. Once the ring is
    // full, a new line reuses the buffer of the oldest one it replaces.
    void appendLines(const std::vector<std::string_view>& Lines);
    void appendLine(std::string_view Line);
    // The same for lines on their way from the listener: a flow stays a flow until it is read.
    void appendEntries(const std::vector<const MemoLine*>& Lines);

    // The text box's whole text replaced: one line per LF-separated piece of Text.
    void setPlainText(const QString& Text);
    void clear();
    QString toPlainText() const;

    int lineCount() const { return static_cast<int>(Count_); }
    QString line(int Index) const;

    QString selectedText() const;
    void selectAll();
    void copy() const;

  protected:
    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void contextMenuEvent(QContextMenuEvent* Event) override;

  private:
    // A place in the text: the line by its serial number (counted since the last clear, so it
    // survives older lines being dropped) and a column between characters (not bytes).
    struct TextPos {
        std::int64_t Serial = 0;
        int Column = 0;
        bool operator==(const TextPos&) const = default;
        auto operator<=>(const TextPos&) const = default;
    };

    const MemoLine& At(std::size_t Index) const;
    // A stored line as text: its bytes are in the locale's codeset, UTF-8 or else taken as Latin-1.
    QString Decoded(const std::string& Line) const;
    QString LineText(std::size_t Index) const;
    void DrawCells(QPainter& Painter, QPointF Origin, const QString& Text) const;
    void Push(const MemoLine& Line);
    void LinesChanged(std::size_t Dropped, bool FollowNewest);
    void UpdateScrollBars();
    void FontChanged();
    int VisibleRows() const;
    TextPos HitTest(const QPoint& Point) const;
    QString TextBetween(TextPos From, TextPos To) const;

    // Read once, when the box is made: the locale is set before any window exists.
    bool Utf8_ = false;
    int Bound_ = 100000;
    std::vector<MemoLine> Ring_;  // grows to Bound_, then wraps
    std::size_t Head_ = 0;        // index in Ring_ of the oldest line once it wraps
    std::size_t Count_ = 0;
    std::int64_t FirstSerial_ = 0;  // serial of the oldest line kept
    // Characters of the longest line added since the last clear, as far as known: a flow counts
    // with the fewest characters its line can have until it is shown.
    std::size_t Longest_ = 0;
    mutable std::string Scratch_;  // a flow's line while it is made text

    TextPos Anchor_;
    TextPos Cursor_;

    // From the font; fixed pitch, so a column is a constant width.
    qreal CharWidth_ = 1;
    int LineSpacing_ = 1;
    int Ascent_ = 0;
};
