#pragma once

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QString>
#include <vector>

#include "FlowFilter.h"
#include "FlowRecord.h"
#include "TrafficNames.h"

class InterfaceNames;

// The newest flows, oldest at the top, at most Capacity of them: new ones are appended at the
// bottom and the oldest leave at the top, so views and proxies follow row by row. Bytes and
// packets are as the exporter counted them; "Scaled bytes" is what a sampled flow stands for.
class FlowTableModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    enum Column {
        Received,
        Start,
        End,
        Duration,
        Exporter,
        Source,
        SourcePort,
        Destination,
        DestinationPort,
        Protocol,
        InputIf,
        OutputIf,
        Bytes,
        Packets,
        Sampling,
        ScaledBytes,
        Version,
        SourceCountry,  // from the location database; the AS columns name the exporter's own beside it
        SourceAs,
        DestinationCountry,
        DestinationAs,
        ColumnCount
    };
    // The table shortens what the file spells out: no estimate mark, and whole dates.
    enum class TextFor { Table, File };
    static constexpr int kSortRole = Qt::UserRole;

    explicit FlowTableModel(std::size_t Capacity = 100000, QObject* Parent = nullptr);

    void Append(const std::vector<FlowRecord>& Flows);
    // Empties the table; the ring's memory is kept for the next rows.
    void Clear();
    const FlowRecord& Record(int Row) const { return Ring_[(Head_ + static_cast<std::size_t>(Row)) % Capacity_]; }
    std::size_t Capacity() const { return Capacity_; }

    // Where the interface columns take their names from; it must outlive the model.
    void SetInterfaceNames(const InterfaceNames* Names) { Names_.Interfaces = Names; }
    // Host names beside the addresses (in the table, not in the file), countries and AS numbers.
    void SetNames(const ViewNames& Names) { Names_ = Names; }

    // The text of a cell as the table shows it, or as "Save as CSV" writes it.
    QString Text(const FlowRecord& Record, int Column, TextFor For = TextFor::Table) const;
    static QString HeaderText(int Column);

    int rowCount(const QModelIndex& Parent = {}) const override;
    int columnCount(const QModelIndex& Parent = {}) const override;
    QVariant data(const QModelIndex& Index, int Role) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const override;

  private:
    QVariant SortValue(const FlowRecord& Record, int Column) const;
    QVariant ToolTip(const FlowRecord& Record, int Column) const;
    QString AsText(const FlowAddress& Address, std::uint32_t ExportersAs) const;

    std::size_t Capacity_;
    ViewNames Names_;
    // A ring made whole at the first flow: rows leave at the top by moving the head, and the
    // hundred thousand rows that may come in a second are copied into place, never allocated.
    std::vector<FlowRecord> Ring_;
    std::size_t Head_ = 0;  // where row 0 is
    std::size_t Size_ = 0;
};

// Sorts by the cells' values and keeps only the flows the filter accepts.
class FlowFilterProxy : public QSortFilterProxyModel {
    Q_OBJECT

  public:
    explicit FlowFilterProxy(QObject* Parent = nullptr);
    void SetFilter(const FlowFilter& Filter);

  protected:
    bool filterAcceptsRow(int SourceRow, const QModelIndex& SourceParent) const override;

  private:
    FlowFilter Filter_;
};
