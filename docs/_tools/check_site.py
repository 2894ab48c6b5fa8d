"""Open every page of the built documentation in headless Chromium, as a reader would.

    python docs/_tools/check_site.py docs/_build/html

The site is served on a loopback port and each page is loaded in one Chromium tab, driven
through the DevTools protocol. A page fails on a script error (an uncaught exception or a
``console.error``), a resource that does not load (an image, a style sheet, a script: HTTP
status 400 or above, or a failed request), an image that does not decode, or a link to a
page of the site, or to an anchor in it, that does not exist. Links leaving the site are
not followed (the check runs without network). Exit status 1 when any page fails.
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any
from urllib.parse import unquote, urldefrag, urlsplit
from urllib.request import urlopen

import websocket

# Folders of a Sphinx build that hold assets or sources, not pages.
NOT_PAGES = ("_static", "_images", "_sources", "_downloads", "_sphinx_design_static")
LOAD_TIMEOUT = 30.0  # seconds for one page to fire its load event
SETTLE = 0.3  # seconds to let scripts run after the load event

# Resolves to the URLs of images that fail to decode, after forcing lazy images to load.
BROKEN_IMAGES_JS = """
Promise.all(Array.from(document.images).map(img => {
  img.loading = "eager";
  return img.decode().then(() => null, () => img.currentSrc || img.src);
})).then(bad => bad.filter(src => src !== null))
"""
LINKS_JS = "Array.from(document.querySelectorAll('a[href]')).map(a => a.href)"
ANCHORS_JS = (
    "Array.from(document.querySelectorAll('[id], a[name]')).map(e => e.id || e.name)"
)


@dataclass
class Page:
    """What loading one page found: its problems, its links and its anchors."""

    url: str
    problems: list[str] = field(default_factory=list)
    links: list[str] = field(default_factory=list)
    anchors: set[str] = field(default_factory=set)


class Quiet(SimpleHTTPRequestHandler):
    """A file server that logs nothing: the report lists the problems."""

    def log_message(self, format: str, *args: Any) -> None:
        """Log nothing."""
        pass


@contextmanager
def serve(root: Path) -> Iterator[str]:
    """Serve `root` on a free loopback port; yields the base URL."""
    server = ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=str(root)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/"
    finally:
        server.shutdown()
        server.server_close()


@contextmanager
def chromium() -> Iterator[str]:
    """Start headless Chromium with a DevTools port; yields the WebSocket URL of its tab."""
    binary = shutil.which("chromium") or shutil.which("chromium-browser")
    if binary is None:
        raise SystemExit("check_site: chromium not found (Debian: apt-get install chromium)")
    with tempfile.TemporaryDirectory() as profile:
        process = subprocess.Popen(
            [binary, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-extensions", "--remote-debugging-address=127.0.0.1",
             "--remote-debugging-port=0", f"--user-data-dir={profile}", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            # A sanitizer runtime preloaded for the tests is not meant for the browser.
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
        try:
            port = _devtools_port(Path(profile) / "DevToolsActivePort", process)
            with urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10) as response:
                targets = json.load(response)
            yield next(t["webSocketDebuggerUrl"] for t in targets if t["type"] == "page")
        finally:
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def _devtools_port(path: Path, process: subprocess.Popen[bytes]) -> int:
    deadline = time.monotonic() + 30.0
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise SystemExit(f"check_site: chromium exited with status {process.returncode}")
        if path.exists() and path.read_text().strip():
            return int(path.read_text().split()[0])
        time.sleep(0.1)
    raise SystemExit("check_site: chromium did not open its DevTools port within 30 s")


class DevTools:
    """A minimal DevTools protocol client over one WebSocket: commands and their events."""

    def __init__(self, url: str) -> None:
        self.socket = websocket.create_connection(url, timeout=LOAD_TIMEOUT, suppress_origin=True)
        self.next_id = 0
        self.events: list[dict[str, Any]] = []

    def call(self, method: str, **params: Any) -> dict[str, Any]:
        """The result of one command; events that arrive meanwhile are kept."""
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error'].get('message')}")
                result: dict[str, Any] = message.get("result", {})
                return result
            if "method" in message:
                self.events.append(message)

    def wait_for(self, event: str, timeout: float) -> bool:
        """Collect events until `event` arrives (True) or `timeout` passes (False)."""
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0:
            self.socket.settimeout(left)
            try:
                message = json.loads(self.socket.recv())
            except websocket.WebSocketTimeoutException:
                break
            if "method" in message:
                self.events.append(message)
                if message["method"] == event:
                    return True
        self.socket.settimeout(LOAD_TIMEOUT)
        return False

    def evaluate(self, expression: str) -> Any:
        """The value of a JavaScript expression in the page, promises awaited."""
        result = self.call("Runtime.evaluate", expression=expression, awaitPromise=True,
                           returnByValue=True)
        return result["result"].get("value")


def visit(tools: DevTools, url: str) -> Page:
    """Load one page and report what a reader would see go wrong."""
    page = Page(url)
    tools.events.clear()
    tools.call("Page.navigate", url=url)
    if not tools.wait_for("Page.loadEventFired", LOAD_TIMEOUT):
        page.problems.append(f"did not finish loading within {LOAD_TIMEOUT:.0f} s")
    tools.wait_for("", SETTLE)  # scripts that run after the load event
    for src in tools.evaluate(BROKEN_IMAGES_JS) or []:
        page.problems.append(f"image does not load: {src}")
    page.links = tools.evaluate(LINKS_JS) or []
    page.anchors = set(tools.evaluate(ANCHORS_JS) or [])
    page.problems += event_problems(tools.events)
    return page


def event_problems(events: list[dict[str, Any]]) -> list[str]:
    """The problems the browser reported while a page loaded."""
    problems = []
    urls = {e["params"]["requestId"]: e["params"]["request"]["url"]
            for e in events if e["method"] == "Network.requestWillBeSent"}
    for event in events:
        method, params = event["method"], event.get("params", {})
        if method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            problems.append(f"script error: {text}")
        elif method == "Runtime.consoleAPICalled" and params.get("type") == "error":
            args = " ".join(str(a.get("value", a.get("description", ""))) for a in params["args"])
            problems.append(f"console error: {args}")
        elif method == "Network.responseReceived":
            response = params["response"]
            if response["status"] >= 400 and not response["url"].endswith("/favicon.ico"):
                problems.append(f"HTTP {response['status']}: {response['url']}")
        elif method == "Network.loadingFailed" and not params.get("canceled"):
            url = urls.get(params["requestId"], params["requestId"])
            problems.append(f"request failed ({params.get('errorText')}): {url}")
    return problems


def page_file(root: Path, base: str, url: str) -> Path | None:
    """The file under `root` that an internal URL names (a folder means its index.html)."""
    path = unquote(urlsplit(url).path)[len(urlsplit(base).path):]
    target = root / path
    if target.is_dir():
        target = target / "index.html"
    return target if target.is_file() else None


def pages_of(root: Path) -> list[Path]:
    """The HTML pages of the site, without the theme's and the build's own files."""
    return sorted(p for p in root.rglob("*.html")
                  if not any(part in NOT_PAGES for part in p.relative_to(root).parts))


def check(root: Path) -> int:
    """Load every page of the site at `root`, print the problems; 1 if there are any."""
    root = root.resolve()
    files = pages_of(root)
    if not (root / "index.html").is_file():
        raise SystemExit(f"check_site: {root} holds no built site (no index.html)")
    with serve(root) as base, chromium() as tab:
        tools = DevTools(tab)
        for domain in ("Page", "Runtime", "Network"):
            tools.call(f"{domain}.enable")
        visited = {}
        for path in files:
            url = base + path.relative_to(root).as_posix()
            visited[url] = visit(tools, url)
        tools.socket.close()
    external = 0
    for page in visited.values():
        for link in page.links:
            target, anchor = urldefrag(link)
            if not target.startswith(base):
                external += link.startswith(("http://", "https://"))
                continue
            found = page_file(root, base, target)
            if found is None:
                page.problems.append(f"broken link: {link}")
                continue
            linked = visited.get(base + found.relative_to(root).as_posix())
            if anchor and linked is not None and unquote(anchor) not in linked.anchors:
                page.problems.append(f"missing anchor: {link}")
    failed = {url: page for url, page in visited.items() if page.problems}
    for url, page in failed.items():
        print(url[len(base):])
        for problem in dict.fromkeys(page.problems):
            print(f"  {problem}")
    links = sum(len(p.links) for p in visited.values())
    print(f"{len(visited)} pages, {links} links ({external} external, not followed): "
          f"{len(failed)} pages with problems")
    return 1 if failed else 0


def main() -> int:
    """Check the site named on the command line."""
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    parser.add_argument("site", type=Path, help="folder of the built HTML site")
    return check(parser.parse_args().site)


if __name__ == "__main__":
    os.environ.setdefault("NO_AT_BRIDGE", "1")  # Chromium asks for an accessibility bus
    sys.exit(main())
