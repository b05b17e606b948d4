// HTTP GET against real servers on an ephemeral loopback port: whatever the server does, the
// completion comes exactly once, with the status of an HTTP response or with none.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qt_support.h"

namespace lumivane::qt::testing {
namespace {

using namespace std::chrono_literals;

constexpr Duration kProbeTimeout = 1500ms;

enum class Behaviour {
  Refuses,  // nothing listens on the port
  Silent,   // accepts, reads the request, never answers
  Answers,  // a complete response with the given status line
  Garbage,  // bytes that are not HTTP, then closes
  Resets,   // reads the request, then resets the connection
};

// A loopback server with one behaviour, serving every connection on its own thread.
class LoopbackServer {
 public:
  LoopbackServer(Behaviour behaviour, std::string response)
      : behaviour_(behaviour), response_(std::move(response)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (behaviour_ == Behaviour::Refuses) {
      // The port was ours a moment ago and nobody else listens on it now.
      ::close(listener_);
      listener_ = -1;
      return;
    }
    ::listen(listener_, 8);
    thread_ = std::thread([this] { serve(); });
  }

  ~LoopbackServer() {
    stopping_ = true;
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
    for (int connection : held_) ::close(connection);
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/login"; }
  int connections() const { return connections_; }

 private:
  void serve() {
    for (;;) {
      const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0 || stopping_) {
        if (connection >= 0) ::close(connection);
        return;
      }
      ++connections_;
      handle(connection);
    }
  }

  static void readRequest(int connection) {
    std::string request;
    char chunk[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
      if (got <= 0) return;
      request.append(chunk, static_cast<std::size_t>(got));
    }
  }

  void handle(int connection) {
    switch (behaviour_) {
      case Behaviour::Refuses:
        break;
      case Behaviour::Silent:
        readRequest(connection);
        held_.push_back(connection);  // open until the test ends, never a byte back
        return;
      case Behaviour::Answers:
      case Behaviour::Garbage:
        readRequest(connection);
        ::send(connection, response_.data(), response_.size(), MSG_NOSIGNAL);
        ::shutdown(connection, SHUT_WR);
        break;
      case Behaviour::Resets: {
        readRequest(connection);
        const linger abortive{1, 0};  // close sends RST instead of FIN
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        break;
      }
    }
    ::close(connection);
  }

  Behaviour behaviour_;
  std::string response_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::vector<int> held_;  // touched by the server thread only until it is joined
};

std::string response(int status, const std::string& reason, const std::string& body = "") {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

struct Outcome {
  int completions = 0;
  std::optional<int> statusCode;
  std::chrono::steady_clock::duration took{};
};

// Sends the probe, waits for its completion, then lets the loop run a little longer so that
// a second completion would be seen.
Outcome probe(const std::string& url, Duration timeout = kProbeTimeout) {
  Outcome outcome;
  const auto sent = std::chrono::steady_clock::now();
  desktop().get(url, timeout, [&outcome, sent](HttpResult result) {
    ++outcome.completions;
    outcome.statusCode = result.statusCode;
    outcome.took = std::chrono::steady_clock::now() - sent;
  });
  spinUntil([&] { return outcome.completions > 0; });
  spinFor(300ms);
  return outcome;
}

struct HttpCase {
  const char* name;
  Behaviour behaviour;
  std::string response;
  std::optional<int> expected;
};

// Names the case in test listings.
inline void PrintTo(const HttpCase& c, std::ostream* os) { *os << c.name; }

class HttpGet : public ::testing::TestWithParam<HttpCase> {};

TEST_P(HttpGet, CompletesOnceWithTheStatusOfAnHttpResponseOnly) {
  const HttpCase& c = GetParam();
  LoopbackServer server(c.behaviour, c.response);
  const Outcome outcome = probe(server.url());
  EXPECT_EQ(outcome.completions, 1);
  EXPECT_EQ(outcome.statusCode, c.expected);
  if (c.behaviour != Behaviour::Refuses) {
    EXPECT_GE(server.connections(), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, HttpGet,
    ::testing::Values(
        HttpCase{"Ok", Behaviour::Answers, response(200, "OK", "login page"), 200},
        HttpCase{"NotFound", Behaviour::Answers, response(404, "Not Found", "no such page"), 404},
        HttpCase{"ServerError", Behaviour::Answers, response(500, "Internal Server Error"), 500},
        HttpCase{"Unavailable", Behaviour::Answers, response(503, "Service Unavailable"), 503},
        HttpCase{"Refused", Behaviour::Refuses, "", std::nullopt},
        HttpCase{"NotHttp", Behaviour::Garbage, "SSH-2.0-OpenSSH_9.2\r\n\r\n\x01\x02garbage", std::nullopt},
        HttpCase{"Reset", Behaviour::Resets, "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HttpGetTimeout, ASilentServerEndsInOneCompletionWithoutStatusAfterTheTimeout) {
  LoopbackServer server(Behaviour::Silent, "");
  const Outcome outcome = probe(server.url());
  EXPECT_EQ(outcome.completions, 1);
  EXPECT_EQ(outcome.statusCode, std::nullopt);
  // Not before the timeout; the upper bound only says it did not wait for something else.
  EXPECT_GE(outcome.took, 1400ms);
  EXPECT_LT(outcome.took, 10s);
  std::printf("silent server: completion after %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(outcome.took).count()));
}

TEST(HttpGetTimeout, RequestsInFlightTogetherEachCompleteOnce) {
  LoopbackServer silent(Behaviour::Silent, "");
  LoopbackServer answering(Behaviour::Answers, response(200, "OK"));
  std::vector<int> completions(6, 0);
  std::vector<std::optional<int>> statuses(6);
  for (std::size_t i = 0; i < completions.size(); ++i) {
    desktop().get(i % 2 ? answering.url() : silent.url(), 500ms, [&, i](HttpResult result) {
      ++completions[i];
      statuses[i] = result.statusCode;
    });
  }
  spinUntil([&] {
    for (int n : completions) if (n == 0) return false;
    return true;
  });
  spinFor(300ms);
  for (std::size_t i = 0; i < completions.size(); ++i) {
    EXPECT_EQ(completions[i], 1) << "request " << i;
    EXPECT_EQ(statuses[i], i % 2 ? std::optional<int>(200) : std::nullopt) << "request " << i;
  }
}

TEST(HttpGetTimeout, AnUnusableUrlStillCompletesOnce) {
  for (const std::string url : {"", "not a url", "gopher://127.0.0.1:1/"}) {
    const Outcome outcome = probe(url);
    EXPECT_EQ(outcome.completions, 1) << url;
    EXPECT_EQ(outcome.statusCode, std::nullopt) << url;
  }
}

}  // namespace
}  // namespace lumivane::qt::testing
