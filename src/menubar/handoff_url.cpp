#include "menubar/handoff_url.h"

#include <uriparser/Uri.h>

#include <nlohmann/json.hpp>

namespace lumivane {

namespace {

bool keptInQueryValue(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-': case '.': case '_': case '~': case '/': case '?': case ':': case '@':
      return true;
    default:
      return false;
  }
}

// Where the parts of a parsed URI reference lie in its text.
struct QueryPlace {
  bool hasQuery = false;
  std::size_t queryEnd = 0;    // offset just past the query, when there is one
  std::size_t fragmentStart = 0;  // offset of "#", or the text's length
};

std::optional<QueryPlace> parse(std::string_view text) {
  UriUriA uri;
  const char* errorPos = nullptr;
  const char* first = text.data();
  const char* afterLast = text.data() + text.size();
  if (uriParseSingleUriExA(&uri, first, afterLast, &errorPos) != URI_SUCCESS) return std::nullopt;
  QueryPlace place;
  place.fragmentStart = text.size();
  if (uri.fragment.first != nullptr) {
    place.fragmentStart = static_cast<std::size_t>(uri.fragment.first - first) - 1;  // the "#"
  }
  if (uri.query.first != nullptr) {
    place.hasQuery = true;
    place.queryEnd = static_cast<std::size_t>(uri.query.afterLast - first);
  }
  uriFreeUriMembersA(&uri);
  return place;
}

}  // namespace

std::string encodeQueryValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (keptInQueryValue(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

std::optional<std::string> appendNextItem(std::string_view url, std::string_view pagePath) {
  const std::optional<QueryPlace> place = parse(url);
  if (!place) return std::nullopt;

  const std::string item = "next=" + encodeQueryValue(pagePath);
  std::string result;
  if (!place->hasQuery) {
    result.append(url.substr(0, place->fragmentStart));
    result.append("?").append(item);
    result.append(url.substr(place->fragmentStart));
  } else {
    const std::string_view before = url.substr(0, place->queryEnd);
    result.append(before);
    // "?" alone or a trailing "&" already ends the list of items.
    if (before.back() != '?' && before.back() != '&') result.push_back('&');
    result.append(item);
    result.append(url.substr(place->queryEnd));
  }
  if (!parse(result)) return std::nullopt;
  return result;
}

std::optional<std::string> handOffURL(const std::optional<std::string>& fileContents,
                                      std::string_view pagePath) {
  if (!fileContents) return std::nullopt;
  // No exceptions; the depth is bounded by the file size limit of the caller and by the
  // parser's own iterative design for arrays and objects.
  const nlohmann::json document = nlohmann::json::parse(*fileContents, nullptr,
                                                        /*allow_exceptions=*/false);
  if (document.is_discarded() || !document.is_object()) return std::nullopt;
  const auto member = document.find("url");
  if (member == document.end() || !member->is_string()) return std::nullopt;
  return appendNextItem(member->get_ref<const std::string&>(), pagePath);
}

}  // namespace lumivane
