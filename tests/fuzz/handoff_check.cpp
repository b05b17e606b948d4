#include "handoff_check.h"

#include <uriparser/Uri.h>

#include <array>
#include <nlohmann/json.hpp>
#include <optional>

#include "menubar/handoff_url.h"

namespace lumivane::fuzz {

namespace {

struct Parsed {
  bool hasQuery = false;
  std::string query;
  std::string fragment;  // with its "#", or empty
};

std::optional<Parsed> parseReference(std::string_view text) {
  UriUriA uri;
  const char* error = nullptr;
  if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &error) != URI_SUCCESS) {
    return std::nullopt;
  }
  Parsed parsed;
  if (uri.query.first) {
    parsed.hasQuery = true;
    parsed.query.assign(uri.query.first, uri.query.afterLast);
  }
  if (uri.fragment.first) parsed.fragment = "#" + std::string(uri.fragment.first, uri.fragment.afterLast);
  uriFreeUriMembersA(&uri);
  return parsed;
}

// The "url" member as the launcher would see it, when the file has one that is a string.
std::optional<std::string> urlMember(std::string_view bytes) {
  const auto document = nlohmann::json::parse(bytes, nullptr, false);
  if (document.is_discarded() || !document.is_object()) return std::nullopt;
  const auto member = document.find("url");
  if (member == document.end() || !member->is_string()) return std::nullopt;
  return member->get<std::string>();
}

}  // namespace

std::string checkHandOffFile(std::string_view bytes) {
  static constexpr std::array<std::string_view, 2> kPagePaths{"/", "/?pair=1"};
  const std::optional<std::string> contents{std::string(bytes)};
  const std::optional<std::string> member = urlMember(bytes);

  for (std::string_view page : kPagePaths) {
    const std::optional<std::string> chosen = handOffURL(contents, page);
    if (!chosen) continue;  // the direct URL, which is fixed and valid
    if (!member) return "a hand-off URL was chosen for a file without a string \"url\"";

    const std::optional<Parsed> result = parseReference(*chosen);
    if (!result) return "the chosen URL does not parse: " + *chosen;
    const std::optional<Parsed> original = parseReference(*member);
    if (!original) return "a hand-off URL was made from a \"url\" that does not parse";

    const std::string item = "next=" + encodeQueryValue(page);
    const std::string& query = result->query;
    if (!result->hasQuery || query.size() < item.size() ||
        query.compare(query.size() - item.size(), item.size(), item) != 0) {
      return "the query does not end with " + item + ": " + *chosen;
    }
    const std::string before = query.substr(0, query.size() - item.size());
    const std::string& kept = original->query;
    const bool itemsKept =
        before == kept || before == kept + "&" || (kept.empty() && before.empty());
    if (!itemsKept) return "earlier query items changed: " + *chosen;
    if (result->fragment != original->fragment) return "the fragment changed: " + *chosen;
  }
  return {};
}

}  // namespace lumivane::fuzz
