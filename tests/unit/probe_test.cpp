// The readiness probe's address and verdict, and the fixed addresses of the served application.
#include "supervision/probe.h"

#include <gtest/gtest.h>

#include "shell/launcher.h"

namespace lumivane {
namespace {

TEST(ProbeVerdict, AnyHTTPStatusBelow500IsReady) {
  const struct {
    std::optional<int> status;
    bool ready;
  } cases[] = {
      {200, true}, {204, true}, {302, true}, {401, true},  {404, true},
      {499, true}, {500, false}, {503, false}, {599, false}, {std::nullopt, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(probeVerdict(HttpResult{c.status}), c.ready)
        << (c.status ? std::to_string(*c.status) : "no response");
  }
}

TEST(ProbeURL, UsesTheNumericLoopbackAddress) {
  EXPECT_EQ(probeURL(8000), "http://127.0.0.1:8000/login");
  EXPECT_EQ(probeURL(port), "http://127.0.0.1:8000/login");
}

TEST(Base, IsLocalhostWithThePortAndNoTrailingSlash) {
  EXPECT_EQ(port, 8000);
  EXPECT_EQ(base, "http://localhost:8000");
}

}  // namespace
}  // namespace lumivane
