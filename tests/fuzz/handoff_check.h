// The properties every hand-off file must keep, whatever its bytes: shared by the fuzz target
// and by the regression test that replays the corpus.
#pragma once

#include <string>
#include <string_view>

namespace lumivane::fuzz {

// Runs the navigation choice on `bytes` for each page path in use and checks the result:
// nothing crashes; the URL chosen is the direct URL or parses as an RFC 3986 URI reference;
// a hand-off URL ends its query with next=<page path> and keeps the file's URL text before
// that item and after it (the fragment). Returns an empty string when all holds, otherwise
// what failed.
std::string checkHandOffFile(std::string_view bytes);

}  // namespace lumivane::fuzz
