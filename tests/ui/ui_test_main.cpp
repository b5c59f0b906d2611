// The UI tests need one application object for the whole run, on the offscreen platform unless
// the caller chose another (a real display for a look at the windows).
#include <gtest/gtest.h>

#include <cstdlib>

#include "melodyseeker_app.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  TMelodySeekerApp app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
