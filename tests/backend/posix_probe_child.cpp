// A child for the POSIX backend tests: reports on standard output what it was started with,
// then exits ("report") or waits for a signal ("report-and-wait"). "fork-and-wait" and
// "fork-and-exit" first fork a grandchild that waits for a signal and report its pid.
//
// Lines, tab-separated: "argv" and each argument; "cwd"; "env" and each entry; "fd" and each
// open descriptor; "SigIgn" and "SigBlk" as in /proc/self/status; "shared12" 1 when
// descriptors 1 and 2 are one open file description; "grandchild" and its pid when there is
// one; "end" last.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

extern char** environ;

namespace {

void writeAll(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (written <= 0) std::exit(70);
    done += static_cast<std::size_t>(written);
  }
}

// Status flags live in the open file description: a flag set through descriptor 1 shows on
// descriptor 2 only when both refer to the same one.
bool shareDescription() {
  const int flags1 = ::fcntl(1, F_GETFL);
  const int flags2 = ::fcntl(2, F_GETFL);
  if (flags1 < 0 || flags2 < 0) return false;
  ::fcntl(1, F_SETFL, flags1 ^ O_NONBLOCK);
  const bool shared = ((::fcntl(2, F_GETFL) ^ flags2) & O_NONBLOCK) != 0;
  ::fcntl(1, F_SETFL, flags1);
  return shared;
}

std::string report(int argc, char** argv, pid_t grandchild) {
  std::string out;
  for (int i = 0; i < argc; ++i) out += std::string("argv\t") + argv[i] + "\n";
  char cwd[4096];
  out += std::string("cwd\t") + (::getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n";
  for (char** entry = environ; *entry; ++entry) out += std::string("env\t") + *entry + "\n";
  if (DIR* directory = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(directory);
    while (const dirent* entry = ::readdir(directory)) {
      if (entry->d_name[0] == '.') continue;
      if (std::atoi(entry->d_name) == own) continue;
      out += std::string("fd\t") + entry->d_name + "\n";
    }
    ::closedir(directory);
  }
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    for (const char* key : {"SigIgn:", "SigBlk:"}) {
      if (line.rfind(key, 0) == 0) {
        const auto value = line.find_first_not_of(" \t", std::strlen(key));
        out += std::string(key, std::strlen(key) - 1) + "\t" + line.substr(value) + "\n";
      }
    }
  }
  out += std::string("shared12\t") + (shareDescription() ? "1" : "0") + "\n";
  if (grandchild > 0) out += "grandchild\t" + std::to_string(grandchild) + "\n";
  out += "end\n";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "report";
  pid_t grandchild = 0;
  if (mode == "fork-and-wait" || mode == "fork-and-exit") {
    grandchild = ::fork();
    if (grandchild < 0) return 71;
    if (grandchild == 0) {
      for (;;) ::pause();
    }
  }
  writeAll(report(argc, argv, grandchild));
  if (mode == "report-and-wait" || mode == "fork-and-wait") {
    for (;;) ::pause();
  }
  return 0;
}
