// Replays every file of the hand-off corpus through the fuzz target's checks, so that what the
// fuzzer once found stays fixed in an ordinary build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "handoff_check.h"

namespace {

TEST(HandOffCorpus, EveryFileKeepsTheProperties) {
  const std::filesystem::path corpus = LUMIVANE_HANDOFF_CORPUS;
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    EXPECT_EQ(lumivane::fuzz::checkHandOffFile(bytes.str()), "") << entry.path();
    ++files;
  }
  EXPECT_GT(files, 0u) << "the corpus at " << corpus << " is empty";
}

}  // namespace
