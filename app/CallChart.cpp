#include "app/CallChart.h"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>

#include "app/Unit_1_client.h"

namespace {

constexpr char kChartName[] = "CallChart";

QLineSeries* Series(const QString& name, const std::vector<double>& values, double& most) {
  auto* s = new QLineSeries;
  s->setName(name);
  for (size_t k = 0; k < values.size(); ++k) {
    s->append(static_cast<double>(k + 1), values[k]);
    most = std::max(most, values[k]);
  }
  return s;
}

}  // namespace

void ShowCallChart(TForm1& form, const TCallResult& call) {
  if (!form.isVisible() || (!call.Up && !call.Down)) return;
  QWidget* window = form.CallChartWindow;
  if (!window) {
    // A window of its own, not a tool window of the tester's: it is minimized on its own, and
    // the tester's end closes it.
    window = new QWidget(nullptr, Qt::Window);
    window->setAttribute(Qt::WA_QuitOnClose, false);
    window->setObjectName(QString::fromLatin1(kChartName));
    window->setWindowTitle(QStringLiteral("Test call per second"));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new QChartView(window);
    view->setRenderHint(QPainter::Antialiasing);
    layout->addWidget(view);
    window->resize(620, 340);
    form.CallChartWindow = window;
  }
  auto* view = window->findChild<QChartView*>();
  auto* chart = new QChart;
  chart->setTitle(QStringLiteral("Test call: loss and jitter per second"));
  double lossMost = 0, jitterMost = 0;
  std::vector<QLineSeries*> loss, jitter;
  if (call.Up) {
    loss.push_back(Series(QStringLiteral("Loss sending"), call.Up->LossBySecondPercent, lossMost));
    jitter.push_back(Series(QStringLiteral("Jitter sending"), call.Up->JitterBySecondMs, jitterMost));
  }
  if (call.Down) {
    loss.push_back(Series(QStringLiteral("Loss receiving"), call.Down->LossBySecondPercent, lossMost));
    jitter.push_back(Series(QStringLiteral("Jitter receiving"), call.Down->JitterBySecondMs, jitterMost));
  }
  auto* seconds = new QValueAxis;
  seconds->setTitleText(QStringLiteral("Second of the call"));
  seconds->setLabelFormat(QStringLiteral("%d"));
  seconds->setRange(1, std::max(2, call.Seconds));
  seconds->setTickType(QValueAxis::TicksDynamic);
  seconds->setTickAnchor(1);
  seconds->setTickInterval(call.Seconds <= 15 ? 1 : 5);
  auto* lossAxis = new QValueAxis;
  lossAxis->setTitleText(QStringLiteral("Loss (%)"));
  lossAxis->setRange(0, std::max(5.0, lossMost * 1.2));
  lossAxis->applyNiceNumbers();
  auto* jitterAxis = new QValueAxis;
  jitterAxis->setTitleText(QStringLiteral("Jitter (ms)"));
  jitterAxis->setRange(0, std::max(10.0, jitterMost * 1.2));
  jitterAxis->applyNiceNumbers();
  chart->addAxis(seconds, Qt::AlignBottom);
  chart->addAxis(lossAxis, Qt::AlignLeft);
  chart->addAxis(jitterAxis, Qt::AlignRight);
  for (QLineSeries* s : loss) {
    chart->addSeries(s);
    s->attachAxis(seconds);
    s->attachAxis(lossAxis);
  }
  for (QLineSeries* s : jitter) {
    chart->addSeries(s);
    s->attachAxis(seconds);
    s->attachAxis(jitterAxis);
    QPen pen = s->pen();
    pen.setStyle(Qt::DashLine);
    s->setPen(pen);
  }
  QChart* old = view->chart();
  view->setChart(chart);
  if (old != chart) delete old;
  const QScreen* screen = form.screen() ? form.screen() : QGuiApplication::primaryScreen();
  if (screen) window->move(ChartPlace(form.frameGeometry(), window->frameGeometry().size(), screen->availableGeometry()));
  window->show();
}

QPoint ChartPlace(const QRect& main, const QSize& chart, const QRect& screen) {
  constexpr int kGap = 8;
  const int right = main.right() + 1 + kGap, left = main.left() - kGap - chart.width();
  int x, y = main.top();
  if (right + chart.width() <= screen.right() + 1) {
    x = right;
  } else if (left >= screen.left()) {
    x = left;
  } else {
    // No room on either side: against the edge with more room, over the window's log pane
    // rather than its result card.
    x = screen.right() + 1 - main.right() >= main.left() - screen.left() ? screen.right() + 1 - chart.width()
                                                                       : screen.left();
    y = main.bottom() + 1 - chart.height();
  }
  y = std::clamp(y, screen.top(), std::max(screen.top(), screen.bottom() + 1 - chart.height()));
  return {std::max(screen.left(), x), y};
}
