// The hand-off URL: which hand-off files yield one, how "next" joins the query, and that a
// standard query decoder reads the page path back exactly.
#include "menubar/handoff_url.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace lumivane {
namespace {

struct HandOffCase {
  const char* name;
  std::optional<std::string> contents;  // empty: no file
  std::optional<std::string> expected;  // empty: the direct URL is used
};

// Failures name the case, not its bytes.
void PrintTo(const HandOffCase& c, std::ostream* os) { *os << c.name; }

std::string fileWithURL(const std::string& url) { return R"({"url": ")" + url + R"("})"; }

class HandOffURLTest : public ::testing::TestWithParam<HandOffCase> {};

TEST_P(HandOffURLTest, ForPageRoot) {
  EXPECT_EQ(handOffURL(GetParam().contents, "/"), GetParam().expected);
}

const HandOffCase kHandOffCases[] = {
    {"NoFile", std::nullopt, std::nullopt},
    {"EmptyFile", "", std::nullopt},
    {"NotJSON", "url = http://localhost:8000/", std::nullopt},
    {"TruncatedJSON", R"({"url": "http://localhost:8000/")", std::nullopt},
    {"TopLevelArray", R"(["http://localhost:8000/"])", std::nullopt},
    {"TopLevelString", R"("http://localhost:8000/")", std::nullopt},
    {"TopLevelNumber", "8000", std::nullopt},
    {"EmptyObject", "{}", std::nullopt},
    {"NoMemberNamedUrl", R"({"URL": "http://localhost:8000/", "link": "http://localhost:8000/"})",
     std::nullopt},
    {"UrlNumber", R"({"url": 8000})", std::nullopt},
    {"UrlBoolean", R"({"url": true})", std::nullopt},
    {"UrlNull", R"({"url": null})", std::nullopt},
    {"UrlArray", R"({"url": ["http://localhost:8000/"]})", std::nullopt},
    {"UrlObject", R"({"url": {"href": "http://localhost:8000/"}})", std::nullopt},
    {"UrlWithSpace", fileWithURL("http://localhost:8000/a b"), std::nullopt},
    {"NoQuery", fileWithURL("http://localhost:8000/enter/abc"),
     "http://localhost:8000/enter/abc?next=/"},
    {"NoQueryWithFragment", fileWithURL("http://localhost:8000/enter#top"),
     "http://localhost:8000/enter?next=/#top"},
    {"FragmentHoldingQuestionMark", fileWithURL("http://localhost:8000/p#x?y"),
     "http://localhost:8000/p?next=/#x?y"},
    {"OneItem", fileWithURL("http://localhost:8000/?a=1"), "http://localhost:8000/?a=1&next=/"},
    {"OneItemWithFragment", fileWithURL("http://localhost:8000/?a=1#f"),
     "http://localhost:8000/?a=1&next=/#f"},
    {"ExistingNextKeptNewOneLast", fileWithURL("http://localhost:8000/login?next=/old&token=t"),
     "http://localhost:8000/login?next=/old&token=t&next=/"},
    {"OtherHostAndPortKept", fileWithURL("https://user@lumivane.test:9443/enter?t=1"),
     "https://user@lumivane.test:9443/enter?t=1&next=/"},
    {"QuestionMarkAlone", fileWithURL("http://localhost:8000/enter?"),
     "http://localhost:8000/enter?next=/"},
    {"QuestionMarkAloneEmptyFragment", fileWithURL("http://localhost:8000/enter?#"),
     "http://localhost:8000/enter?next=/#"},
    {"TrailingAmpersand", fileWithURL("http://localhost:8000/enter?a=1&"),
     "http://localhost:8000/enter?a=1&next=/"},
    {"RelativeReferenceNotJudged", fileWithURL("/enter?k=v"), "/enter?k=v&next=/"},
    {"OtherMembersIgnored",
     R"({"token": "x", "url": "http://localhost:8000/t?k=v", "port": 8000, "url2": 1})",
     "http://localhost:8000/t?k=v&next=/"},
    {"DeeplyNestedArray", std::string(20000, '[') + std::string(20000, ']'), std::nullopt},
    {"DeeplyNestedUnterminated", std::string(60000, '['), std::nullopt},
    {"NestedOneHundredThousandLevels", std::string(100000, '[') + std::string(100000, ']'),
     std::nullopt},
    // Longer than any file the launcher reads (64 KiB); the function itself has no limit.
    {"UrlOfOneHundredThousandCharacters", fileWithURL("http://localhost:8000/" +
                                                      std::string(100000 - 22, 'a')),
     "http://localhost:8000/" + std::string(100000 - 22, 'a') + "?next=/"},
    {"DeepMemberBesideUrl",
     R"({"x": )" + std::string(20000, '[') + std::string(20000, ']') +
         R"(, "url": "http://localhost:8000/")" + "}",
     "http://localhost:8000/?next=/"},
    // The last of two "url" members is the one the parser keeps.
    {"DuplicateUrlLastWins", R"({"url": "http://a.test/1", "url": "http://localhost:8000/2"})",
     "http://localhost:8000/2?next=/"},
    {"InvalidUtf8InUrl", std::string("{\"url\": \"http://localhost:8000/\xff\"}"), std::nullopt},
    {"BinaryBytes", std::string("\x00\x01\xfe{\"url\"", 9), std::nullopt},
    {"NonAsciiUrlIsNotAURIReference", fileWithURL("http://localhost:8000/caf\u00e9"), std::nullopt},
    {"WhitespaceAroundObject", "\n  " + fileWithURL("http://localhost:8000/") + "\n",
     "http://localhost:8000/?next=/"},
};

INSTANTIATE_TEST_SUITE_P(Files, HandOffURLTest, ::testing::ValuesIn(kHandOffCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AppendNextItem, RejectsWhatIsNotAURIReference) {
  for (const char* url : {"http://localhost:8000/a b", "http://local host/", "http://[::1/",
                          "http://localhost:8000/%zz", "http://localhost:8000/\"x\""}) {
    EXPECT_EQ(appendNextItem(url, "/"), std::nullopt) << url;
  }
}

// Characters a query decoder would read differently must not appear raw in the value; "/"
// and "?" may, and do for the page paths in use.
TEST(EncodeQueryValue, EscapesWhatADecoderWouldMisread) {
  EXPECT_EQ(encodeQueryValue("/"), "/");
  const std::string encoded = encodeQueryValue("/?a=1&b=2+3#f%20 x;y");
  EXPECT_EQ(encoded.substr(0, 2), "/?");
  for (char raw : std::string("&+# ;")) {
    EXPECT_EQ(encoded.find(raw), std::string::npos) << "raw '" << raw << "' in " << encoded;
  }
  // Every "%" is the start of an escape: the one in the value is itself escaped.
  EXPECT_NE(encoded.find("%2520"), std::string::npos) << encoded;
}

// --- Round trip through a standard query decoder -----------------------------------------------

// Runs the system Python with `script` and `argument`; its standard output, or empty when it
// could not be run or failed.
std::optional<std::string> runPython(const std::string& script, const std::string& argument) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  std::string python = LUMIVANE_TEST_PYTHON;
  std::string dashC = "-c";
  std::string scriptCopy = script;
  std::string argumentCopy = argument;
  char* argv[] = {python.data(), dashC.data(), scriptCopy.data(), argumentCopy.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, python.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  std::string output;
  if (spawned == 0) {
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
      output.append(buffer, static_cast<std::size_t>(got));
    }
  }
  ::close(pipeEnds[0]);
  if (spawned != 0) return std::nullopt;
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
}

// How the served application reads the URL: split it, then decode its query.
constexpr const char* kDecode = R"(
import json, sys, urllib.parse
parts = urllib.parse.urlsplit(sys.argv[1])
print(json.dumps({"scheme": parts.scheme, "netloc": parts.netloc, "path": parts.path,
                  "fragment": parts.fragment,
                  "items": urllib.parse.parse_qsl(parts.query, keep_blank_values=True)}))
)";

struct Decoded {
  std::string scheme, netloc, path, fragment;
  std::vector<std::pair<std::string, std::string>> items;
};

std::optional<Decoded> decodeWithPython(const std::string& url) {
  const std::optional<std::string> output = runPython(kDecode, url);
  if (!output) return std::nullopt;
  const nlohmann::json json = nlohmann::json::parse(*output);
  Decoded decoded{json["scheme"], json["netloc"], json["path"], json["fragment"], {}};
  for (const auto& item : json["items"]) decoded.items.emplace_back(item[0], item[1]);
  return decoded;
}

class NextRoundTrip : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (::access(LUMIVANE_TEST_PYTHON, X_OK) != 0) GTEST_SKIP() << LUMIVANE_TEST_PYTHON " missing";
  }
};

TEST_P(NextRoundTrip, DecoderReadsThePagePathBack) {
  const std::string& page = GetParam();
  const std::optional<std::string> url =
      handOffURL(fileWithURL("http://localhost:8000/enter?token=a%2Bb&next=/old#frag"), page);
  ASSERT_TRUE(url.has_value());
  const std::optional<Decoded> decoded = decodeWithPython(*url);
  ASSERT_TRUE(decoded.has_value()) << *url;
  EXPECT_EQ(decoded->scheme, "http");
  EXPECT_EQ(decoded->netloc, "localhost:8000");
  EXPECT_EQ(decoded->path, "/enter");
  EXPECT_EQ(decoded->fragment, "frag");
  using Item = std::pair<std::string, std::string>;
  EXPECT_THAT(decoded->items,
              ::testing::ElementsAre(Item{"token", "a+b"}, Item{"next", "/old"}, Item{"next", page}))
      << *url;
}

INSTANTIATE_TEST_SUITE_P(PagePaths, NextRoundTrip,
                         ::testing::Values("/", "/?pair=1", "/a&b=c+d#e%20f g;h",
                                           "/caf\xC3\xA9?x=%41"));

}  // namespace
}  // namespace lumivane
