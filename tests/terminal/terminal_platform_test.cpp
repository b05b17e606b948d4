// The terminal platform's workspace and alerts where nobody sits at a terminal: what it
// prints on standard error, what it refuses, and what it hands to the browser.
#include "platform/terminal/terminal_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace lumivane {
namespace {

// Points a descriptor elsewhere for a while.
class Redirect {
 public:
  Redirect(int fd, const std::filesystem::path& target, int flags) : fd_(fd) {
    std::fflush(nullptr);
    saved_ = ::dup(fd);
    const int opened = ::open(target.c_str(), flags, 0600);
    ::dup2(opened, fd);
    ::close(opened);
  }
  ~Redirect() {
    std::fflush(nullptr);
    ::dup2(saved_, fd_);
    ::close(saved_);
  }

 private:
  int fd_;
  int saved_;
};

std::string readAll(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class TerminalPlatform : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "terminal_tests";
    static char* argv[] = {name, nullptr};
    platform_ = makeTerminalPlatform(argc, argv).release();
  }

  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumivane-term-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // What `call` wrote on standard error.
  template <typename Call>
  std::string stderrOf(Call call) {
    const auto file = dir_ / "stderr";
    {
      Redirect err(STDERR_FILENO, file, O_WRONLY | O_CREAT | O_TRUNC);
      call();
    }
    return readAll(file);
  }

  static Platform* platform_;
  std::filesystem::path dir_;
};

Platform* TerminalPlatform::platform_ = nullptr;

struct UrlCase {
  const char* url;
  bool handedOn;
};

TEST_F(TerminalPlatform, PrintsOnlyWebPagesForTheUser) {
  ::unsetenv("BROWSER");
  const UrlCase cases[] = {
      {"http://localhost:8000/login?token=abc&next=/", true},
      {"https://example.org/credits", true},
      {"HTTP://localhost:8000/", true},
      {"file:///etc/passwd", false},
      {"javascript:alert(1)", false},
      {"localhost:8000", false},
      {"http://exa mple.org/", false},
      {"", false},
  };
  for (const UrlCase& c : cases) {
    bool handedOn = !c.handedOn;
    const std::string printed = stderrOf([&] { handedOn = platform_->openURL(c.url); });
    EXPECT_EQ(handedOn, c.handedOn) << c.url;
    EXPECT_EQ(printed, c.handedOn ? "Open " + std::string(c.url) + " in your browser\n" : "") << c.url;
  }
}

TEST_F(TerminalPlatform, HandsThePageToTheNamedBrowser) {
  // The browser writes its arguments into a FIFO; a write end of our own keeps the read end
  // from reporting a hang-up before the browser opens it.
  const auto fifo = dir_ / "opened";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int keeper = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_GE(keeper, 0);
  const auto browser = dir_ / "browser";
  {
    std::ofstream script(browser);
    script << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << fifo.string() << "'\n";
  }
  std::filesystem::permissions(browser, std::filesystem::perms::owner_all);
  ::setenv("BROWSER", browser.c_str(), 1);
  const std::string url = "http://localhost:8000/login?token=abc&next=/";
  EXPECT_TRUE(platform_->openURL(url));
  ::unsetenv("BROWSER");

  std::string opened;
  while (opened.find('\n') == std::string::npos) {
    pollfd ready{reader, POLLIN, 0};
    const int events = ::poll(&ready, 1, 20000);
    ASSERT_GT(events, 0) << "the browser was never started";
    char bytes[512];
    const ssize_t count = ::read(reader, bytes, sizeof bytes);
    if (count > 0) opened.append(bytes, static_cast<std::size_t>(count));
  }
  ::close(keeper);
  ::close(reader);
  EXPECT_EQ(opened, url + "\n");
}

TEST_F(TerminalPlatform, RevealPrintsThePaths) {
  const std::string printed = stderrOf([&] {
    platform_->activateFileViewerSelectingURLs({"/home/u/.local/state/Logs/Lumivane/lumivane.log"});
  });
  EXPECT_EQ(printed, "Log: /home/u/.local/state/Logs/Lumivane/lumivane.log\n");
}

TEST_F(TerminalPlatform, AlertWithoutATerminalIsDismissed) {
  Alert alert;
  alert.messageText = "Lumivane stopped unexpectedly";
  alert.informativeText = "Your videos are safe.";
  alert.buttons = {"Start Again", "Show Log", "Quit"};
  int result = 0;
  const std::string printed = stderrOf([&] {
    Redirect in(STDIN_FILENO, "/dev/null", O_RDONLY);
    result = platform_->runModal(alert);
  });
  EXPECT_NE(result, kAlertFirstButtonReturn);
  EXPECT_NE(result, kAlertSecondButtonReturn);
  EXPECT_NE(result, kAlertThirdButtonReturn);
  EXPECT_EQ(printed,
            "\nLumivane stopped unexpectedly\nYour videos are safe.\n"
            "(no terminal to answer on: dismissed)\n");
}

}  // namespace
}  // namespace lumivane
