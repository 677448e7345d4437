#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "ExporterTable.h"

class QLabel;
class QPushButton;
class QShowEvent;
class QHideEvent;
class QSortFilterProxyModel;
class QTableView;
class ExportersModel;
struct CollectorCounters;

// View > Exporters: one row per exporter with its health, and the collector's own totals below.
// Copies the exporter table a few times a second while shown; the listener never waits for it
// longer than one copy.
class TfrmExporters : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kRefreshMs = 250;

    TfrmExporters(const ExporterTable& Exporters, const CollectorCounters& Counters, QWidget* Parent = nullptr);

    // One refresh of table and totals; NowMs is the wall clock in milliseconds since 1970.
    void Refresh(std::int64_t NowMs);
    // The selected rows, in the order shown, one line each with tab-separated cells.
    QString SelectedRowsText() const;
    void CopySelection() const;
    // The whole table in the order shown, a header line first. False when the file cannot be written.
    bool SaveCsv(const QString& FileName) const;

    QTableView* tblExporters = nullptr;
    QLabel* lblCollectorTotals = nullptr;
    QPushButton* cmdSaveCsv = nullptr;

  protected:
    void showEvent(QShowEvent* Event) override;
    void hideEvent(QHideEvent* Event) override;

  private:
    void SaveCsvClick();
    QString TotalsText() const;

    const ExporterTable& Exporters_;
    const CollectorCounters& Counters_;
    ExportersModel* Model_;
    QSortFilterProxyModel* Sorted_;
    QTimer Timer_;
    std::vector<tExporterRow> Rows_;
    tExporterTotals Totals_;
};
