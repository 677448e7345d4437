#include "FlowTableModel.h"

#include <QDateTime>

#include "InterfaceNames.h"
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

void FlowTableModel::Clear() {
    if (Size_ == 0) return;
    beginResetModel();
    Head_ = 0;
    Size_ = 0;
    endResetModel();
}

int FlowTableModel::rowCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : static_cast<int>(Size_); }

int FlowTableModel::columnCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : ColumnCount; }

QString FlowTableModel::HeaderText(int Column) {
    static const char* const kHeaders[ColumnCount] = {
        "Received",     "Start",         "End",         "Duration",         "Exporter",
        "Source",       "Source port",   "Destination", "Destination port", "Protocol",
        "In interface", "Out interface", "Bytes",       "Packets",          "Sampling",
        "Scaled bytes", "Version",       "Src country", "Src AS",           "Dst country",
        "Dst AS"};
    return Column >= 0 && Column < ColumnCount ? QString::fromLatin1(kHeaders[Column]) : QString();
}

namespace {

const QString kWholeTime = QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz");

// The flow's own times read against its receipt: the date only where it differs, which for an
// exporter with a sane clock is around midnight at most.
QString FlowTime(std::int64_t Ms, std::int64_t ReceivedMs, FlowTableModel::TextFor For) {
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(Ms);
    if (For == FlowTableModel::TextFor::Table && at.date() == QDateTime::fromMSecsSinceEpoch(ReceivedMs).date())
        return at.toString(QStringLiteral("hh:mm:ss.zzz"));
    return at.toString(kWholeTime);
}

bool TextColumn(int Column) {
    switch (Column) {
        case FlowTableModel::Received:
        case FlowTableModel::Start:
        case FlowTableModel::End:
        case FlowTableModel::Exporter:
        case FlowTableModel::Source:
        case FlowTableModel::Destination:
        case FlowTableModel::Protocol:
        case FlowTableModel::InputIf:
        case FlowTableModel::OutputIf:
        case FlowTableModel::SourceCountry:
        case FlowTableModel::SourceAs:
        case FlowTableModel::DestinationCountry:
        case FlowTableModel::DestinationAs:
            return true;
        default:
            return false;
    }
}

QByteArray AddressKey(const FlowAddress& A) {
    return QByteArray(reinterpret_cast<const char*>(A.Bytes.data()), 16).prepend(char(A.Kind));
}

}  // namespace

QString FlowTableModel::Text(const FlowRecord& R, int Column, TextFor For) const {
    switch (Column) {
        case Received:
            return QDateTime::fromMSecsSinceEpoch(R.ReceivedMs).toString(kWholeTime);
        case Start:
            return FlowTime(R.StartMs, R.ReceivedMs, For);
        case End:
            return FlowTime(R.EndMs, R.ReceivedMs, For);
        case Duration:
            return QString::fromStdString(trafficnames::FormatDuration(R.EndMs - R.StartMs));
        case Exporter:
            return QString::fromStdString(R.Exporter.ToString());
        case Source:
            return QString::fromStdString(For == TextFor::Table ? trafficnames::AddressLabel(R.Source, Names_.Hosts)
                                                                : R.Source.ToString());
        case SourcePort:
            return QString::number(R.SourcePort);
        case Destination:
            return QString::fromStdString(For == TextFor::Table
                                              ? trafficnames::AddressLabel(R.Destination, Names_.Hosts)
                                              : R.Destination.ToString());
        case DestinationPort:
            return QString::number(R.DestinationPort);
        case Protocol:
            return QString::fromStdString(trafficnames::ProtocolName(R.Protocol));
        case InputIf:
            return QString::fromStdString(trafficnames::InterfaceLabel(Names_.Interfaces, R.Exporter, R.InputIf));
        case OutputIf:
            return QString::fromStdString(trafficnames::InterfaceLabel(Names_.Interfaces, R.Exporter, R.OutputIf));
        case Bytes:
            return QString::number(R.Bytes);
        case Packets:
            return QString::number(R.Packets);
        case Sampling:
            return QString::fromStdString(trafficnames::SamplingText(R.SamplingRate));
        case ScaledBytes: {
            const QString bytes = QString::number(R.ScaledBytes());
            return R.Estimated() && For == TextFor::Table ? QString::fromUtf8(trafficnames::kEstimateMark) + bytes
                                                          : bytes;
        }
        case Version:
            return QString::number(R.Version);
        case SourceCountry:
            return QString::fromStdString(trafficnames::CountryLabel(R.Source, Names_.Places));
        case DestinationCountry:
            return QString::fromStdString(trafficnames::CountryLabel(R.Destination, Names_.Places));
        case SourceAs:
            return AsText(R.Source, R.SourceAS);
        case DestinationAs:
            return AsText(R.Destination, R.DestinationAS);
        default:
            return {};
    }
}

QString FlowTableModel::AsText(const FlowAddress& Address, std::uint32_t ExportersAs) const {
    std::string text = trafficnames::AsLabel(Address, Names_.Places);
    // Many exporters fill the AS fields with 0; where one does not, its word stands beside the database's.
    if (ExportersAs != 0) text += " (exporter: AS" + std::to_string(ExportersAs) + ")";
    return QString::fromStdString(text);
}

QVariant FlowTableModel::data(const QModelIndex& Index, int Role) const {
    if (!Index.isValid() || Index.row() >= static_cast<int>(Size_)) return {};
    const FlowRecord& r = Record(Index.row());
    switch (Role) {
        case Qt::DisplayRole:
            return Text(r, Index.column());
        case Qt::TextAlignmentRole:
            return TextColumn(Index.column()) ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                                              : QVariant(Qt::AlignRight | Qt::AlignVCenter);
        case Qt::ToolTipRole:
            return ToolTip(r, Index.column());
        case kSortRole:
            return SortValue(r, Index.column());
        default:
            return {};
    }
}

QVariant FlowTableModel::ToolTip(const FlowRecord& R, int Column) const {
    switch (Column) {
        case Start:
        case End:
        case Duration: {
            if (R.TimesFromExporter) return Text(R, Column, TextFor::File);
            return QStringLiteral("The exporter sent no times: this is when the flow was received.");
        }
        case InputIf:
        case OutputIf: {
            if (Names_.Interfaces == nullptr) return {};
            const std::string& description =
                Names_.Interfaces->Find(R.Exporter, Column == InputIf ? R.InputIf : R.OutputIf).Description;
            return description.empty() ? QVariant() : QVariant(QString::fromStdString(description));
        }
        case Sampling:
        case ScaledBytes: {
            TrafficTotals flow;
            flow.Add(R);
            const std::string note = trafficnames::EstimateNote(flow);
            return note.empty() ? QVariant() : QVariant(QString::fromStdString(note));
        }
        default:
            return {};
    }
}

QVariant FlowTableModel::SortValue(const FlowRecord& R, int Column) const {
    switch (Column) {
        case Received:
            return QVariant::fromValue<qint64>(R.ReceivedMs);
        case Start:
            return QVariant::fromValue<qint64>(R.StartMs);
        case End:
            return QVariant::fromValue<qint64>(R.EndMs);
        case Duration:
            return QVariant::fromValue<qint64>(R.EndMs - R.StartMs);
        case Exporter:
            return AddressKey(R.Exporter);
        case Source:
            return AddressKey(R.Source);
        case Destination:
            return AddressKey(R.Destination);
        case SourcePort:
            return R.SourcePort;
        case DestinationPort:
            return R.DestinationPort;
        case Protocol:
            return Text(R, Protocol);
        case InputIf:
            return R.InputIf;
        case OutputIf:
            return R.OutputIf;
        case Bytes:
            return QVariant::fromValue<quint64>(R.Bytes);
        case Packets:
            return QVariant::fromValue<quint64>(R.Packets);
        case Sampling:
            return R.SamplingRate;
        case ScaledBytes:
            return QVariant::fromValue<quint64>(R.ScaledBytes());
        case Version:
            return R.Version;
        case SourceCountry:
        case SourceAs:
        case DestinationCountry:
        case DestinationAs:
            return Text(R, Column);
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
