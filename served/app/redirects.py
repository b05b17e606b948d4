"""Where a sign-in may send the browser next.

The "next" parameter of a sign-in URL is chosen by whoever wrote the link, so
only a path on this server is followed. Browsers read "//host" and "/\\host"
as another host and drop tabs and line breaks before parsing, and a decoded
form can turn into either; every layer of percent-decoding is checked.
"""

import unicodedata
from urllib.parse import quote, unquote, urlsplit

FALLBACK = "/"

# Characters that may appear unescaped in the Location header; "%" stays so
# that escapes already present are kept as they are.
_LOCATION_SAFE = "/?&=;:@!$'()*+,%#[]"

# More layers than any honest link carries; anything deeper is refused.
_MAX_DECODING_ROUNDS = 4


def _is_control(character: str) -> bool:
    return unicodedata.category(character) == "Cc"


def _is_local_path(candidate: str) -> bool:
    if not candidate.startswith("/") or candidate[1:2] in ("/", "\\"):
        return False
    if "\\" in candidate or any(_is_control(c) for c in candidate):
        return False
    parts = urlsplit(candidate)
    return not parts.scheme and not parts.netloc


def safe_next(candidate: str | None) -> str:
    """candidate when it names a path on this server, otherwise "/"."""
    if not candidate:
        return FALLBACK
    layer = candidate
    for _ in range(_MAX_DECODING_ROUNDS):
        if not _is_local_path(layer):
            return FALLBACK
        decoded = unquote(layer)
        if decoded == layer:
            return candidate
        layer = decoded
    return FALLBACK


def location_header(path: str) -> str:
    """path made fit for a Location header: non-ASCII and unsafe bytes escaped."""
    return quote(path, safe=_LOCATION_SAFE)
