#include "ExportersWindow.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

#include "CounterSnapshot.h"
#include "ExportersModel.h"
#include "PcapWriter.h"
#include "StatusBar.h"

namespace {

QString CsvField(const QString& Text) {
    if (!Text.contains(QLatin1Char(',')) && !Text.contains(QLatin1Char('"'))) return Text;
    QString quoted = Text;
    quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

}  // namespace

TfrmExporters::TfrmExporters(const ExporterTable& Exporters, const CollectorCounters& Counters, QWidget* Parent,
                             const RecentDatagrams* Recent)
    : QWidget(Parent, Qt::Window),
      Exporters_(Exporters),
      Counters_(Counters),
      Recent_(Recent),
      Model_(new ExportersModel(this)),
      Sorted_(new QSortFilterProxyModel(this)) {
    setObjectName(QStringLiteral("frmExporters"));
    setWindowTitle(QStringLiteral("Exporters"));
    resize(1100, 420);

    Sorted_->setSourceModel(Model_);
    Sorted_->setSortRole(ExportersModel::SortRole);
    tblExporters = new QTableView(this);
    tblExporters->setObjectName(QStringLiteral("tblExporters"));
    tblExporters->setModel(Sorted_);
    tblExporters->setSortingEnabled(true);
    tblExporters->sortByColumn(ExportersModel::colExporter, Qt::AscendingOrder);
    tblExporters->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblExporters->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tblExporters->verticalHeader()->hide();
    tblExporters->horizontalHeader()->setStretchLastSection(true);

    auto* copy = new QAction(QStringLiteral("Copy"), tblExporters);
    copy->setObjectName(QStringLiteral("actCopyRows"));
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(copy, &QAction::triggered, this, &TfrmExporters::CopySelection);
    tblExporters->addAction(copy);

    lblCollectorTotals = new QLabel(this);
    lblCollectorTotals->setObjectName(QStringLiteral("lblCollectorTotals"));
    lblCollectorTotals->setTextInteractionFlags(Qt::TextSelectableByMouse);
    cmdSaveCsv = new QPushButton(QStringLiteral("Save as CSV\u2026"), this);
    cmdSaveCsv->setObjectName(QStringLiteral("cmdSaveCsv"));
    connect(cmdSaveCsv, &QPushButton::clicked, this, &TfrmExporters::SaveCsvClick);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(lblCollectorTotals, 1);
    if (Recent_ != nullptr) {
        cmdSaveRecent = new QPushButton(QStringLiteral("Save recent datagrams\u2026"), this);
        cmdSaveRecent->setObjectName(QStringLiteral("cmdSaveRecent"));
        connect(cmdSaveRecent, &QPushButton::clicked, this, &TfrmExporters::SaveRecentClick);
        bottom->addWidget(cmdSaveRecent, 0, Qt::AlignBottom);
    }
    bottom->addWidget(cmdSaveCsv, 0, Qt::AlignBottom);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tblExporters, 1);
    layout->addLayout(bottom);

    Timer_.setInterval(kRefreshMs);
    connect(&Timer_, &QTimer::timeout, this, [this] { Refresh(WallClockMs()); });
}

void TfrmExporters::showEvent(QShowEvent* Event) {
    Refresh(WallClockMs());
    tblExporters->resizeColumnsToContents();
    Timer_.start();
    QWidget::showEvent(Event);
}

void TfrmExporters::hideEvent(QHideEvent* Event) {
    Timer_.stop();
    QWidget::hideEvent(Event);
}

void TfrmExporters::Refresh(std::int64_t NowMs) {
    Exporters_.Snapshot(Rows_, Totals_);
    Model_->Update(Rows_, NowMs);
    lblCollectorTotals->setText(TotalsText());
}

QString TfrmExporters::TotalsText() const {
    const tCounterSnapshot c = TakeSnapshot(Counters_);
    const auto n = [](std::uint64_t v) { return GroupedNumber(v); };
    QStringList lines;
    lines << QStringLiteral("Datagrams received: %1 (version 5: %2, version 9: %3, IPFIX: %4); flows: %5")
                 .arg(n(c.DatagramsReceived), n(c.V5Datagrams), n(c.V9Datagrams), n(c.IpfixDatagrams), n(c.Flows));
    lines << QStringLiteral("Ignored: too short %1, unknown version %2, longer than the buffer %3; kernel drops: %4")
                 .arg(n(c.TooShort), n(c.UnknownVersion), n(c.OversizeDropped), n(c.KernelDrops));
    lines << QStringLiteral("CSV lines written: %1, lost: %2; traces written: %3, skipped: %4; exception reports: %5")
                 .arg(n(c.CsvLinesWritten), n(c.CsvLinesLost), n(c.TracesWritten), n(c.TracesSkipped),
                      n(c.ExceptionReports));
    lines << QStringLiteral(
                 "Cut by the bounds: %1, templates refused: %2; exporters kept: %3, dropped past the "
                 "cap of %4: %5")
                 .arg(n(c.BoundCuts), n(c.TemplatesRefused), n(Totals_.Kept), n(ExporterTable::kDefaultCapacity),
                      n(Totals_.Evicted));
    lines << QStringLiteral(
                 "Flows lost to the bounds: %1; templates pushed out by the bounds: %2; data sets waiting for "
                 "their template: %3, decoded late: %4, lost: %5")
                 .arg(n(c.FlowsDroppedByBounds), n(c.TemplatesEvicted), n(c.SetsHeld), n(c.SetsDecodedLate),
                      n(c.SetsLost));
    if (NamesText_) lines << QString::fromStdString(NamesText_());
    return lines.join(QLatin1Char('\n'));
}

QString TfrmExporters::SelectedRowsText() const {
    QModelIndexList rows = tblExporters->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QString text;
    for (const QModelIndex& row : rows) {
        QStringList cells;
        for (int c = 0; c < ExportersModel::kColumnCount; ++c) cells << Sorted_->index(row.row(), c).data().toString();
        text += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    return text;
}

void TfrmExporters::CopySelection() const {
    const QString text = SelectedRowsText();
    if (!text.isEmpty()) QApplication::clipboard()->setText(text);
}

bool TfrmExporters::SaveCsv(const QString& FileName) const {
    QStringList lines;
    QStringList header;
    for (int c = 0; c < ExportersModel::kColumnCount; ++c) header << CsvField(ExportersModel::ColumnTitle(c));
    lines << header.join(QLatin1Char(','));
    for (int r = 0; r < Sorted_->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < ExportersModel::kColumnCount; ++c)
            cells << CsvField(Sorted_->index(r, c).data().toString());
        lines << cells.join(QLatin1Char(','));
    }
    QFile file(FileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const QByteArray bytes = (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
    return file.write(bytes) == bytes.size() && file.flush();
}

void TfrmExporters::SaveCsvClick() {
    const QString name = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save as CSV"), QStringLiteral("exporters.csv"), QStringLiteral("CSV files (*.csv)"));
    if (name.isEmpty() || SaveCsv(name)) return;
    const QString message = QStringLiteral("The table could not be saved to %1.").arg(name);
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    QMessageBox::warning(this, windowTitle(), message);
}

bool TfrmExporters::SaveRecent(const QString& FileName, QString& Error) const {
    if (Recent_ == nullptr) return false;
    std::string error;
    const bool saved = WriteCapture(FileName.toStdString(), Recent_->Snapshot(), tCaptureTarget{}, error);
    Error = QString::fromStdString(error);
    return saved;
}

void TfrmExporters::SaveRecentClick() {
    const QString name = QFileDialog::getSaveFileName(this, QStringLiteral("Save recent datagrams"),
                                                      QString::fromStdString(CaptureFileName(WallClockUs())),
                                                      QStringLiteral("Capture files (*.pcap)"));
    QString error;
    if (name.isEmpty() || SaveRecent(name, error)) return;
    const QString message = QStringLiteral("The recent datagrams could not be saved to %1: %2").arg(name, error);
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    QMessageBox::warning(this, windowTitle(), message);
}
