#include <QCoreApplication>
#include <gtest/gtest.h>

// Non-GUI tests still get a QCoreApplication so that Qt's event loop,
// timers and text codecs behave as they do in the programs.
int main(int argc, char** argv) {
  if (qgetenv("VEKTA_TEST_BIN_DIR").isEmpty()) qputenv("VEKTA_TEST_BIN_DIR", VEKTA_BUILD_BIN_DIR);
  if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
