#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  if (qgetenv("VEKTA_TEST_BIN_DIR").isEmpty()) qputenv("VEKTA_TEST_BIN_DIR", VEKTA_BUILD_BIN_DIR);
  if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
