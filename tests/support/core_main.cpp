#include <QCoreApplication>
#include <gtest/gtest.h>

// Non-GUI tests still get a QCoreApplication so that Qt's event loop,
// timers and text codecs behave as they do in the programs.
int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
