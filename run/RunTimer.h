#pragma once
// The timer of a run (and of the window that shows it): an enabled flag over QtCore's timer.
// Enabling a running timer keeps its rhythm; enabling a stopped one starts a fresh period. A
// tick that comes while the handler of the previous one is still running (inside a message
// box, say) is dropped, so ticks never pile up or nest.
#include <QTimer>

class TTimer : public QTimer {
  Q_OBJECT
 public:
  TTimer(QObject* parent, int intervalMs);
  bool Enabled() const { return isActive(); }
  void SetEnabled(bool enabled);
  // True while the Tick handler runs.
  bool InTick() const { return inTick_; }
 signals:
  void Tick();

 private:
  bool inTick_ = false;
};
