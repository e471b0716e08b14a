// One application object for every window test, on the offscreen platform unless the caller
// chose another.
#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "app/Windowing.h"

namespace {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "nat_tests_app";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    // Settings in a folder of the tests' own, never the user's.
    settings_ = new QTemporaryDir;
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
      QSettings::setPath(format, QSettings::UserScope, settings_->path());
    SetApplicationTitle(kApplicationTitle);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
    delete settings_;
    settings_ = nullptr;
  }

 private:
  QApplication* app_ = nullptr;
  QTemporaryDir* settings_ = nullptr;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
