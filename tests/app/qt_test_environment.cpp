// One application object for every window test, on the offscreen platform unless the caller
// chose another.
#include <QApplication>
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
    SetApplicationTitle(kApplicationTitle);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  QApplication* app_ = nullptr;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
