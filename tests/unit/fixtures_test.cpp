// The shared fixtures in tests/fixtures are loaded by the simulated desktop and built by the GTK
// test application: each must stay a valid desktop description.
#include <gtest/gtest.h>

#include <filesystem>

#include "desktop/sim/sim.h"

namespace qcu {
namespace {

TEST(SharedFixtures, EachLoadsIntoTheSimulatedDesktop) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(QCU_FIXTURES_DIR)) {
    if (entry.path().extension() != ".json") continue;
    ++count;
    EXPECT_EQ(sim::loadFile(entry.path().string()), "") << entry.path();
  }
  sim::reset();
  EXPECT_GT(count, 0) << "no fixture in " << QCU_FIXTURES_DIR;
}

}  // namespace
}  // namespace qcu
