#include "QtTestEnvironment.h"

#include <gtest/gtest.h>

#include <memory>

#include "app/CorvastelApplication.h"

namespace {
class TQtEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "corvastel-widget-tests";
        static char* argv[] = {name, nullptr};
        FApp = std::make_unique<TCorvastelApplication>(argc, argv);
    }
    void TearDown() override { FApp.reset(); }

  private:
    std::unique_ptr<TCorvastelApplication> FApp;
};

const auto* const environment = testing::AddGlobalTestEnvironment(new TQtEnvironment);
}  // namespace
