#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "ExporterTable.h"
#include "RateMeter.h"

// One row per exporter, fed from copies of the exporter table. Rows keep their place between
// updates; only the cells whose text changed are announced, so sorting and selection stay put.
class ExportersModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    enum Column {
        colExporter,
        colVersion,
        colSource,
        colFirstSeen,
        colLastSeen,
        colDatagrams,
        colFlows,
        colFlowsPerSecond,
        colBytesPerSecond,
        colExpected,
        colReceived,
        colMissed,
        colOutOfOrder,
        colRepeated,
        colRestarts,
        colTemplates,
        colWithoutTemplate,
        colRefused,
        colClockOffset,
        colMalformed,
        colCut,
        colSampling,
        colTimesImplausible,
        colHeld,
        colDecodedLate,
        colExpired,  // expired after waiting for their template, and dropped for want of room
        colOptionsRecords,
        kColumnCount
    };
    // Silent this long, an exporter stays listed but greyed.
    static constexpr std::int64_t kSilentMs = 10 * 60 * 1000;
    // Values for sorting come under this role; the proxy sorts by it.
    static constexpr int SortRole = Qt::UserRole;

    explicit ExportersModel(QObject* Parent = nullptr);

    // NowMs: wall clock, milliseconds since 1970, as the table's times are.
    void Update(const std::vector<tExporterRow>& Rows, std::int64_t NowMs);

    int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role = Qt::DisplayRole) const override;

    QString CellText(int Row, int Column) const;
    static QString ColumnTitle(int Column);

  private:
    struct Entry {
        tExporterRow Row;
        RateMeter Flows;
        RateMeter Bytes;
        bool Silent = false;
        QStringList Texts;
    };

    void RemoveGone(const std::vector<tExporterRow>& Rows);
    void Refresh(int Index, const tExporterRow& Row, std::int64_t NowMs);
    QStringList TextsOf(const Entry& E, std::int64_t NowMs) const;
    QVariant SortValue(const Entry& E, int Column) const;

    std::vector<Entry> Entries_;
    std::unordered_map<std::uint64_t, int> IndexOf_;  // by serial
};
