#include "net/IdComponent.h"

#include "net/IdStack.h"

const char* IdStatusText(TIdStatus status) {
  switch (status) {
    case TIdStatus::hsResolving: return "Resolving hostname %s.";
    case TIdStatus::hsConnecting: return "Connecting to %s.";
    case TIdStatus::hsConnected: return "Connected.";
    case TIdStatus::hsDisconnecting: return "Disconnecting.";
    case TIdStatus::hsDisconnected: return "Disconnected.";
    default: return "%s";
  }
}

TIdComponent::TIdComponent() {
  std::lock_guard<std::mutex> lock(StackLock);
  if (NetComponentCount == 0) {
    StartPlatformSocketLibrary();
    SocketStack = CreatePlatformStack();
  }
  ++NetComponentCount;
}

TIdComponent::~TIdComponent() {
  std::lock_guard<std::mutex> lock(StackLock);
  if (--NetComponentCount == 0) {
    delete SocketStack;
    SocketStack = nullptr;
  }
}

void TIdComponent::ReportStatus(TIdStatus status, const std::string& arg) {
  if (!OnStatus) return;
  std::string text = IdStatusText(status);
  auto pos = text.find("%s");
  if (pos != std::string::npos) text.replace(pos, 2, arg);
  OnStatus(this, status, text);
}

void TIdComponent::BeginProgress(TWorkMode mode, int64_t size) {
  WorkState& w = work_[static_cast<int>(mode)];
  if (++w.nesting == 1) {
    w.size = size;
    w.total = 0;
    if (OnWorkBegin) OnWorkBegin(this, mode, size);
  }
}

void TIdComponent::Progress(TWorkMode mode, int64_t count) {
  WorkState& w = work_[static_cast<int>(mode)];
  if (w.nesting < 1) return;
  w.total += count;
  if (OnWork) OnWork(this, mode, w.total);
}

void TIdComponent::EndProgress(TWorkMode mode) {
  WorkState& w = work_[static_cast<int>(mode)];
  if (w.nesting == 1 && OnWorkEnd) OnWorkEnd(this, mode);
  --w.nesting;
}
