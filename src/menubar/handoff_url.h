// Choosing the address a page is opened at: through the hand-off file's URL, which carries the
// served application's login, or, when the file yields none, directly under `base`.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumivane {

// Percent-encodes a query item's value so that a standard query decoder reads back exactly
// `value`: every octet but the unreserved characters, "/", "?", ":" and "@" is escaped, so
// "&", "=", "+", "#", "%", ";" and blanks are too.
std::string encodeQueryValue(std::string_view value);

// `url` (a URI reference) with the query item next=<pagePath> appended after the items it has,
// ahead of any fragment. The rest of the text is kept as it is. Empty when `url` is not a
// valid RFC 3986 URI reference, or the result would not be one.
std::optional<std::string> appendNextItem(std::string_view url, std::string_view pagePath);

// The hand-off URL for the contents of the hand-off file, or empty when they yield none: no
// file, not JSON, not an object, no string member "url", or a "url" that is not a valid URI
// reference. Duplicate members: the parser keeps the last.
std::optional<std::string> handOffURL(const std::optional<std::string>& fileContents,
                                      std::string_view pagePath);

}  // namespace lumivane
