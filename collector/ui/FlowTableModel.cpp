#include "FlowTableModel.h"

#include <QDateTime>

#include "TrafficNames.h"

FlowTableModel::FlowTableModel(std::size_t Capacity, QObject* Parent)
    : QAbstractTableModel(Parent), Capacity_(Capacity < 1 ? 1 : Capacity) {}

void FlowTableModel::Append(const std::vector<FlowRecord>& Flows) {
    if (Flows.empty()) return;
    if (Ring_.empty()) Ring_.resize(Capacity_);
    const std::size_t incoming = std::min(Flows.size(), Capacity_);
    const auto first = Flows.end() - static_cast<std::ptrdiff_t>(incoming);
    const std::size_t overflow = Size_ + incoming > Capacity_ ? Size_ + incoming - Capacity_ : 0;
    if (overflow > 0) {
        beginRemoveRows({}, 0, static_cast<int>(overflow) - 1);
        Head_ = (Head_ + overflow) % Capacity_;
        Size_ -= overflow;
        endRemoveRows();
    }
    const int at = static_cast<int>(Size_);
    beginInsertRows({}, at, at + static_cast<int>(incoming) - 1);
    std::size_t slot = (Head_ + Size_) % Capacity_;
    for (auto it = first; it != Flows.end(); ++it) {
        Ring_[slot] = *it;
        if (++slot == Capacity_) slot = 0;
    }
    Size_ += incoming;
    endInsertRows();
}

int FlowTableModel::rowCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : static_cast<int>(Size_); }

int FlowTableModel::columnCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : ColumnCount; }

QString FlowTableModel::HeaderText(int Column) {
    static const char* const kHeaders[ColumnCount] = {"Received",    "Exporter",         "Source",   "Source port",
                                                      "Destination", "Destination port", "Protocol", "Bytes",
                                                      "Packets",     "Version"};
    return Column >= 0 && Column < ColumnCount ? QString::fromLatin1(kHeaders[Column]) : QString();
}

QString FlowTableModel::Text(const FlowRecord& R, int Column) {
    switch (Column) {
        case Received:
            return QDateTime::fromMSecsSinceEpoch(R.ReceivedMs).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
        case Exporter:
            return QString::fromStdString(R.Exporter.ToString());
        case Source:
            return QString::fromStdString(R.Source.ToString());
        case SourcePort:
            return QString::number(R.SourcePort);
        case Destination:
            return QString::fromStdString(R.Destination.ToString());
        case DestinationPort:
            return QString::number(R.DestinationPort);
        case Protocol:
            return QString::fromStdString(trafficnames::ProtocolName(R.Protocol));
        case Bytes:
            return QString::number(R.Bytes);
        case Packets:
            return QString::number(R.Packets);
        case Version:
            return QString::number(R.Version);
        default:
            return {};
    }
}

QVariant FlowTableModel::data(const QModelIndex& Index, int Role) const {
    if (!Index.isValid() || Index.row() >= static_cast<int>(Size_)) return {};
    const FlowRecord& r = Record(Index.row());
    if (Role == Qt::DisplayRole) return Text(r, Index.column());
    if (Role == Qt::TextAlignmentRole) {
        const bool number = Index.column() != Received && Index.column() != Exporter && Index.column() != Source &&
                            Index.column() != Destination && Index.column() != Protocol;
        return number ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    }
    if (Role != kSortRole) return {};
    switch (Index.column()) {
        case Received:
            return QVariant::fromValue<qint64>(r.ReceivedMs);
        case Exporter:
            return QByteArray(reinterpret_cast<const char*>(r.Exporter.Bytes.data()), 16)
                .prepend(char(r.Exporter.Kind));
        case Source:
            return QByteArray(reinterpret_cast<const char*>(r.Source.Bytes.data()), 16).prepend(char(r.Source.Kind));
        case Destination:
            return QByteArray(reinterpret_cast<const char*>(r.Destination.Bytes.data()), 16)
                .prepend(char(r.Destination.Kind));
        case SourcePort:
            return r.SourcePort;
        case DestinationPort:
            return r.DestinationPort;
        case Protocol:
            return Text(r, Protocol);
        case Bytes:
            return QVariant::fromValue<quint64>(r.Bytes);
        case Packets:
            return QVariant::fromValue<quint64>(r.Packets);
        case Version:
            return r.Version;
        default:
            return {};
    }
}

QVariant FlowTableModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Orientation == Qt::Horizontal && Role == Qt::DisplayRole) return HeaderText(Section);
    return QAbstractTableModel::headerData(Section, Orientation, Role);
}

FlowFilterProxy::FlowFilterProxy(QObject* Parent) : QSortFilterProxyModel(Parent) {
    setSortRole(FlowTableModel::kSortRole);
    setDynamicSortFilter(true);
}

void FlowFilterProxy::SetFilter(const FlowFilter& Filter) {
    Filter_ = Filter;
    invalidateFilter();
}

bool FlowFilterProxy::filterAcceptsRow(int SourceRow, const QModelIndex&) const {
    if (Filter_.Empty()) return true;
    const auto* model = static_cast<const FlowTableModel*>(sourceModel());
    return Filter_.Matches(model->Record(SourceRow));
}
