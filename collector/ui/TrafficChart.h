#pragma once

#include <QList>
#include <QPointF>
#include <QString>
#include <QtCharts/QChartView>
#include <vector>

#include "TrafficAggregator.h"

class QLineSeries;
class QValueAxis;

// Flows/s and bit/s of the chosen span, one point per second, the newest at the right (0), and
// the selected talker's bit/s drawn over the total. Rates are plotted in the axis's unit
// (bit/s, kbit/s, Mbit/s...), chosen from the largest rate in view. Each series keeps one point per second of the
// span and is replaced whole once a tick. A rate line that took in sampled flows is an estimate,
// and its name in the legend says so.
class TrafficChart : public QChartView {
    Q_OBJECT

  public:
    explicit TrafficChart(QWidget* Parent = nullptr);

    // Selected may be empty (no talker selected) or as long as Totals.
    void Show(const std::vector<TrafficTotals>& Totals, const std::vector<TrafficTotals>& Selected,
              const QString& SelectedName);

    QLineSeries* FlowsSeries() const { return Flows_; }
    QLineSeries* BitsSeries() const { return Bits_; }
    QLineSeries* SelectedSeries() const { return Selected_; }
    QString RateUnit() const;

  private:
    void Fill(QList<QPointF>& Points, const std::vector<TrafficTotals>& Values, bool Bits, double& Max) const;

    QLineSeries* Flows_;
    QLineSeries* Bits_;
    QLineSeries* Selected_;
    QValueAxis* Time_;
    QValueAxis* FlowAxis_;
    QValueAxis* BitAxis_;
    QList<QPointF> FlowPoints_;
    QList<QPointF> BitPoints_;
    QList<QPointF> SelectedPoints_;
};
