// A reference relay: the plainest way to keep a child's output in a log. It spawns the child
// in a process group of its own with standard output and standard error on a pipe, reads the
// pipe and appends what it reads to the log file. The benchmark runs the same served child
// under it and under Lumivane, which hands the child the log file itself, and compares what
// each costs while the child writes.
//
//   relay LOG DIR -- PROGRAM ARGS...
//
//   relay --open-when-ready URL LOG DIR -- PROGRAM ARGS...
//
// Prints "child <pid>" once the child runs. On SIGTERM or SIGINT it sends the child's group
// SIGINT and goes on relaying until the child has closed its end, then reaps it and exits:
// an event-driven stop, the yardstick for how soon a supervisor can follow its child out.
//
// With --open-when-ready, a second thread waits for the child as plainly as it can be done:
// a GET of /login on 127.0.0.1:8000 over a bare socket (1.5 s receive timeout), 0.5 s of
// sleep after every negative answer, and once a status below 500 comes back, `xdg-open URL`.
// It is the yardstick for how soon a supervisor with that polling design can open the page.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

extern char** environ;

namespace {

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t wrote = ::write(fd, data, size);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += wrote;
    size -= static_cast<size_t>(wrote);
  }
  return true;
}

// One readiness probe: true when 127.0.0.1:8000 answers GET /login with a status below 500.
bool serverAnswers() {
  const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  timeval timeout{1, 500000};
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(8000);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool answered = false;
  if (::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    static const char request[] = "GET /login HTTP/1.0\r\nHost: 127.0.0.1:8000\r\n\r\n";
    if (writeAll(sock, request, sizeof request - 1)) {
      char reply[64] = {};
      size_t have = 0;
      // "HTTP/1.x NNN" is twelve bytes.
      while (have < 12) {
        const ssize_t got = ::read(sock, reply + have, sizeof reply - 1 - have);
        if (got <= 0) break;
        have += static_cast<size_t>(got);
      }
      if (have >= 12 && std::strncmp(reply, "HTTP/", 5) == 0) {
        const char* space = std::strchr(reply, ' ');
        if (space != nullptr) answered = std::atoi(space + 1) > 0 && std::atoi(space + 1) < 500;
      }
    }
  }
  ::close(sock);
  return answered;
}

void openWhenReady(std::string url) {
  while (!serverAnswers()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  char program[] = "xdg-open";
  char* openArgv[] = {program, url.data(), nullptr};
  // The opener starts with no signal blocked, unlike this thread.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t noSignals;
  sigemptyset(&noSignals);
  posix_spawnattr_setsigmask(&attributes, &noSignals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t opener = -1;
  const int spawned = ::posix_spawnp(&opener, program, nullptr, &attributes, openArgv, environ);
  posix_spawnattr_destroy(&attributes);
  if (spawned == 0) {
    int status = 0;
    while (::waitpid(opener, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* openURL = nullptr;
  if (argc > 2 && std::strcmp(argv[1], "--open-when-ready") == 0) {
    openURL = argv[2];
    argc -= 2;
    argv += 2;
  }
  if (argc < 5 || std::strcmp(argv[3], "--") != 0) {
    std::fprintf(stderr, "usage: relay [--open-when-ready URL] LOG DIR -- PROGRAM ARGS...\n");
    return 2;
  }
  const char* logPath = argv[1];
  const char* directory = argv[2];
  char** childArgv = argv + 4;

  const int log = ::open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (log < 0) {
    std::perror("relay: log");
    return 1;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    std::perror("relay: pipe");
    return 1;
  }

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, directory);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t noSignals;
  sigemptyset(&noSignals);
  posix_spawnattr_setsigmask(&attributes, &noSignals);
  // The child gets the stop signals at their defaults, whatever this relay inherited.
  posix_spawnattr_setsigdefault(&attributes, &stopSignals);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t child = -1;
  const int spawnError =
      ::posix_spawn(&child, childArgv[0], &actions, &attributes, childArgv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawnError != 0) {
    std::fprintf(stderr, "relay: %s: %s\n", childArgv[0], std::strerror(spawnError));
    return 1;
  }
  ::close(pipeFds[1]);
  std::printf("child %d\n", static_cast<int>(child));
  std::fflush(stdout);
  if (openURL != nullptr) std::thread(openWhenReady, std::string(openURL)).detach();

  static char buffer[64 * 1024];
  pollfd watched[2] = {{pipeFds[0], POLLIN, 0}, {signals, POLLIN, 0}};
  for (;;) {
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("relay: poll");
      break;
    }
    if (watched[1].revents & POLLIN) {
      signalfd_siginfo info;
      if (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        ::kill(-child, SIGINT);
      }
    }
    if (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // every writer has closed its end
      if (!writeAll(log, buffer, static_cast<size_t>(got))) {
        std::perror("relay: log write");
        break;
      }
    }
  }

  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
