#include "MemoView.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <cmath>

#include "FlowLines.h"

namespace {

// Blank space between the frame and the text, as a text box leaves it.
constexpr int kMargin = 4;

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

void MakeOneLine(std::string& Line) {
    while (!Line.empty() && IsLineEnd(Line.back())) Line.pop_back();
    // One pass; find_first_of would call memchr once per character.
    for (char& c : Line) {
        if (IsLineEnd(c)) c = ' ';
    }
}

}  // namespace

MemoView::MemoView(QWidget* Parent) : QAbstractScrollArea(Parent), Utf8_(flowlines::LocaleCodesetIsUtf8()) {
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    FontChanged();
}

void MemoView::setLineBound(int Bound) {
    Bound = std::max(Bound, 1);
    if (Bound == Bound_) return;
    // Straighten the ring, keeping the newest lines that fit.
    std::vector<MemoLine> lines;
    const std::size_t keep = std::min(Count_, static_cast<std::size_t>(Bound));
    const std::size_t dropped = Count_ - keep;
    lines.reserve(keep);
    for (std::size_t i = dropped; i < Count_; ++i) lines.push_back(std::move(Ring_[(Head_ + i) % Ring_.size()]));
    Ring_ = std::move(lines);
    Head_ = 0;
    Count_ = keep;
    FirstSerial_ += static_cast<std::int64_t>(dropped);
    Bound_ = Bound;
    LinesChanged(dropped, false);
}

QString MemoView::Decoded(const std::string& Line) const {
    const auto size = static_cast<qsizetype>(Line.size());
    return Utf8_ ? QString::fromUtf8(Line.data(), size) : QString::fromLatin1(Line.data(), size);
}

const MemoLine& MemoView::At(std::size_t Index) const { return Ring_[(Head_ + Index) % Ring_.size()]; }

QString MemoView::LineText(std::size_t Index) const { return Decoded(At(Index).TextIn(Scratch_)); }

void MemoView::Push(const MemoLine& Line) {
    MemoLine* slot = nullptr;
    if (Ring_.size() < static_cast<std::size_t>(Bound_)) {
        slot = &Ring_.emplace_back();
        ++Count_;
    } else {
        // Full: the newest line takes the oldest one's place and buffer.
        slot = &Ring_[Head_];
        Head_ = (Head_ + 1) % Ring_.size();
        ++FirstSerial_;
    }
    slot->CopyFrom(Line);
    if (slot->IsFlow) {
        Longest_ = std::max(Longest_, flowlines::LeastDisplayWidth(slot->Flow));
        return;
    }
    MakeOneLine(slot->Text);
    Longest_ = std::max(Longest_, Utf8_ ? flowlines::CharacterCount(slot->Text) : slot->Text.size());
}

void MemoView::appendLines(const std::vector<std::string_view>& Lines) {
    std::vector<MemoLine> entries(Lines.size());
    std::vector<const MemoLine*> pointers;
    pointers.reserve(Lines.size());
    for (std::size_t i = 0; i < Lines.size(); ++i) {
        entries[i].Assign(Lines[i]);
        pointers.push_back(&entries[i]);
    }
    appendEntries(pointers);
}

void MemoView::appendEntries(const std::vector<const MemoLine*>& Lines) {
    if (Lines.empty()) return;
    QScrollBar* bar = verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    const std::int64_t firstBefore = FirstSerial_;
    // Lines that would be dropped within this same call are never stored.
    const std::size_t skip = Lines.size() > static_cast<std::size_t>(Bound_) ? Lines.size() - Bound_ : 0;
    FirstSerial_ += static_cast<std::int64_t>(skip);
    for (std::size_t i = skip; i < Lines.size(); ++i) Push(*Lines[i]);
    LinesChanged(static_cast<std::size_t>(FirstSerial_ - firstBefore), follow);
}

void MemoView::appendLine(std::string_view Line) { appendLines({Line}); }

void MemoView::setPlainText(const QString& Text) {
    clear();
    std::vector<std::string> pieces;
    for (const QString& piece : Text.split(QLatin1Char('\n')))
        pieces.push_back((Utf8_ ? piece.toUtf8() : piece.toLatin1()).toStdString());
    appendLines(std::vector<std::string_view>(pieces.begin(), pieces.end()));
}

void MemoView::clear() {
    Ring_.clear();
    Ring_.shrink_to_fit();
    Head_ = 0;
    Count_ = 0;
    FirstSerial_ = 0;
    Longest_ = 0;
    Anchor_ = Cursor_ = TextPos{};
    LinesChanged(0, true);
}

QString MemoView::toPlainText() const {
    QString text;
    for (std::size_t i = 0; i < Count_; ++i) {
        if (i > 0) text.append(QLatin1Char('\n'));
        text.append(LineText(i));
    }
    return text;
}

QString MemoView::line(int Index) const {
    if (Index < 0 || static_cast<std::size_t>(Index) >= Count_) return {};
    return LineText(static_cast<std::size_t>(Index));
}

void MemoView::LinesChanged(std::size_t Dropped, bool FollowNewest) {
    QScrollBar* bar = verticalScrollBar();
    const int top = bar->value();
    UpdateScrollBars();
    // Dropping older lines moves the ones in view up by as many rows; the view moves with them.
    bar->setValue(FollowNewest ? bar->maximum() : std::max(0, top - static_cast<int>(Dropped)));
    viewport()->update();
}

int MemoView::VisibleRows() const {
    return std::max(1, (viewport()->height() - 2 * kMargin) / std::max(1, LineSpacing_));
}

void MemoView::UpdateScrollBars() {
    QScrollBar* vertical = verticalScrollBar();
    const int rows = VisibleRows();
    vertical->setRange(0, std::max(0, static_cast<int>(Count_) - rows));
    vertical->setPageStep(rows);
    vertical->setSingleStep(1);

    QScrollBar* horizontal = horizontalScrollBar();
    const int width = static_cast<int>(std::ceil(CharWidth_ * static_cast<qreal>(Longest_))) + 2 * kMargin;
    horizontal->setRange(0, std::max(0, width - viewport()->width()));
    horizontal->setPageStep(viewport()->width());
    horizontal->setSingleStep(std::max(1, static_cast<int>(CharWidth_)));
}

void MemoView::resizeEvent(QResizeEvent* Event) {
    QAbstractScrollArea::resizeEvent(Event);
    QScrollBar* bar = verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    UpdateScrollBars();
    if (follow) bar->setValue(bar->maximum());
}

void MemoView::changeEvent(QEvent* Event) {
    QAbstractScrollArea::changeEvent(Event);
    if (Event->type() == QEvent::FontChange) FontChanged();
}

void MemoView::FontChanged() {
    const QFontMetricsF metrics(font());
    CharWidth_ = std::max<qreal>(1, metrics.horizontalAdvance(QLatin1Char('0')));
    LineSpacing_ = std::max(1, static_cast<int>(std::ceil(metrics.lineSpacing())));
    Ascent_ = static_cast<int>(std::ceil(metrics.ascent()));
    UpdateScrollBars();
    viewport()->update();
}

void MemoView::paintEvent(QPaintEvent* /*Event*/) {
    QPainter painter(viewport());
    painter.setFont(font());
    const QPalette& colours = palette();
    const int top = verticalScrollBar()->value();
    const qreal left = kMargin - horizontalScrollBar()->value();
    const bool selecting = Anchor_ != Cursor_;
    const TextPos from = std::min(Anchor_, Cursor_);
    const TextPos to = std::max(Anchor_, Cursor_);

    // One row more than fits, for the partly visible last one.
    bool wider = false;
    for (int row = 0; row <= VisibleRows(); ++row) {
        const std::size_t index = static_cast<std::size_t>(top + row);
        if (index >= Count_) break;
        const QString text = LineText(index);
        // A flow whose columns overflowed is longer than it was counted.
        if (static_cast<std::size_t>(text.size()) > Longest_) {
            Longest_ = static_cast<std::size_t>(text.size());
            wider = true;
        }
        const int y = kMargin + row * LineSpacing_;
        const std::int64_t serial = FirstSerial_ + static_cast<std::int64_t>(index);

        std::size_t selStart = 0;
        std::size_t selEnd = 0;
        if (selecting && serial >= from.Serial && serial <= to.Serial) {
            selStart = serial == from.Serial ? static_cast<std::size_t>(from.Column) : 0;
            // A selection that runs on past a line's end takes the line break along: shown as
            // one column more.
            selEnd =
                serial == to.Serial ? static_cast<std::size_t>(to.Column) : static_cast<std::size_t>(text.size()) + 1;
        }
        painter.setPen(colours.color(QPalette::Text));
        DrawCells(painter, QPointF(left, y + Ascent_), text);
        if (selEnd > selStart) {
            const QRectF band(left + CharWidth_ * static_cast<qreal>(selStart), y,
                              CharWidth_ * static_cast<qreal>(selEnd - selStart), LineSpacing_);
            painter.fillRect(band, colours.color(QPalette::Highlight));
            painter.setPen(colours.color(QPalette::HighlightedText));
            DrawCells(painter, QPointF(band.left(), y + Ascent_),
                      text.mid(static_cast<qsizetype>(selStart), static_cast<qsizetype>(selEnd - selStart)));
        }
    }
    // After this paint: the scroll bars may change the view.
    if (wider) QMetaObject::invokeMethod(this, &MemoView::UpdateScrollBars, Qt::QueuedConnection);
}

// A character the memo's font lacks, such as the narrow no-break space some locales group digits
// with, is drawn from a fallback font of another width; one cell per character keeps the columns
// under each other all the same. Plain ASCII, nearly every line, goes in one run.
void MemoView::DrawCells(QPainter& Painter, QPointF Origin, const QString& Text) const {
    const bool ascii = std::all_of(Text.begin(), Text.end(), [](QChar c) { return c.unicode() < 0x80; });
    if (ascii) {
        Painter.drawText(Origin, Text);
        return;
    }
    for (qsizetype i = 0; i < Text.size(); ++i) {
        Painter.drawText(QPointF(Origin.x() + CharWidth_ * static_cast<qreal>(i), Origin.y()), QString(Text[i]));
    }
}

MemoView::TextPos MemoView::HitTest(const QPoint& Point) const {
    if (Count_ == 0) return {};
    const int row = (Point.y() - kMargin) / std::max(1, LineSpacing_) - (Point.y() < kMargin ? 1 : 0);
    const std::int64_t index =
        std::clamp<std::int64_t>(verticalScrollBar()->value() + row, 0, static_cast<std::int64_t>(Count_) - 1);
    const qreal x = Point.x() - kMargin + horizontalScrollBar()->value();
    const qsizetype length = LineText(static_cast<std::size_t>(index)).size();
    const auto column = static_cast<std::int64_t>(std::lround(x / CharWidth_));
    return {FirstSerial_ + index,
            static_cast<int>(std::clamp<std::int64_t>(column, 0, static_cast<std::int64_t>(length)))};
}

QString MemoView::TextBetween(TextPos From, TextPos To) const {
    QString text;
    if (Count_ == 0 || !(From < To)) return text;
    const std::int64_t last = FirstSerial_ + static_cast<std::int64_t>(Count_) - 1;
    // The part of the selection on lines that have been dropped meanwhile is gone with them.
    if (From.Serial < FirstSerial_) From = {FirstSerial_, 0};
    if (To.Serial > last) To = {last, static_cast<int>(LineText(Count_ - 1).size())};
    for (std::int64_t serial = From.Serial; serial <= To.Serial; ++serial) {
        const QString line = LineText(static_cast<std::size_t>(serial - FirstSerial_));
        const qsizetype start = serial == From.Serial ? From.Column : 0;
        const qsizetype end = serial == To.Serial ? To.Column : line.size();
        if (serial > From.Serial) text.append(QLatin1Char('\n'));
        if (end > start && start < line.size()) text.append(line.mid(start, end - start));
    }
    return text;
}

QString MemoView::selectedText() const { return TextBetween(std::min(Anchor_, Cursor_), std::max(Anchor_, Cursor_)); }

void MemoView::selectAll() {
    if (Count_ == 0) return;
    Anchor_ = {FirstSerial_, 0};
    Cursor_ = {FirstSerial_ + static_cast<std::int64_t>(Count_) - 1, static_cast<int>(LineText(Count_ - 1).size())};
    viewport()->update();
}

void MemoView::copy() const {
    const QString text = selectedText();
    if (!text.isEmpty()) QApplication::clipboard()->setText(text);
}

void MemoView::mousePressEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(Event);
        return;
    }
    Cursor_ = HitTest(Event->position().toPoint());
    if (!(Event->modifiers() & Qt::ShiftModifier)) Anchor_ = Cursor_;
    viewport()->update();
}

void MemoView::mouseMoveEvent(QMouseEvent* Event) {
    if (!(Event->buttons() & Qt::LeftButton)) return;
    const QPoint point = Event->position().toPoint();
    // Dragging past the top or bottom edge scrolls on, a row per move.
    QScrollBar* bar = verticalScrollBar();
    if (point.y() < 0) bar->setValue(bar->value() - 1);
    if (point.y() > viewport()->height()) bar->setValue(bar->value() + 1);
    Cursor_ = HitTest(point);
    viewport()->update();
}

void MemoView::mouseReleaseEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton) QAbstractScrollArea::mouseReleaseEvent(Event);
}

void MemoView::mouseDoubleClickEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton || Count_ == 0) return;
    // The run of non-blank characters under the pointer: an address, a port, a number.
    const TextPos at = HitTest(Event->position().toPoint());
    const QString text = LineText(static_cast<std::size_t>(at.Serial - FirstSerial_));
    int start = std::min(at.Column, static_cast<int>(text.size()));
    int end = start;
    while (start > 0 && text[start - 1] != QLatin1Char(' ')) --start;
    while (end < static_cast<int>(text.size()) && text[end] != QLatin1Char(' ')) ++end;
    Anchor_ = {at.Serial, start};
    Cursor_ = {at.Serial, end};
    viewport()->update();
}

void MemoView::keyPressEvent(QKeyEvent* Event) {
    if (Event == QKeySequence::Copy) {
        copy();
    } else if (Event == QKeySequence::SelectAll) {
        selectAll();
    } else if (Event == QKeySequence::MoveToStartOfDocument) {
        verticalScrollBar()->setValue(0);
    } else if (Event == QKeySequence::MoveToEndOfDocument) {
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    } else {
        // Arrows and page keys scroll.
        QAbstractScrollArea::keyPressEvent(Event);
    }
}

void MemoView::contextMenuEvent(QContextMenuEvent* Event) {
    QMenu menu(this);
    QAction* copyAction = menu.addAction(tr("&Copy"), this, &MemoView::copy);
    copyAction->setEnabled(Anchor_ != Cursor_);
    menu.addSeparator();
    menu.addAction(tr("Select All"), this, &MemoView::selectAll);
    menu.exec(Event->globalPos());
}
