#include "run/RunTimer.h"

#include "net/ScopeExit.h"

TTimer::TTimer(QObject* parent, int intervalMs) : QTimer(parent) {
  setInterval(intervalMs);
  setTimerType(Qt::PreciseTimer);
  connect(this, &QTimer::timeout, this, [this] {
    if (inTick_) return;
    inTick_ = true;
    const TScopeExit reset{[this] { inTick_ = false; }};
    emit Tick();
  });
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled) {
    if (!isActive()) start();
  } else {
    stop();
  }
}
