#pragma once
// Base of every network component: keeps the socket layer alive while any component exists,
// and carries the status and progress events.
#include <cstdint>
#include <functional>
#include <string>

class TIdComponent;

enum class TIdStatus {
  hsResolving, hsConnecting, hsConnected, hsDisconnecting, hsDisconnected,
  hsStatusText, ftpTransfer, ftpReady, ftpAborted
};
enum class TWorkMode { wmRead = 0, wmWrite = 1 };

using TIdStatusEvent = std::function<void(TIdComponent* ASender, TIdStatus AStatus, const std::string& AStatusText)>;
using TWorkBeginEvent = std::function<void(TIdComponent* ASender, TWorkMode AWorkMode, int64_t AWorkCountMax)>;
using TWorkEvent = std::function<void(TIdComponent* ASender, TWorkMode AWorkMode, int64_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TIdComponent* ASender, TWorkMode AWorkMode)>;

// The text of a status, before formatting ("Resolving hostname %s." ...).
const char* IdStatusText(TIdStatus status);

class TIdComponent {
 public:
  TIdComponent();
  virtual ~TIdComponent();
  TIdComponent(const TIdComponent&) = delete;
  TIdComponent& operator=(const TIdComponent&) = delete;

  TIdStatusEvent OnStatus;
  TWorkBeginEvent OnWorkBegin;
  TWorkEvent OnWork;
  TWorkEndEvent OnWorkEnd;

  // Formats the status text with the argument (its "%s") and calls OnStatus if assigned.
  void ReportStatus(TIdStatus status, const std::string& arg = std::string());

  virtual void BeginProgress(TWorkMode mode, int64_t size);
  virtual void Progress(TWorkMode mode, int64_t count);
  virtual void EndProgress(TWorkMode mode);

 private:
  struct WorkState { int nesting = 0; int64_t size = 0; int64_t total = 0; };
  WorkState work_[2];
};
