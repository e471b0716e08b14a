#pragma once
// The console front: the very same window, never shown, driven like a person would drive it,
// with every line that appears in a pane written to the standard output as it appears.
#include <QObject>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "app/CliLines.h"
#include "app/CliOptions.h"
#include "app/Windowing.h"
#include "probes/RunResult.h"

class TForm1;

// Message boxes become [ERROR] lines; the first argument is the endpoint of the options.
class TCliWindowing : public TWindowing {
 public:
  TCliWindowing(std::string endpoint, std::function<void(const std::string&)> onError)
      : endpoint_(std::move(endpoint)), onError_(std::move(onError)) {}
  void ShowMessage(const std::string& caption, const std::string& text) override;
  void ShowError(const std::string& caption, const std::string& text) override;
  std::string FirstArgument() override { return endpoint_; }

 private:
  std::string endpoint_;
  std::function<void(const std::string&)> onError_;
};

// Drives one run of the window: press "Start test", wait until the window announces the end
// of the run or the time is up, and keep every line. Finished() is emitted once, at the end.
class TCliDriver : public QObject {
  Q_OBJECT
 public:
  TCliDriver(TForm1& form, const TCliOptions& options, std::function<void(const TCliLine&)> echo);
  void Start();                      // call once the form exists; FormCreate must have run
  void AddError(const std::string& text);
  // An ending signal (SIGINT, SIGTERM): the run ends as "Stop test" would, and the front winds up.
  void Interrupt();
  const TCliRecord& Record() const { return record_; }
 signals:
  void Finished();

 private:
  void Add(const std::string& tag, const std::string& text);
  // Ends the run as "Stop test" would, noting why first.
  void EndRun(TRunEnd why);
  void Finish();

  TForm1& form_;
  TCliOptions options_;
  std::function<void(const TCliLine&)> echo_;
  TCliRecord record_;
  QTimer deadline_;     // --max-seconds
  bool finished_ = false;
  bool notReachedSaid_ = false;  // the line that the server was not reached is out
};
