#pragma once

#include <QList>
#include <QPointF>
#include <QString>
#include <QtCharts/QChartView>
#include <cstdint>
#include <vector>

#include "TrafficAggregator.h"

class QDateTimeAxis;
class QLineSeries;
class QValueAxis;

// Flows/s and bit/s of the chosen span, one point per second, the newest at the right (0), and
// the selected talker's bit/s drawn over the total. Rates are plotted in the axis's unit
// (bit/s, kbit/s, Mbit/s...), chosen from the largest rate in view. Each series keeps one point per second of the
// span and is replaced whole once a tick. A rate line that took in sampled flows is an estimate,
// and its name in the legend says so. A span of the history is drawn against the clock instead, one
// point per step (second, minute or hour), its rates the step's averages.
class TrafficChart : public QChartView {
    Q_OBJECT

  public:
    explicit TrafficChart(QWidget* Parent = nullptr);

    // Selected may be empty (no talker selected) or as long as Totals.
    void Show(const std::vector<TrafficTotals>& Totals, const std::vector<TrafficTotals>& Selected,
              const QString& SelectedName);
    // Totals: one per step of StepMs from StartMs on. No talker line: the history draws none.
    void ShowHistory(const std::vector<TrafficTotals>& Totals, std::int64_t StartMs, std::int64_t StepMs);

    QLineSeries* FlowsSeries() const { return Flows_; }
    QLineSeries* BitsSeries() const { return Bits_; }
    QLineSeries* SelectedSeries() const { return Selected_; }
    QString RateUnit() const;
    // Whether the time axis is the clock (a span of the history) rather than seconds before now.
    bool ShowsClock() const { return Clock_ != nullptr && OnClock_; }

  private:
    // X: the first point's place and the step between points; PerSecond: seconds per point.
    void Fill(QList<QPointF>& Points, const std::vector<TrafficTotals>& Values, bool Bits, double& Max, double X0,
              double Dx, double PerSecond) const;
    void UseClock(bool Clock);
    // Scales the rate lines to the unit that suits Max bit/s and sets both value axes.
    void Finish(double MaxFlows, double MaxBits, const TrafficTotals& All);

    QLineSeries* Flows_;
    QLineSeries* Bits_;
    QLineSeries* Selected_;
    QValueAxis* Time_;
    QDateTimeAxis* Clock_ = nullptr;  // made the first time the history is shown
    bool OnClock_ = false;
    QValueAxis* FlowAxis_;
    QValueAxis* BitAxis_;
    QList<QPointF> FlowPoints_;
    QList<QPointF> BitPoints_;
    QList<QPointF> SelectedPoints_;
};
