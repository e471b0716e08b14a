#pragma once
// The console front: the very same window, never shown, driven like a person would drive it,
// with every line that appears in a pane written to the standard output as it appears.
#include <QObject>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "app/Windowing.h"
#include "probes/RunResult.h"

class TForm1;

struct TCliOptions {
  std::string LocalIp;     // address to test from; empty: the first of the list
  int MaxSeconds = 420;    // then the run is stopped and counts as failed
  bool Json = false;       // one JSON object at the end instead of the lines
  std::string Endpoint;    // host[:port] of the echo server; empty: the built-in one
  bool Help = false;
  bool Version = false;
};

// Parses the arguments after the program name; raises std::invalid_argument with a message
// for the user on bad input.
TCliOptions ParseCliOptions(const std::vector<std::string>& args);
extern const char kCliUsage[];

// Exit statuses.
enum TCliExit {
  kExitClean = 0,
  kExitAlg = 1,
  kExitUnreachable = 2,
  kExitFailure = 3,
  kExitNoNatReport = 4,
  kExitLost = 5,  // a probe was lost on the way, and the check that would have judged it had no verdict
};

// Version of the JSON object's layout; it grows when a field changes its meaning or goes.
inline constexpr int kJsonSchemaVersion = 3;

// How long the console front waits, after the NAT session test INVITEs, for the first NAT
// session report before it takes UDP from the server for blocked and ends the run.
inline constexpr int kNoNatReportSeconds = 60;

// One line as the console shows it: "[SIP] ", "[NAT] ", "[RTP] ", "[LOG] ", "[STATUS] " or
// "[ERROR] " followed by the text.
struct TCliLine {
  std::string Tag;   // SIP, NAT, RTP, LOG, STATUS, ERROR
  std::string Text;
};

// The output of one line: "[TAG] " and the text, once per piece of a text that holds line
// breaks (an error's text may), each ended by a line feed, so that every output line carries
// its tag.
std::string CliOutput(const TCliLine& line);

// What the front gathered over a run besides the run's result.
struct TCliRecord {
  std::vector<TCliLine> Lines;
  bool ErrorShown = false;      // a message box appeared
  bool WindowClosed = false;    // the window closed itself (no address, bind limit)
};

// The exit status of a run from its result and what the front saw: 1 when any check saw an
// ALG, whatever came after; 2 when the server was not reached; 5 when a probe was lost; 4 when
// no NAT session report came after the NAT INVITEs; 0 when the run completed otherwise; 3 for
// anything else.
int CliExitStatus(const TForm1& form, const TCliRecord& record);
// The JSON object of a run (one line), made from the run's result.
std::string CliJson(const TForm1& form, const TCliRecord& record, int exitStatus);

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
  void NoNatReportCheck();
  void Finish();

  TForm1& form_;
  TCliOptions options_;
  std::function<void(const TCliLine&)> echo_;
  TCliRecord record_;
  QTimer deadline_;     // --max-seconds
  QTimer natReports_;   // the wait for the first NAT session report
  bool finished_ = false;
  bool notReachedSaid_ = false;  // the line that the server was not reached is out
};
