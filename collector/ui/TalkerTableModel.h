#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <optional>
#include <vector>

#include "TrafficAggregator.h"
#include "TrafficNames.h"

class InterfaceNames;

// One top-talker table: a snapshot of the aggregator's top rows for the chosen span, replaced
// once a second. Rows that stay are updated in place, so a view keeps its scroll position.
// Figures that took in sampled flows carry the estimate mark, and say so in their tooltip. A table
// from the history's summaries may end in an "other" row: every key they did not keep on its own.
class TalkerTableModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    // Utilisation: of the interface table only, where the interface's speed is known.
    enum Column { Talker, Bytes, Share, Rate, Flows, Packets, Utilisation, ColumnCount };
    static constexpr int kSortRole = Qt::UserRole;

    explicit TalkerTableModel(TalkerKind Kind, QObject* Parent = nullptr);

    // Where the interface table names interfaces from; it must outlive the model.
    void SetInterfaceNames(const InterfaceNames* Names) { Names_.Interfaces = Names; }
    // Host names, countries and AS names, for the next snapshot on.
    void SetNames(const ViewNames& Names) { Names_ = Names; }

    // OtherRow: the row that stands for no one key, or -1.
    void SetTop(const TalkerTop& Top, int SpanSeconds, int OtherRow = -1);
    TalkerKind Kind() const { return Kind_; }
    const TalkerTop& Top() const { return Top_; }
    // None for the "other" row: it cannot be selected as a talker.
    std::optional<TalkerKey> KeyAt(int Row) const;
    int RowOf(const TalkerKey& Key) const;

    int rowCount(const QModelIndex& Parent = {}) const override;
    int columnCount(const QModelIndex& Parent = {}) const override;
    QVariant data(const QModelIndex& Index, int Role) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const override;

  private:
    QVariant Figure(const TrafficTotals& Row, int Column, int Role) const;
    QVariant UtilisationAt(int Row, int Role) const;

    TalkerKind Kind_;
    ViewNames Names_;
    TalkerTop Top_;
    std::vector<QString> Labels_;            // the rows' talker names, looked up once per snapshot
    std::vector<std::uint64_t> SpeedsMbps_;  // of the interface table's rows; 0 where unknown
    int SpanSeconds_ = 60;
    int OtherRow_ = -1;
};
