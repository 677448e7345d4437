#pragma once

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QString>
#include <vector>

#include "FlowFilter.h"
#include "FlowRecord.h"

// The newest flows, oldest at the top, at most Capacity of them: new ones are appended at the
// bottom and the oldest leave at the top, so views and proxies follow row by row.
class FlowTableModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    enum Column {
        Received,
        Exporter,
        Source,
        SourcePort,
        Destination,
        DestinationPort,
        Protocol,
        Bytes,
        Packets,
        Version,
        ColumnCount
    };
    static constexpr int kSortRole = Qt::UserRole;

    explicit FlowTableModel(std::size_t Capacity = 100000, QObject* Parent = nullptr);

    void Append(const std::vector<FlowRecord>& Flows);
    const FlowRecord& Record(int Row) const { return Ring_[(Head_ + static_cast<std::size_t>(Row)) % Capacity_]; }
    std::size_t Capacity() const { return Capacity_; }

    // The text of a cell as the table shows it and as "Save as CSV" writes it.
    static QString Text(const FlowRecord& Record, int Column);
    static QString HeaderText(int Column);

    int rowCount(const QModelIndex& Parent = {}) const override;
    int columnCount(const QModelIndex& Parent = {}) const override;
    QVariant data(const QModelIndex& Index, int Role) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const override;

  private:
    std::size_t Capacity_;
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
