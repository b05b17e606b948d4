"""The HTML of every page. Every value that is not a literal goes through escape()."""

from html import escape

from . import notices

_STYLE = """
body { font: 16px/1.5 system-ui, sans-serif; margin: 0; color: #1d1d1f; background: #fafafa; }
header { background: #1d1d1f; color: #fff; padding: 0.75rem 1.5rem; }
header a { color: #fff; margin-right: 1.25rem; text-decoration: none; }
header a.brand { font-weight: 600; }
main { max-width: 46rem; margin: 2rem auto; padding: 0 1.5rem; }
code { background: #ececec; padding: 0.1rem 0.3rem; border-radius: 3px; word-break: break-all; }
.code { font: 600 3rem/1.2 ui-monospace, monospace; letter-spacing: 0.4rem; margin: 1.5rem 0; }
pre { white-space: pre-wrap; background: #fff; border: 1px solid #ddd; padding: 1rem;
      font-size: 0.8rem; max-height: 24rem; overflow: auto; }
section { margin-bottom: 2.5rem; }
.notice { border-left: 4px solid #c0392b; padding-left: 1rem; }
"""

_HOW_TO_GET_IN = (
    "<p>Lumivane's pages open from its tray icon. Choose <strong>\u201cOpen Lumivane\u201d</strong> "
    "in the Lumivane tray menu and this browser is signed in for you.</p>"
)


def _layout(title: str, body: str, signed_in: bool) -> bytes:
    navigation = '<a class="brand" href="/">Lumivane</a>'
    if signed_in:
        navigation += '<a href="/?pair=1">Connect Quest</a>'
    navigation += '<a href="/licenses">Licences &amp; Credits</a>'
    page = (
        "<!DOCTYPE html>\n"
        '<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        f"<title>{escape(title)}</title>\n<style>{_STYLE}</style>\n</head>\n"
        f"<body>\n<header><nav>{navigation}</nav></header>\n<main>\n{body}\n</main>\n</body>\n</html>\n"
    )
    return page.encode("utf-8")


def main_page(models: str | None) -> bytes:
    if models:
        models_line = f"<p>Models folder: <code>{escape(models)}</code></p>"
    else:
        models_line = "<p>Models folder: <em>not set</em> (LUMIVANE_MODELS is empty).</p>"
    body = (
        "<h1>Lumivane</h1>\n"
        "<p>Welcome to Lumivane. Prepare your videos here and send them to your Quest headset. "
        'To watch on the headset, connect it first with <a href="/?pair=1">Connect Quest</a>.</p>\n'
        f"{models_line}"
    )
    return _layout("Lumivane", body, signed_in=True)


def pairing_page(code: str) -> bytes:
    body = (
        "<h1>Connect Quest</h1>\n"
        "<p>Put on your headset, open Lumivane there and enter this pairing code:</p>\n"
        f'<p class="code" id="pairing-code">{escape(code)}</p>\n'
        "<p>The code stays the same until Lumivane is quit.</p>"
    )
    return _layout("Connect Quest \u2013 Lumivane", body, signed_in=True)


def licenses_page() -> bytes:
    sections = []
    for component in notices.components():
        copyrights = "<br>\n".join(escape(line) for line in component.copyrights)
        texts = "\n".join(
            f"<details><summary>{escape(text.title)}</summary>\n<pre>{escape(text.read())}</pre>\n</details>"
            for text in component.texts
        )
        sections.append(
            f"<section>\n<h2>{escape(component.name)}</h2>\n"
            f"<p>{escape(component.used_for)}</p>\n"
            f"<p>Licence: <strong>{escape(component.licence)}</strong></p>\n"
            f"<p>{copyrights}</p>\n"
            f"<p>{escape(component.summary)}</p>\n{texts}\n</section>"
        )
    body = (
        "<h1>Licences &amp; Credits</h1>\n"
        "<p>Lumivane is built on the following third-party software. Thank you to everyone "
        "who made it.</p>\n" + "\n".join(sections)
    )
    return _layout("Licences & Credits \u2013 Lumivane", body, signed_in=False)


def login_page() -> bytes:
    body = "<h1>Open Lumivane</h1>\n" + _HOW_TO_GET_IN
    return _layout("Open Lumivane", body, signed_in=False)


def not_signed_in_page() -> bytes:
    body = '<h1>Sign-in needed</h1>\n<div class="notice">' + _HOW_TO_GET_IN + "</div>"
    return _layout("Sign-in needed \u2013 Lumivane", body, signed_in=False)


def used_link_page() -> bytes:
    body = (
        "<h1>This link has already been used</h1>\n"
        '<div class="notice"><p>Each sign-in link works once, and this one has been used or is '
        "no longer valid.</p>\n" + _HOW_TO_GET_IN + "</div>"
    )
    return _layout("Link already used \u2013 Lumivane", body, signed_in=False)


def not_found_page() -> bytes:
    body = '<h1>Page not found</h1>\n<p>There is no such page. <a href="/">Go to Lumivane</a>.</p>'
    return _layout("Not found \u2013 Lumivane", body, signed_in=True)


def bad_host_page() -> bytes:
    body = (
        "<h1>Unexpected address</h1>\n"
        "<p>Lumivane answers only at http://localhost and http://127.0.0.1.</p>"
    )
    return _layout("Unexpected address \u2013 Lumivane", body, signed_in=False)
