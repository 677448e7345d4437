#include "TalkerTableModel.h"

#include <QFont>

#include "TrafficNames.h"

namespace {

const char* const kOtherName = "All others";
const char* const kOtherTip =
    "Every talker that never ranked high enough in a minute or hour of the summaries to be kept on its own";

}  // namespace

TalkerTableModel::TalkerTableModel(TalkerKind Kind, QObject* Parent) : QAbstractTableModel(Parent), Kind_(Kind) {}

void TalkerTableModel::SetTop(const TalkerTop& Top, int SpanSeconds, int OtherRow) {
    const int before = static_cast<int>(Top_.Rows.size());
    const int after = static_cast<int>(Top.Rows.size());
    auto take = [&] {
        Top_ = Top;
        SpanSeconds_ = SpanSeconds < 1 ? 1 : SpanSeconds;
        OtherRow_ = OtherRow >= 0 && OtherRow < static_cast<int>(Top_.Rows.size()) ? OtherRow : -1;
        Names_.clear();
        for (const TalkerRow& row : Top_.Rows) {
            Names_.push_back(static_cast<int>(Names_.size()) == OtherRow_
                                 ? QString::fromLatin1(kOtherName)
                                 : QString::fromStdString(trafficnames::DescribeKey(Kind_, row.Key, Interfaces_)));
        }
    };
    if (after < before) {
        beginRemoveRows({}, after, before - 1);
        take();
        endRemoveRows();
    } else if (after > before) {
        beginInsertRows({}, before, after - 1);
        take();
        endInsertRows();
    } else {
        take();
    }
    const int kept = std::min(before, after);
    if (kept > 0) emit dataChanged(index(0, 0), index(kept - 1, ColumnCount - 1));
}

std::optional<TalkerKey> TalkerTableModel::KeyAt(int Row) const {
    if (Row < 0 || Row >= static_cast<int>(Top_.Rows.size()) || Row == OtherRow_) return std::nullopt;
    return Top_.Rows[static_cast<std::size_t>(Row)].Key;
}

int TalkerTableModel::RowOf(const TalkerKey& Key) const {
    for (std::size_t i = 0; i < Top_.Rows.size(); ++i) {
        if (Top_.Rows[i].Key == Key && static_cast<int>(i) != OtherRow_) return static_cast<int>(i);
    }
    return -1;
}

int TalkerTableModel::rowCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : static_cast<int>(Top_.Rows.size());
}

int TalkerTableModel::columnCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : ColumnCount; }

QVariant TalkerTableModel::data(const QModelIndex& Index, int Role) const {
    if (!Index.isValid() || Index.row() >= static_cast<int>(Top_.Rows.size())) return {};
    const TrafficTotals& t = Top_.Rows[static_cast<std::size_t>(Index.row())].Totals;
    if (Role == Qt::TextAlignmentRole)
        return Index.column() == Talker ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                                        : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (Role == Qt::DisplayRole && Index.column() == Talker) return Names_[static_cast<std::size_t>(Index.row())];
    if (Role == Qt::ToolTipRole && Index.column() == Talker && Index.row() == OtherRow_)
        return QString::fromLatin1(kOtherTip);
    if (Role == Qt::FontRole && Index.row() == OtherRow_) {
        QFont italic;
        italic.setItalic(true);
        return italic;
    }
    if (Role == Qt::DisplayRole || Role == Qt::ToolTipRole) return Figure(t, Index.column(), Role);
    if (Role != kSortRole) return {};
    switch (Index.column()) {
        case Talker:
            return Index.row();  // the aggregator's order: bytes, then key
        case Flows:
            return QVariant::fromValue<quint64>(t.Flows);
        case Packets:
            return QVariant::fromValue<quint64>(t.Packets);
        default:
            return QVariant::fromValue<quint64>(t.Bytes);
    }
}

QVariant TalkerTableModel::Figure(const TrafficTotals& T, int Column, int Role) const {
    // A share is as much an estimate as either of its two sums.
    TrafficTotals basis = T;
    if (Column == Share) basis.Add(Top_.Totals);
    const bool estimated = Column != Flows && basis.Estimated();
    if (Role == Qt::ToolTipRole)
        return estimated ? QVariant(QString::fromStdString(trafficnames::EstimateNote(basis))) : QVariant();
    std::string text;
    switch (Column) {
        case Bytes:
            text = trafficnames::FormatBytes(T.Bytes);
            break;
        case Share:
            text = trafficnames::FormatShare(T.Bytes, Top_.Totals.Bytes);
            break;
        case Rate:
            text = trafficnames::FormatBitRate(8.0 * static_cast<double>(T.Bytes) / SpanSeconds_);
            break;
        case Flows:
            text = std::to_string(T.Flows);
            break;
        case Packets:
            text = std::to_string(T.Packets);
            break;
        default:
            return {};
    }
    return QString::fromStdString(estimated ? trafficnames::kEstimateMark + text : text);
}

QVariant TalkerTableModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    static const char* const kFirst[kTalkerKinds] = {"Source",
                                                     "Destination",
                                                     "Conversation",
                                                     "Protocol",
                                                     "Destination port",
                                                     "Exporter",
                                                     "Exporter, interface, direction"};
    static const char* const kOthers[ColumnCount] = {"", "Bytes", "Share", "Rate", "Flows", "Packets"};
    if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(Section, Orientation, Role);
    if (Section == Talker) return QString::fromLatin1(kFirst[static_cast<std::size_t>(Kind_)]);
    return Section > 0 && Section < ColumnCount ? QString::fromLatin1(kOthers[Section]) : QVariant();
}
