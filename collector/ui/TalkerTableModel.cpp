#include "TalkerTableModel.h"

#include <QFont>

#include "InterfaceNames.h"
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
        Labels_.clear();
        SpeedsMbps_.clear();
        for (const TalkerRow& row : Top_.Rows) {
            const bool other = static_cast<int>(Labels_.size()) == OtherRow_;
            Labels_.push_back(other ? QString::fromLatin1(kOtherName)
                                    : QString::fromStdString(trafficnames::DescribeKey(Kind_, row.Key, Names_)));
            std::uint64_t speed = 0;
            if (Kind_ == TalkerKind::Interface && !other && Names_.Interfaces != nullptr)
                speed = Names_.Interfaces->Find(KeyAddress(row.Key), KeyInterface(row.Key)).SpeedMbps;
            SpeedsMbps_.push_back(speed);
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
    if (Role == Qt::DisplayRole && Index.column() == Talker) return Labels_[static_cast<std::size_t>(Index.row())];
    if (Index.column() == Utilisation) return UtilisationAt(Index.row(), Role);
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

QVariant TalkerTableModel::UtilisationAt(int Row, int Role) const {
    const std::uint64_t speed = SpeedsMbps_[static_cast<std::size_t>(Row)];
    const double bits = 8.0 * static_cast<double>(Top_.Rows[static_cast<std::size_t>(Row)].Totals.Bytes) / SpanSeconds_;
    if (Role == kSortRole) return speed == 0 ? -1.0 : bits / static_cast<double>(speed);
    if (speed == 0)
        return Role == Qt::ToolTipRole ? QVariant(QString::fromLatin1("The interface's speed is not known"))
                                       : QVariant();
    if (Role == Qt::DisplayRole) return QString::fromStdString(trafficnames::Utilisation(bits, speed));
    if (Role == Qt::ToolTipRole)
        return QString::fromStdString("Of " + trafficnames::FormatBitRate(static_cast<double>(speed) * 1e6) +
                                      ", the interface's speed");
    return {};
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
                                                     "Source country",
                                                     "Destination country",
                                                     "Source AS",
                                                     "Destination AS",
                                                     "Exporter, interface, direction"};
    static const char* const kOthers[ColumnCount] = {"", "Bytes", "Share", "Rate", "Flows", "Packets", "Utilisation"};
    if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(Section, Orientation, Role);
    if (Section == Talker) return QString::fromLatin1(kFirst[static_cast<std::size_t>(Kind_)]);
    return Section > 0 && Section < ColumnCount ? QString::fromLatin1(kOthers[Section]) : QVariant();
}
