#include "TrafficChart.h"

#include <QPen>
#include <QtCharts/QChart>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <cmath>

#include "TrafficNames.h"

namespace {

// A round upper end for an axis, so the scale does not jitter with every second's maximum.
double NiceCeiling(double Value) {
    if (Value <= 0) return 1;
    const double magnitude = std::pow(10.0, std::floor(std::log10(Value)));
    for (double step : {1.0, 2.0, 5.0, 10.0}) {
        if (Value <= step * magnitude) return step * magnitude;
    }
    return 10 * magnitude;
}

QLineSeries* MakeSeries(const char* Name, const char* Title, const QColor& Colour, qreal Width) {
    auto* series = new QLineSeries;
    series->setObjectName(QString::fromLatin1(Name));
    series->setName(QString::fromLatin1(Title));
    QPen pen(Colour);
    pen.setWidthF(Width);
    series->setPen(pen);
    return series;
}

TrafficTotals Sum(const std::vector<TrafficTotals>& Values) {
    TrafficTotals sum;
    for (const TrafficTotals& t : Values) sum.Add(t);
    return sum;
}

// "≈bit/s (sampled 1 in 1000)" where the line took in sampled flows.
QString Estimated(const QString& Name, const TrafficTotals& Totals) {
    if (!Totals.Estimated()) return Name;
    std::string rates = trafficnames::SamplingText(Totals.SampledLow);
    if (Totals.SampledHigh != Totals.SampledLow) rates += " to " + trafficnames::SamplingText(Totals.SampledHigh);
    return QString::fromUtf8(trafficnames::kEstimateMark) + Name + QStringLiteral(" (sampled ") +
           QString::fromStdString(rates) + QLatin1Char(')');
}

}  // namespace

TrafficChart::TrafficChart(QWidget* Parent) : QChartView(Parent) {
    setObjectName(QStringLiteral("chartTraffic"));
    auto* chart = new QChart;
    chart->setMargins(QMargins(4, 4, 4, 4));
    chart->legend()->setAlignment(Qt::AlignBottom);
    Flows_ = MakeSeries("seriesFlows", "flows/s", QColor(0x1f, 0x77, 0xb4), 1.5);
    Bits_ = MakeSeries("seriesBits", "bit/s", QColor(0x2c, 0xa0, 0x2c), 1.5);
    Selected_ = MakeSeries("seriesSelected", "selected: bit/s", QColor(0xd6, 0x27, 0x28), 3.0);
    chart->addSeries(Flows_);
    chart->addSeries(Bits_);
    chart->addSeries(Selected_);

    Time_ = new QValueAxis;
    Time_->setTitleText(QStringLiteral("seconds"));
    Time_->setLabelFormat(QStringLiteral("%d"));
    FlowAxis_ = new QValueAxis;
    FlowAxis_->setTitleText(QStringLiteral("flows/s"));
    FlowAxis_->setLabelFormat(QStringLiteral("%.0f"));
    BitAxis_ = new QValueAxis;
    BitAxis_->setTitleText(QStringLiteral("bit/s"));
    BitAxis_->setLabelFormat(QStringLiteral("%.4g"));
    chart->addAxis(Time_, Qt::AlignBottom);
    chart->addAxis(FlowAxis_, Qt::AlignLeft);
    chart->addAxis(BitAxis_, Qt::AlignRight);
    for (QLineSeries* s : {Flows_, Bits_, Selected_}) s->attachAxis(Time_);
    Flows_->attachAxis(FlowAxis_);
    Bits_->attachAxis(BitAxis_);
    Selected_->attachAxis(BitAxis_);
    setChart(chart);
    setRenderHint(QPainter::Antialiasing);
    setMinimumHeight(180);
}

void TrafficChart::Fill(QList<QPointF>& Points, const std::vector<TrafficTotals>& Values, bool Bits,
                        double& Max) const {
    const auto n = static_cast<qsizetype>(Values.size());
    // The list keeps its size from tick to tick, so it is rewritten in place.
    if (Points.size() != n) Points.resize(n);
    for (qsizetype i = 0; i < n; ++i) {
        const TrafficTotals& t = Values[static_cast<std::size_t>(i)];
        const double y = Bits ? 8.0 * static_cast<double>(t.Bytes) : static_cast<double>(t.Flows);
        Points[i] = QPointF(static_cast<double>(i - n + 1), y);
        Max = std::max(Max, y);
    }
}

void TrafficChart::Show(const std::vector<TrafficTotals>& Totals, const std::vector<TrafficTotals>& Selected,
                        const QString& SelectedName) {
    double maxFlows = 0;
    double maxBits = 0;
    double ignored = 0;
    Fill(FlowPoints_, Totals, false, maxFlows);
    Fill(BitPoints_, Totals, true, maxBits);
    Fill(SelectedPoints_, Selected, true, ignored);
    // The rate axis counts in the unit that suits the largest rate, so its labels stay short.
    static const char* const kUnits[] = {"bit/s", "kbit/s", "Mbit/s", "Gbit/s", "Tbit/s"};
    int unit = 0;
    double scale = 1;
    while (maxBits / scale >= 1000 && unit < 4) {
        scale *= 1000;
        ++unit;
    }
    if (scale > 1) {
        for (QList<QPointF>* points : {&BitPoints_, &SelectedPoints_}) {
            for (QPointF& p : *points) p.setY(p.y() / scale);
        }
    }
    BitAxis_->setTitleText(QString::fromLatin1(kUnits[unit]));
    Flows_->replace(FlowPoints_);
    Bits_->replace(BitPoints_);
    Selected_->replace(SelectedPoints_);
    const TrafficTotals all = Sum(Totals);
    Bits_->setName(Estimated(QStringLiteral("bit/s"), all));
    Selected_->setName(SelectedName.isEmpty() ? QStringLiteral("selected: none")
                                              : Estimated(QStringLiteral("selected: ") + SelectedName, Sum(Selected)));
    setToolTip(QString::fromStdString(trafficnames::EstimateNote(all)));
    Time_->setRange(-static_cast<double>(std::max<std::size_t>(Totals.size(), 2) - 1), 0);
    FlowAxis_->setRange(0, NiceCeiling(maxFlows));
    BitAxis_->setRange(0, NiceCeiling(maxBits / scale));
}

QString TrafficChart::RateUnit() const { return BitAxis_->titleText(); }
