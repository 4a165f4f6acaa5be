"""Checks a built documentation site: every internal link and resource of
every page resolves (anchors included), and a headless browser renders the
front page, an API page and a search with their styles, images and search
index, requesting nothing the site lacks.

    python3 docs/check_site.py build/docs/html
"""

import functools
import html.parser
import http.server
import pathlib
import shutil
import subprocess
import sys
import threading
import urllib.parse


class Page(html.parser.HTMLParser):
    """The links, resources and anchors of one page."""

    def __init__(self):
        super().__init__()
        self.targets, self.anchors = [], set()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for name in ("id", "name") if tag != "meta" else ():
            if attrs.get(name):
                self.anchors.add(attrs[name])
        for name in ("href", "src"):
            if attrs.get(name) and not (tag == "a" and attrs.get("class") == "headerlink"):
                self.targets.append(attrs[name])


def parse(path):
    page = Page()
    page.feed(path.read_text(encoding="utf-8"))
    return page


def broken_links(site):
    # The theme's templates under _static are copied as they are, unrendered.
    pages = {p: parse(p) for p in site.rglob("*.html") if "_static" not in p.parts}
    broken = []
    for path, page in pages.items():
        for target in page.targets:
            url = urllib.parse.urlsplit(target)
            if url.scheme or target.startswith("//"):
                if url.scheme not in ("http", "https", "mailto"):
                    broken.append((path, target))
                continue
            file = (path.parent / urllib.parse.unquote(url.path)).resolve() if url.path else path
            if file.is_dir():
                file = file / "index.html"
            if not file.exists():
                broken.append((path, target))
            elif url.fragment and file.suffix == ".html" and \
                    url.fragment not in pages.get(file, parse(file)).anchors:
                broken.append((path, target))
    return len(pages), broken


class Log(http.server.SimpleHTTPRequestHandler):
    requests = []

    def log_request(self, code="-", size="-"):
        Log.requests.append((urllib.parse.urlsplit(self.path).path, int(code)))

    def log_message(self, *args):
        pass


def browse(site, paths):
    """Loads each page in headless Chromium from a local server; returns the
    requests the pages made, with their status, and the rendered documents."""
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        sys.exit("check_site: no chromium on PATH (scripts/bootstrap.sh docs installs it)")
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Log, directory=str(site)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    documents = {}
    try:
        for path in paths:
            url = f"http://127.0.0.1:{server.server_port}/{path}"
            result = subprocess.run(
                [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-extensions", "--virtual-time-budget=10000", "--dump-dom", url],
                capture_output=True, text=True, timeout=120)
            documents[path] = result.stdout
    finally:
        server.shutdown()
    return Log.requests, documents


def main(site):
    site = pathlib.Path(site)
    problems = []
    count, broken = broken_links(site)
    problems += [f"{p.relative_to(site)}: no target for {t}" for p, t in broken]
    api_page = next(iter(sorted((site / "api" / "generated").glob("velarix.interpolate.html"))))
    pages = ["index.html", str(api_page.relative_to(site)), "search.html?q=monotone"]
    requests, documents = browse(site, pages)
    # A browser asks every site for /favicon.ico; the site has none.
    missing = sorted({path for path, code in requests if code >= 400 and path != "/favicon.ico"})
    problems += [f"the browser was refused {path}" for path in missing]
    requested = [path for path, _ in requests]
    for suffix, what in ((".css", "a style sheet"), (".png", "an image"),
                         ("searchindex.js", "the search index")):
        if not any(path.endswith(suffix) for path in requested):
            problems.append(f"the browser loaded no {what}")
    for page, document in documents.items():
        if "<body" not in document:
            problems.append(f"{page} did not render")
    if 'href="guide/index.html"' not in documents["index.html"]:
        problems.append("the front page rendered without its guide links")
    if "interpolate" not in documents[pages[2]].split("search-results", 1)[-1]:
        problems.append("a search for 'monotone' rendered no results")
    for problem in problems:
        print(f"check_site: {problem}", file=sys.stderr)
    print(f"check_site: {count} pages, {len(requests)} resources loaded by the browser, "
          f"{len(problems)} problems", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "build/docs/html"))
