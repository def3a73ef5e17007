// Test entry for tests that need the reader's application object (widgets, nested event
// loops, the error box).
#include <gtest/gtest.h>

#include "reader/reader_application.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Headless unless a test run asks for a platform (test discovery runs without one).
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ReaderApplication app(argc, argv);
  app.SetErrorReporter([](const QString&) {});
  return RUN_ALL_TESTS();
}
