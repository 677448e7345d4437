#include "TrafficChart.h"

#include <QDateTime>
#include <QPen>
#include <QtCharts/QChart>
#include <QtCharts/QDateTimeAxis>
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
    // The view made a chart of its own and gives up its ownership on setChart: it is ours to delete.
    QChart* made = this->chart();
    setChart(chart);
    delete made;
    setRenderHint(QPainter::Antialiasing);
    setMinimumHeight(180);
}

void TrafficChart::Fill(QList<QPointF>& Points, const std::vector<TrafficTotals>& Values, bool Bits, double& Max,
                        double X0, double Dx, double PerSecond) const {
    const auto n = static_cast<qsizetype>(Values.size());
    // The list keeps its size from tick to tick, so it is rewritten in place.
    if (Points.size() != n) Points.resize(n);
    for (qsizetype i = 0; i < n; ++i) {
        const TrafficTotals& t = Values[static_cast<std::size_t>(i)];
        const double y = (Bits ? 8.0 * static_cast<double>(t.Bytes) : static_cast<double>(t.Flows)) / PerSecond;
        Points[i] = QPointF(X0 + static_cast<double>(i) * Dx, y);
        Max = std::max(Max, y);
    }
}

void TrafficChart::UseClock(bool Clock) {
    if (Clock && Clock_ == nullptr) {
        Clock_ = new QDateTimeAxis;
        chart()->addAxis(Clock_, Qt::AlignBottom);
        Clock_->hide();
    }
    if (Clock == OnClock_) return;
    QAbstractAxis* from = Clock ? static_cast<QAbstractAxis*>(Time_) : Clock_;
    QAbstractAxis* to = Clock ? static_cast<QAbstractAxis*>(Clock_) : Time_;
    for (QLineSeries* s : {Flows_, Bits_, Selected_}) {
        s->detachAxis(from);
        s->attachAxis(to);
    }
    from->hide();
    to->show();
    // The history draws no talker line; hiding it takes its entry out of the legend too.
    Selected_->setVisible(!Clock);
    OnClock_ = Clock;
}

void TrafficChart::Show(const std::vector<TrafficTotals>& Totals, const std::vector<TrafficTotals>& Selected,
                        const QString& SelectedName) {
    UseClock(false);
    double maxFlows = 0;
    double maxBits = 0;
    double ignored = 0;
    const double first = -static_cast<double>(Totals.size()) + 1;
    Fill(FlowPoints_, Totals, false, maxFlows, first, 1, 1);
    Fill(BitPoints_, Totals, true, maxBits, first, 1, 1);
    Fill(SelectedPoints_, Selected, true, ignored, -static_cast<double>(Selected.size()) + 1, 1, 1);
    const TrafficTotals all = Sum(Totals);
    Selected_->setName(SelectedName.isEmpty() ? QStringLiteral("selected: none")
                                              : Estimated(QStringLiteral("selected: ") + SelectedName, Sum(Selected)));
    Time_->setRange(-static_cast<double>(std::max<std::size_t>(Totals.size(), 2) - 1), 0);
    Finish(maxFlows, maxBits, all);
}

void TrafficChart::ShowHistory(const std::vector<TrafficTotals>& Totals, std::int64_t StartMs, std::int64_t StepMs) {
    UseClock(true);
    const std::int64_t step = std::max<std::int64_t>(StepMs, 1000);
    const double seconds = static_cast<double>(step) / 1000;
    double maxFlows = 0;
    double maxBits = 0;
    Fill(FlowPoints_, Totals, false, maxFlows, static_cast<double>(StartMs), static_cast<double>(step), seconds);
    Fill(BitPoints_, Totals, true, maxBits, static_cast<double>(StartMs), static_cast<double>(step), seconds);
    SelectedPoints_.clear();
    const std::int64_t last = StartMs + std::max<std::int64_t>(static_cast<std::int64_t>(Totals.size()) - 1, 1) * step;
    // Labels as short as the span allows: a day reads by the clock, a week or a month by its days,
    // a tick a day where that leaves room.
    constexpr std::int64_t kDay = 86'400'000;
    const std::int64_t span = last - StartMs;
    if (span <= kDay) {
        Clock_->setFormat(step < 60'000 ? QStringLiteral("hh:mm:ss") : QStringLiteral("hh:mm"));
        Clock_->setTickCount(7);
    } else if (span <= 3 * kDay) {
        Clock_->setFormat(QStringLiteral("MM-dd hh:mm"));
        Clock_->setTickCount(5);
    } else {
        Clock_->setFormat(QStringLiteral("MM-dd"));
        const std::int64_t days = (span + kDay / 2) / kDay;
        Clock_->setTickCount(days <= 8 ? static_cast<int>(days) + 1 : 7);
    }
    const char* per = step >= 3'600'000 ? "hour" : step >= 60'000 ? "minute" : "second";
    Clock_->setTitleText(QStringLiteral("one point per %1, rates are its averages").arg(QString::fromLatin1(per)));
    Clock_->setRange(QDateTime::fromMSecsSinceEpoch(StartMs), QDateTime::fromMSecsSinceEpoch(last));
    Finish(maxFlows, maxBits, Sum(Totals));
}

void TrafficChart::Finish(double MaxFlows, double MaxBits, const TrafficTotals& All) {
    // The rate axis counts in the unit that suits the largest rate, so its labels stay short.
    static const char* const kUnits[] = {"bit/s", "kbit/s", "Mbit/s", "Gbit/s", "Tbit/s"};
    int unit = 0;
    double scale = 1;
    while (MaxBits / scale >= 1000 && unit < 4) {
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
    Bits_->setName(Estimated(QStringLiteral("bit/s"), All));
    setToolTip(QString::fromStdString(trafficnames::EstimateNote(All)));
    // Five ticks put a quarter of the top between labels: 0.5 flows/s must not read as "0" or "2",
    // and a top of ten thousand or more has whole quarters that need no exponent.
    const double flowTop = NiceCeiling(MaxFlows);
    FlowAxis_->setLabelFormat(flowTop < 10000 ? QStringLiteral("%.4g") : QStringLiteral("%.0f"));
    FlowAxis_->setRange(0, flowTop);
    BitAxis_->setRange(0, NiceCeiling(MaxBits / scale));
}

QString TrafficChart::RateUnit() const { return BitAxis_->titleText(); }
