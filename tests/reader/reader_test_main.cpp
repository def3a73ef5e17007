// Test entry for tests that need the reader's application object (widgets, nested event
// loops, the error box).
#include <gtest/gtest.h>

#include "reader/reader_application.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ReaderApplication app(argc, argv);
  app.SetErrorReporter([](const QString&) {});
  return RUN_ALL_TESTS();
}
