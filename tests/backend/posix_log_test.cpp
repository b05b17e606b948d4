// The server log as the launcher prepares it and the child writes it: created 0600 when
// absent, a header written by the launcher, then the child's standard output and error through
// the same open file, appended run after run; and a log that cannot be opened leaves the child
// on the launcher's own streams.
#include <sys/stat.h>

#include "platform/posix/files.h"
#include "platform/posix/process.h"
#include "posix_support.h"

namespace lumivane::posix {
namespace {

namespace fs = std::filesystem;
using testing::HandlerRecord;
using testing::TemporaryDirectory;
using testing::modeOf;
using testing::readFile;
using testing::writeFile;

class ServerLog : public ::testing::Test {
 protected:
  // The launcher's steps: create the directory and, when absent, the file 0600; open it,
  // write the header at the end, then start the child on it. False when the log could not be
  // opened (the child then inherits).
  bool runOnce(const std::string& header, const std::string& script) {
    fm->createDirectory(logURL.parent_path(), true);
    if (!fm->fileExistsAtPath(logURL)) fm->createFileAtPath(logURL, "", 0600);
    auto handle = fm->fileHandleForWritingToURL(logURL);
    if (handle) {
      EXPECT_TRUE(handle->seekToEndOfFile());
      EXPECT_TRUE(handle->writeData(header));
    }
    auto record = HandlerRecord::make();
    ProcessDescription description = testing::shell(script);
    description.standardOutput = handle;
    description.standardError = handle;
    description.terminationHandler = record->handler();
    const LaunchResult result = spawnProcess(std::move(description));
    EXPECT_TRUE(result.process) << result.localizedDescription;
    EXPECT_TRUE(record->waitUntilDone());
    return handle != nullptr;
  }

  TemporaryDirectory directory;
  std::unique_ptr<FileManager> fm = makeFileManager({});
  fs::path logURL = directory / "Logs/Lumivane/lumivane.log";
};

TEST_F(ServerLog, FirstRunCreatesItPrivateWithHeaderThenBothStreamsInOrder) {
  testing::ScopedUmask mask(022);
  ASSERT_TRUE(runOnce("\n--- started 1 ---\n", "echo out; echo err >&2; echo out2; echo err2 >&2"));
  EXPECT_EQ(modeOf(logURL), 0600u);
  EXPECT_EQ(readFile(logURL), "\n--- started 1 ---\nout\nerr\nout2\nerr2\n");
}

TEST_F(ServerLog, LaterRunsAppendAndKeepThePermissionsThere) {
  fs::create_directories(logURL.parent_path());
  writeFile(logURL, "from before\n", fs::perms(0644));
  ASSERT_TRUE(runOnce("\n--- started 1 ---\n", "echo one"));
  ASSERT_TRUE(runOnce("\n--- started 2 ---\n", "echo two >&2"));
  EXPECT_EQ(readFile(logURL), "from before\n\n--- started 1 ---\none\n\n--- started 2 ---\ntwo\n");
  EXPECT_EQ(modeOf(logURL), 0644u);
}

// Whatever stands at the log's path, the launch goes on with the child on the launcher's own
// standard output and error, and nothing lands at that path.
TEST_F(ServerLog, UnusablePathLeavesTheChildOnTheLaunchersStreams) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> prepare;
  };
  const Case cases[] = {
      {"directory", [](const fs::path& path) { fs::create_directories(path); }},
      {"fifo",
       [](const fs::path& path) {
         fs::create_directories(path.parent_path());
         ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
       }},
  };
  for (const auto& c : cases) {
    TemporaryDirectory place;
    logURL = place / "Logs/Lumivane/lumivane.log";
    c.prepare(logURL);
    const fs::path ownOutput = place / "own-output";
    const fs::path ownError = place / "own-error";
    {
      testing::ScopedRedirect output(STDOUT_FILENO, ownOutput);
      testing::ScopedRedirect error(STDERR_FILENO, ownError);
      EXPECT_FALSE(runOnce("header\n", "echo out; echo err >&2")) << c.name;
    }
    EXPECT_EQ(readFile(ownOutput), "out\n") << c.name;
    EXPECT_EQ(readFile(ownError), "err\n") << c.name;
    EXPECT_FALSE(fs::is_regular_file(logURL)) << c.name;
  }
}

}  // namespace
}  // namespace lumivane::posix
