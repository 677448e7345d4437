#include "ExportersModel.h"

#include <QBrush>
#include <QColor>
#include <QDateTime>
#include <algorithm>
#include <string>
#include <unordered_set>

#include "StatusBar.h"

namespace {

constexpr const char* kTitles[] = {
    "Exporter",     "Version",           "Source",
    "First seen",   "Last seen",         "Datagrams",
    "Flows",        "Flows/s",           "Bytes/s",
    "Expected seq", "Received seq",      "Missed",
    "Out of order", "Repeated",          "Restarts",
    "Templates",    "Without template",  "Refused",
    "Clock offset", "Malformed",         "Cut",
    "Sampling",     "Times implausible", "Held",
    "Decoded late", "Expired",           "Options records",
};
static_assert(std::size(kTitles) == ExportersModel::kColumnCount);

QString Time(std::int64_t Ms) {
    return QDateTime::fromMSecsSinceEpoch(Ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString Source(const tExporterRow& Row) {
    if (Row.Version == 9) return QStringLiteral("Source_ID %1").arg(Row.Domain);
    if (Row.Version == 5) return QStringLiteral("engine %1/%2").arg(Row.Domain >> 8).arg(Row.Domain & 0xFF);
    return QString();
}

QString Templates(const tExporterRow& Row, std::int64_t NowMs) {
    if (Row.Version != 9 && Row.Version != 10) return QString();
    QStringList parts;
    for (std::size_t i = 0; i < Row.TemplateCount; ++i) {
        const tExporterTemplate& t = Row.Templates[i];
        const std::int64_t age = std::max<std::int64_t>(0, NowMs - t.LastSeenMs) / 1000;
        parts << QStringLiteral("%1: %2 fields, %3 s").arg(t.TemplateID).arg(t.FieldCount).arg(age);
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral("; "));
}

QString ClockOffset(const tExporterRow& Row) {
    if (!Row.HasClock) return QString();
    // In tenths of a second, rounded half away from zero, so that a few milliseconds read "0.0 s".
    const std::int64_t tenths = (Row.ClockOffsetMs + (Row.ClockOffsetMs >= 0 ? 50 : -50)) / 100;
    const QString sign = tenths > 0 ? QStringLiteral("+") : tenths < 0 ? QStringLiteral("-") : QString();
    const std::int64_t magnitude = tenths < 0 ? -tenths : tenths;
    return sign + QStringLiteral("%1.%2 s").arg(magnitude / 10).arg(magnitude % 10);
}

QString Missed(const tExporterRow& Row) {
    if (!Row.Sequence.Started()) return QString();
    const QString unit = Row.Version == 9 ? QStringLiteral("datagrams") : QStringLiteral("flows");
    return GroupedNumber(Row.Sequence.Missed()) + QLatin1Char(' ') + unit;
}

bool NumericColumn(int Column) {
    return Column >= ExportersModel::colDatagrams && Column != ExportersModel::colTemplates &&
           Column != ExportersModel::colSampling;
}

QVariant ToolTip(const tExporterRow& Row, int Column, const QString& Text) {
    switch (Column) {
        case ExportersModel::colTemplates:
        case ExportersModel::colSampling:
            return Text;
        case ExportersModel::colExpired:
            return QStringLiteral("%1 expired waiting for their template, %2 dropped for want of room to wait")
                .arg(GroupedNumber(Row.SetsExpired), GroupedNumber(Row.SetsDropped));
        case ExportersModel::colOptionsRecords:
            return QStringLiteral("%1 options records read, %2 options templates or records ignored")
                .arg(GroupedNumber(Row.OptionsRecords), GroupedNumber(Row.OptionsIgnored));
        default:
            return QVariant();
    }
}

}  // namespace

ExportersModel::ExportersModel(QObject* Parent) : QAbstractTableModel(Parent) {}

QString ExportersModel::ColumnTitle(int Column) { return QString::fromLatin1(kTitles[Column]); }

void ExportersModel::Update(const std::vector<tExporterRow>& Rows, std::int64_t NowMs) {
    RemoveGone(Rows);
    for (const tExporterRow& row : Rows) {
        const auto found = IndexOf_.find(row.Serial);
        if (found != IndexOf_.end()) {
            Refresh(found->second, row, NowMs);
            continue;
        }
        const int index = static_cast<int>(Entries_.size());
        beginInsertRows(QModelIndex(), index, index);
        Entries_.push_back(Entry{row, {}, {}, NowMs - row.LastSeenMs >= kSilentMs, {}});
        IndexOf_.emplace(row.Serial, index);
        Entry& entry = Entries_.back();
        entry.Flows.Add(NowMs, row.Flows);
        entry.Bytes.Add(NowMs, row.Bytes);
        entry.Texts = TextsOf(entry, NowMs);
        endInsertRows();
    }
}

// Exporters dropped from the table past its cap leave the view too.
void ExportersModel::RemoveGone(const std::vector<tExporterRow>& Rows) {
    const auto known = [this](const tExporterRow& r) { return IndexOf_.count(r.Serial) != 0; };
    if (Rows.size() == Entries_.size() && std::all_of(Rows.begin(), Rows.end(), known)) return;
    std::unordered_set<std::uint64_t> present;
    for (const tExporterRow& r : Rows) present.insert(r.Serial);
    for (int i = static_cast<int>(Entries_.size()) - 1; i >= 0; --i) {
        if (present.count(Entries_[static_cast<std::size_t>(i)].Row.Serial) != 0) continue;
        beginRemoveRows(QModelIndex(), i, i);
        Entries_.erase(Entries_.begin() + i);
        endRemoveRows();
    }
    IndexOf_.clear();
    for (std::size_t i = 0; i < Entries_.size(); ++i) IndexOf_.emplace(Entries_[i].Row.Serial, static_cast<int>(i));
}

void ExportersModel::Refresh(int Index, const tExporterRow& Row, std::int64_t NowMs) {
    Entry& entry = Entries_[static_cast<std::size_t>(Index)];
    entry.Row = Row;
    entry.Flows.Add(NowMs, Row.Flows);
    entry.Bytes.Add(NowMs, Row.Bytes);
    const bool silent = NowMs - Row.LastSeenMs >= kSilentMs;
    QStringList texts = TextsOf(entry, NowMs);
    int first = -1;
    int last = -1;
    for (int c = 0; c < kColumnCount; ++c) {
        if (texts[c] == entry.Texts[c]) continue;
        if (first < 0) first = c;
        last = c;
    }
    entry.Texts = std::move(texts);
    if (silent != entry.Silent) {
        entry.Silent = silent;
        first = 0;
        last = kColumnCount - 1;
    }
    if (first >= 0) emit dataChanged(index(Index, first), index(Index, last));
}

QStringList ExportersModel::TextsOf(const Entry& E, std::int64_t NowMs) const {
    const tExporterRow& r = E.Row;
    const SequenceTracker& s = r.Sequence;
    const bool sequenced = s.Started();
    QStringList t;
    t.reserve(kColumnCount);
    t << QString::fromStdString(FormatIPv4(r.Address))
      << (r.Version == 0 ? QStringLiteral("unknown") : QString::number(r.Version)) << Source(r) << Time(r.FirstSeenMs)
      << Time(r.LastSeenMs) << GroupedNumber(r.Datagrams) << GroupedNumber(r.Flows)
      << GroupedNumber(static_cast<std::uint64_t>(E.Flows.PerSecond() + 0.5))
      << GroupedNumber(static_cast<std::uint64_t>(E.Bytes.PerSecond() + 0.5))
      << (sequenced ? QString::number(s.Expected()) : QString()) << (sequenced ? QString::number(s.Last()) : QString())
      << Missed(r) << GroupedNumber(s.OutOfOrder()) << GroupedNumber(s.Repeated()) << GroupedNumber(s.Restarts())
      << Templates(r, NowMs) << GroupedNumber(r.MissingTemplate) << GroupedNumber(r.TemplatesRefused) << ClockOffset(r)
      << GroupedNumber(r.Malformed) << GroupedNumber(r.Cut) << QString::fromStdString(r.Sampling)
      << GroupedNumber(r.TimesImplausible) << GroupedNumber(r.SetsHeld) << GroupedNumber(r.SetsDecodedLate)
      << GroupedNumber(r.SetsExpired + r.SetsDropped) << GroupedNumber(r.OptionsRecords);
    return t;
}

QVariant ExportersModel::SortValue(const Entry& E, int Column) const {
    const tExporterRow& r = E.Row;
    switch (Column) {
        case colExporter:
            return QVariant::fromValue<qulonglong>(r.Address);
        case colVersion:
            return r.Version;
        case colSource:
            return QVariant::fromValue<qulonglong>(r.Domain);
        case colFirstSeen:
            return QVariant::fromValue<qlonglong>(r.FirstSeenMs);
        case colLastSeen:
            return QVariant::fromValue<qlonglong>(r.LastSeenMs);
        case colDatagrams:
            return QVariant::fromValue<qulonglong>(r.Datagrams);
        case colFlows:
            return QVariant::fromValue<qulonglong>(r.Flows);
        case colFlowsPerSecond:
            return E.Flows.PerSecond();
        case colBytesPerSecond:
            return E.Bytes.PerSecond();
        case colExpected:
            return QVariant::fromValue<qulonglong>(r.Sequence.Expected());
        case colReceived:
            return QVariant::fromValue<qulonglong>(r.Sequence.Last());
        case colMissed:
            return QVariant::fromValue<qulonglong>(r.Sequence.Missed());
        case colOutOfOrder:
            return QVariant::fromValue<qulonglong>(r.Sequence.OutOfOrder());
        case colRepeated:
            return QVariant::fromValue<qulonglong>(r.Sequence.Repeated());
        case colRestarts:
            return QVariant::fromValue<qulonglong>(r.Sequence.Restarts());
        case colTemplates:
            return r.TemplateCount;
        case colWithoutTemplate:
            return QVariant::fromValue<qulonglong>(r.MissingTemplate);
        case colRefused:
            return QVariant::fromValue<qulonglong>(r.TemplatesRefused);
        case colClockOffset:
            return QVariant::fromValue<qlonglong>(r.ClockOffsetMs);
        case colMalformed:
            return QVariant::fromValue<qulonglong>(r.Malformed);
        case colCut:
            return QVariant::fromValue<qulonglong>(r.Cut);
        case colSampling:
            return QVariant::fromValue<qulonglong>(r.SamplingRate);
        case colTimesImplausible:
            return QVariant::fromValue<qulonglong>(r.TimesImplausible);
        case colHeld:
            return QVariant::fromValue<qulonglong>(r.SetsHeld);
        case colDecodedLate:
            return QVariant::fromValue<qulonglong>(r.SetsDecodedLate);
        case colExpired:
            return QVariant::fromValue<qulonglong>(r.SetsExpired + r.SetsDropped);
        case colOptionsRecords:
            return QVariant::fromValue<qulonglong>(r.OptionsRecords);
        default:
            return QVariant();
    }
}

int ExportersModel::rowCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : static_cast<int>(Entries_.size());
}

int ExportersModel::columnCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : kColumnCount; }

QVariant ExportersModel::data(const QModelIndex& Index, int Role) const {
    if (!Index.isValid() || Index.row() >= rowCount() || Index.column() >= kColumnCount) return QVariant();
    const Entry& entry = Entries_[static_cast<std::size_t>(Index.row())];
    switch (Role) {
        case Qt::DisplayRole:
            return entry.Texts[Index.column()];
        case Qt::ToolTipRole:
            return ToolTip(entry.Row, Index.column(), entry.Texts[Index.column()]);
        case SortRole:
            return SortValue(entry, Index.column());
        case Qt::ForegroundRole:
            return entry.Silent ? QVariant(QBrush(QColor(0x90, 0x90, 0x90))) : QVariant();
        case Qt::TextAlignmentRole:
            return NumericColumn(Index.column()) ? QVariant(int(Qt::AlignRight | Qt::AlignVCenter)) : QVariant();
        default:
            return QVariant();
    }
}

QVariant ExportersModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole || Section < 0 || Section >= kColumnCount) {
        return QAbstractTableModel::headerData(Section, Orientation, Role);
    }
    return ColumnTitle(Section);
}

QString ExportersModel::CellText(int Row, int Column) const {
    if (Row < 0 || Row >= rowCount() || Column < 0 || Column >= kColumnCount) return QString();
    return Entries_[static_cast<std::size_t>(Row)].Texts[Column];
}
