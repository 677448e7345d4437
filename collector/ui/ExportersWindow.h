#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ExporterTable.h"
#include "RecentDatagrams.h"

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

    // Recent: the datagrams "Save recent datagrams…" writes as a capture file; no button without it.
    TfrmExporters(const ExporterTable& Exporters, const CollectorCounters& Counters, QWidget* Parent = nullptr,
                  const RecentDatagrams* Recent = nullptr);

    // A line of the totals on the caches of names and what their lookups met.
    void SetNamesText(std::function<std::string()> Text) { NamesText_ = std::move(Text); }

    // One refresh of table and totals; NowMs is the wall clock in milliseconds since 1970.
    void Refresh(std::int64_t NowMs);
    // The selected rows, in the order shown, one line each with tab-separated cells.
    QString SelectedRowsText() const;
    void CopySelection() const;
    // The whole table in the order shown, a header line first. False when the file cannot be written.
    bool SaveCsv(const QString& FileName) const;
    // The recent datagrams as a capture file; false with the reason in Error when it cannot be written.
    bool SaveRecent(const QString& FileName, QString& Error) const;

    QTableView* tblExporters = nullptr;
    QLabel* lblCollectorTotals = nullptr;
    QPushButton* cmdSaveCsv = nullptr;
    QPushButton* cmdSaveRecent = nullptr;

  protected:
    void showEvent(QShowEvent* Event) override;
    void hideEvent(QHideEvent* Event) override;

  private:
    void SaveCsvClick();
    void SaveRecentClick();
    QString TotalsText() const;

    const ExporterTable& Exporters_;
    const CollectorCounters& Counters_;
    const RecentDatagrams* Recent_;
    ExportersModel* Model_;
    QSortFilterProxyModel* Sorted_;
    QTimer Timer_;
    std::vector<tExporterRow> Rows_;
    tExporterTotals Totals_;
    std::function<std::string()> NamesText_;
};
