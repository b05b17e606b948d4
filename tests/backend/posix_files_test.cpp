// The POSIX file manager on the real file system: user directories, creating directories and
// files, opening the log for writing, and reading small files, with the odd things that can
// stand at a path (links, directories, FIFOs, read-only files).
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/files.h"
#include "posix_support.h"

namespace lumivane::posix {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;
using testing::modeOf;
using testing::readFile;
using testing::writeFile;

TEST(XdgBaseDirectory, UsesAnAbsoluteValueOtherwiseTheDefaultUnderHome) {
  struct Case {
    const char* name;
    std::optional<std::string> value;
    fs::path expected;
  };
  const Case cases[] = {
      {"unset", std::nullopt, "/home/u/.local/state"},
      {"empty", "", "/home/u/.local/state"},
      {"relative", "state", "/home/u/.local/state"},
      {"dot-relative", "./state", "/home/u/.local/state"},
      {"absolute", "/var/xdg/state", "/var/xdg/state"},
  };
  for (const auto& c : cases) {
    Environment environment{{"XDG_DATA_HOME", "/elsewhere"}};
    if (c.value) environment["XDG_STATE_HOME"] = *c.value;
    EXPECT_EQ(xdgBaseDirectory(environment, "XDG_STATE_HOME", ".local/state", "/home/u"),
              c.expected)
        << c.name;
  }
}

TEST(FileManager, UserDirectoriesFollowTheEnvironment) {
  using D = SearchPathDirectory;
  const passwd* entry = ::getpwuid(::getuid());
  ASSERT_NE(entry, nullptr);
  const fs::path passwdHome = entry->pw_dir;
  struct Case {
    const char* name;
    Environment environment;
    D directory;
    fs::path expected;
  };
  const Case cases[] = {
      {"support from HOME", {{"HOME", "/h"}}, D::ApplicationSupport, "/h/.local/share"},
      {"library from HOME", {{"HOME", "/h"}}, D::Library, "/h/.local/state"},
      {"support from XDG", {{"HOME", "/h"}, {"XDG_DATA_HOME", "/d"}}, D::ApplicationSupport, "/d"},
      {"library from XDG", {{"HOME", "/h"}, {"XDG_STATE_HOME", "/s"}}, D::Library, "/s"},
      {"no HOME", {}, D::Library, passwdHome / ".local/state"},
      {"empty HOME", {{"HOME", ""}}, D::ApplicationSupport, passwdHome / ".local/share"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(makeFileManager(c.environment)->urlsForDirectory(c.directory, SearchPathDomain::User),
              std::vector<fs::path>{c.expected})
        << c.name;
  }
}

class FileManagerTest : public ::testing::Test {
 protected:
  TemporaryDirectory directory;
  std::unique_ptr<FileManager> fm = makeFileManager({});
};

TEST_F(FileManagerTest, CreateDirectory) {
  writeFile(directory / "file", "x");
  struct Case {
    const char* name;
    fs::path path;
    bool withIntermediates;
    bool expected;
  };
  const Case cases[] = {
      {"nested with intermediates", directory / "Logs/Lumivane", true, true},
      {"existing", directory / "Logs/Lumivane", true, true},
      {"existing without intermediates", directory / "Logs", false, true},
      {"nested without intermediates", directory / "a/b", false, false},
      {"a file in the way", directory / "file", true, false},
      {"under a file", directory / "file/sub", true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fm->createDirectory(c.path, c.withIntermediates), c.expected) << c.name;
  }
  EXPECT_TRUE(fs::is_directory(directory / "Logs/Lumivane"));
}

TEST_F(FileManagerTest, FileExistsForAnythingAtThePath) {
  writeFile(directory / "file", "");
  fs::create_symlink(directory / "nowhere", directory / "dangling");
  ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
  for (const char* name : {"file", "dangling", "fifo", "."}) {
    EXPECT_TRUE(fm->fileExistsAtPath(directory / name)) << name;
  }
  EXPECT_FALSE(fm->fileExistsAtPath(directory / "missing"));
  EXPECT_FALSE(fm->fileExistsAtPath(directory / "file/below"));
}

// The umask must not decide the log's permissions: asked for 0600 it is 0600, asked for 0640
// under a umask that strips group bits it is still 0640.
TEST_F(FileManagerTest, CreateFileAppliesThePermissionsExactly) {
  struct Case {
    const char* name;
    mode_t umask;
    unsigned permissions;
  };
  const Case cases[] = {{"0600 under 022", 022, 0600},
                        {"0640 under 077", 077, 0640},
                        {"0666 under 022", 022, 0666}};
  for (const auto& c : cases) {
    testing::ScopedUmask mask(c.umask);
    const fs::path path = directory / c.name;
    ASSERT_TRUE(fm->createFileAtPath(path, "contents\n", c.permissions)) << c.name;
    EXPECT_EQ(modeOf(path), c.permissions) << c.name;
    EXPECT_EQ(readFile(path), "contents\n") << c.name;
  }
}

TEST_F(FileManagerTest, CreateFileNeverTouchesWhatIsThere) {
  writeFile(directory / "existing", "old\n", fs::perms(0644));
  fs::create_symlink(directory / "target", directory / "dangling");
  fs::create_directory(directory / "dir");

  EXPECT_FALSE(fm->createFileAtPath(directory / "existing", "new", 0600));
  EXPECT_EQ(readFile(directory / "existing"), "old\n");
  EXPECT_EQ(modeOf(directory / "existing"), 0644u);

  // A dangling link at the log's path must not make the file appear where it points.
  EXPECT_FALSE(fm->createFileAtPath(directory / "dangling", "", 0600));
  EXPECT_FALSE(fs::exists(fs::symlink_status(directory / "target")));

  EXPECT_FALSE(fm->createFileAtPath(directory / "dir", "", 0600));
  EXPECT_FALSE(fm->createFileAtPath(directory / "missing/file", "", 0600));
}

TEST_F(FileManagerTest, HandleAppendsAfterWhatIsThereAndWritesLargeData) {
  writeFile(directory / "log", "before\n");
  auto handle = fm->fileHandleForWritingToURL(directory / "log");
  ASSERT_TRUE(handle);
  ASSERT_TRUE(handle->seekToEndOfFile());
  const std::string big(3 * 1024 * 1024 + 17, 'x');
  ASSERT_TRUE(handle->writeData("header\n"));
  ASSERT_TRUE(handle->writeData(big));
  // Another writer in between: append mode puts both writers' bytes one after the other.
  std::ofstream(directory / "log", std::ios::app) << "other\n";
  ASSERT_TRUE(handle->writeData("after\n"));
  EXPECT_EQ(readFile(directory / "log"), "before\nheader\n" + big + "other\nafter\n");
}

TEST_F(FileManagerTest, HandleReportsWriteErrors) {
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  DescriptorFile handle(full);
  EXPECT_FALSE(handle.writeData("lost"));
}

// Runs `check` as an unprivileged user when this test runs as root, for whom no file is
// read-only. The result comes back as the exit status of a forked child.
bool asUnprivilegedUser(const std::function<bool()>& check) {
  if (::geteuid() != 0) return check();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
    ::_exit(dropped ? (check() ? 0 : 1) : 2);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << "could not drop privileges";
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(FileManagerTest, NoHandleForWhatIsNotAWritableRegularFile) {
  fs::create_directory(directory / "dir");
  writeFile(directory / "readonly", "keep\n", fs::perms(0444));
  ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((directory / "fifo-with-reader").c_str(), 0600), 0);
  const int reader = ::open((directory / "fifo-with-reader").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);

  // A FIFO without a reader would block a plain open; with a reader it would open, and the
  // child's output would vanish into it.
  for (const char* name : {"missing", "dir", "fifo", "fifo-with-reader"}) {
    EXPECT_EQ(fm->fileHandleForWritingToURL(directory / name), nullptr) << name;
  }
  EXPECT_EQ(fm->fileHandleForWritingToURL("/dev/null"), nullptr);
  ::close(reader);

  fs::permissions(directory.path(), fs::perms(0755));
  const fs::path readonly = directory / "readonly";
  EXPECT_TRUE(asUnprivilegedUser([&] {
    // Readable, so the refusal is the file's mode, not a directory in the way.
    auto fm = makeFileManager({});
    return fm->contentsOfFile(readonly, 100) == "keep\n" &&
           fm->fileHandleForWritingToURL(readonly) == nullptr;
  }));
  EXPECT_EQ(readFile(readonly), "keep\n");
}

TEST_F(FileManagerTest, ContentsOfSmallRegularFilesOnly) {
  writeFile(directory / "exact", std::string(100, 'a'));
  writeFile(directory / "over", std::string(101, 'a'));
  writeFile(directory / "empty", "");
  fs::create_directory(directory / "dir");
  ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
  fs::create_symlink(directory / "exact", directory / "link");
  // 1 GiB that takes no disk: refused by its size, without reading it.
  writeFile(directory / "huge", "");
  fs::resize_file(directory / "huge", std::uintmax_t{1} << 30);

  struct Case {
    const char* name;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"exact", std::string(100, 'a')},
      {"link", std::string(100, 'a')},
      {"empty", std::string()},
      {"over", std::nullopt},
      {"huge", std::nullopt},
      {"missing", std::nullopt},
      {"dir", std::nullopt},
      // No writer: a blocking open would wait for one forever.
      {"fifo", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fm->contentsOfFile(directory / c.name, 100), c.expected) << c.name;
  }
  EXPECT_EQ(fm->contentsOfFile("/dev/zero", 100), std::nullopt);
  // A regular file whose size says 0 and which reads longer: the limit holds for what is read.
  const auto status = fm->contentsOfFile("/proc/self/status", 1 << 20);
  ASSERT_TRUE(status);
  ASSERT_GT(status->size(), 100u);
  EXPECT_EQ(fm->contentsOfFile("/proc/self/status", 100), std::nullopt);
}

}  // namespace
}  // namespace lumivane::posix
