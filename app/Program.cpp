#include "app/Program.h"

#include "app/DataFolder.h"
#include "app/Unit_1_client.h"
#include "net/IdStack.h"
#include "net/IdThread.h"

TProgram::TProgram(int& argc, char** argv, TWindowing& front) : app_(argc, argv) {
  QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
  SetApplicationTitle(kApplicationTitle);
  EnterDataFolder();
  TUiThread::Install(&uiThread_);
  InstallWindowing(&front);
}

TProgram::~TProgram() {
  form_.reset();
  Form1 = nullptr;
  TIdThread::WaitForAllThreads();
  InstallWindowing(nullptr);
  TUiThread::Install(nullptr);
  IdStackFinalize();
}

TForm1* TProgram::MakeWindow() {
  try {
    form_ = std::make_unique<TForm1>();
  } catch (...) {
    ReportException(std::current_exception());
    return nullptr;
  }
  Form1 = form_.get();
  form_->FormCreate(form_.get());
  return form_.get();
}
