#!/usr/bin/env python3
"""Drives the host program's page in headless chromium through its remote-debugging protocol.

Chromium listens on a loopback port it picks itself (the port is read from the
DevToolsActivePort file in its profile folder); the protocol's web socket is spoken with
Python's standard library alone. Each scenario prints one JSON object on standard output
for the calling test to judge; every wait is bounded.

  cdp_page.py check URL [--shots DIR] [--ack-name NAME]
      the open alarm's banner and red tile, the main boxes at 390 x 844 and 1440 x 900, the
      filters against the API, Acknowledge, the event view; screenshots into DIR if given
  cdp_page.py latency URL --count N
      the time from the API showing each new alarm to its banner and red tile on the page, and
      from the event's start as the store recorded it (start_ms) to the banner (each alarm
      acknowledged on the page once seen); the medians and each figure
  cdp_page.py state URL
      the page's banner, rows and tiles after it loaded
  cdp_page.py clip URL [--shot FILE]
      the first clip of the event list once playable (its length), the page's text, a screenshot
  cdp_page.py signin URL --admin NAME:PASSWORD --viewer NAME:PASSWORD
      the sign-in as a browser meets it: "/" sends it to the login form; a viewer's and an
      admin's sessions (their cookie's flags, what each may fetch, an acknowledgement's name);
      Log out ending the session on the server; wrong passwords until the address is locked out
"""
import argparse
import base64
import json
import os
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

DESKTOP = (1440, 900)
PHONE = (390, 844)


class WebSocket:
    """A client web socket, text frames only, enough for the debugging protocol."""

    def __init__(self, url, timeout):
        parts = urllib.parse.urlsplit(url)
        self.sock = socket.create_connection((parts.hostname, parts.port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {parts.path} HTTP/1.1\r\nHost: {parts.hostname}:{parts.port}\r\n"
                           f"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("the browser closed the web socket during its handshake")
            head += chunk
        head, self.buffer = head.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise ConnectionError("web socket refused: " + head.decode(errors="replace"))

    def send(self, text):
        data = text.encode()
        mask = os.urandom(4)
        n = len(data)
        header = bytes([0x81]) + (bytes([0x80 | n]) if n < 126 else
                                  bytes([0x80 | 126]) + struct.pack(">H", n) if n < 65536 else
                                  bytes([0x80 | 127]) + struct.pack(">Q", n))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def _read(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise ConnectionError("the browser closed the web socket")
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def receive(self):
        message = b""
        while True:
            b0, b1 = self._read(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._read(8))[0]
            payload = self._read(n)
            opcode = b0 & 0x0F
            if opcode == 8:
                raise ConnectionError("the browser closed the web socket")
            if opcode in (0, 1, 2):
                message += payload
                if b0 & 0x80:
                    return message.decode()


class Browser:
    """One headless chromium with one page, stopped on exit."""

    def __init__(self, timeout=60):
        self.profile = tempfile.mkdtemp(prefix="cdp-page-")
        self.process = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--mute-audio",
             "--no-first-run", "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
             "--user-data-dir=" + self.profile, "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + timeout
        while True:
            if os.path.exists(port_file):
                lines = open(port_file).read().split("\n")
                if len(lines) >= 2 and lines[1]:
                    break
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.close()
                raise RuntimeError("chromium did not open its debugging port")
            time.sleep(0.05)
        port = int(lines[0])
        targets = []
        while not any(t.get("type") == "page" for t in targets):
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10) as r:
                targets = json.load(r)
            if time.monotonic() > deadline:
                raise RuntimeError("chromium shows no page")
            time.sleep(0.05)
        page = next(t for t in targets if t.get("type") == "page")
        self.ws = WebSocket(page["webSocketDebuggerUrl"], timeout)
        self.next_id = 0
        self.errors = []  # the page's uncaught script errors
        self.call("Page.enable")
        self.call("Runtime.enable")

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            reply = json.loads(self.ws.receive())
            if reply.get("method") == "Runtime.exceptionThrown":
                details = reply["params"]["exceptionDetails"]
                self.errors.append(details.get("exception", {}).get("description") or details.get("text"))
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})

    def eval(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression[:80]}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait(self, expression, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            value = self.eval(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise TimeoutError(f"no {what} within {timeout} s")
            time.sleep(0.05)

    def size(self, width, height):
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                  mobile=width < 800)
        self.eval("new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)))")

    def open(self, url):
        self.call("Page.navigate", url=url)
        self.wait("document.readyState !== 'loading' && !!document.getElementById('status') && "
                  "document.getElementById('status').textContent !== 'connecting…'", 60, "page")

    def screenshot(self, path, limit=300_000):
        """A PNG of the window, scaled down until it is under `limit` bytes."""
        width, height = self.eval("[innerWidth, innerHeight]")
        scale = 1.0
        while True:
            clip = {"x": 0, "y": 0, "width": width, "height": height, "scale": scale}
            png = base64.b64decode(self.call("Page.captureScreenshot", format="png", clip=clip)["data"])
            if len(png) < limit or scale < 0.3:
                break
            scale *= 0.8
        with open(path, "wb") as f:
            f.write(png)


def api(url, path, method="GET"):
    base = urllib.parse.urlsplit(url)
    query = urllib.parse.parse_qs(base.query)
    target = f"{base.scheme}://{base.netloc}{path}"
    if "token" in query:
        target += ("&" if "?" in target else "?") + "token=" + urllib.parse.quote(query["token"][0])
    request = urllib.request.Request(target, method=method)
    with urllib.request.urlopen(request, timeout=10) as r:
        answer = json.load(r)
    return answer["events"] if isinstance(answer, dict) and "events" in answer else answer


def event_by_id(url, id_):
    try:
        return api(url, f"/api/events/{id_}")
    except urllib.error.HTTPError:
        # A program without the single-event route: the list has it.
        return next(e for e in api(url, "/api/events?limit=100") if e["id"] == id_)


# The main boxes of the page and every pair of them that overlaps (by more than a pixel),
# and whether anything is wider than the window.
BOXES = """(() => {
  const boxes = [];
  const add = (name, e) => { if (!e || e.hidden || !e.getClientRects().length) return;
    const r = e.getBoundingClientRect(); if (r.width && r.height) boxes.push({name, x: r.x, y: r.y, w: r.width, h: r.height}); };
  add("header", document.querySelector("header"));
  add("banner", document.getElementById("alarm"));
  add("delivery banner", document.getElementById("deliveries-down"));
  document.querySelectorAll(".camera").forEach((c) => add("camera " + c.dataset.camera, c));
  add("filters", document.getElementById("filters"));
  add("event list", document.getElementById("events"));
  const overlaps = [];
  for (let i = 0; i < boxes.length; ++i) for (let j = i + 1; j < boxes.length; ++j) {
    const a = boxes[i], b = boxes[j];
    const w = Math.min(a.x + a.w, b.x + b.w) - Math.max(a.x, b.x), h = Math.min(a.y + a.h, b.y + b.h) - Math.max(a.y, b.y);
    if (w > 1 && h > 1) overlaps.push(a.name + " / " + b.name);
  }
  return {boxes: boxes.map((b) => b.name), overlaps, wider: document.documentElement.scrollWidth > innerWidth,
          columns: getComputedStyle(document.getElementById("home")).gridTemplateColumns.split(" ").length};
})()"""

STATE = """(() => {
  const alarm = document.getElementById("alarm");
  return {banner: alarm.hidden ? null : Number(alarm.dataset.event), banner_text: alarm.hidden ? "" : alarm.innerText,
          more: [...document.querySelectorAll("#alarm-more li")].map((li) => Number(li.dataset.event)),
          red: [...document.querySelectorAll(".camera.alarm")].map((c) => c.dataset.camera),
          rows: [...document.querySelectorAll("#events [data-event]")].map((r) => Number(r.dataset.event)),
          row_text: Object.fromEntries([...document.querySelectorAll("#events [data-event]")].map((r) => [r.dataset.event, r.innerText])),
          reasons: Object.fromEntries([...document.querySelectorAll(".camera")].map((c) => [c.dataset.camera,
                     c.querySelector(".reason").hidden ? null : c.querySelector(".reason").textContent])),
          no_events: document.getElementById("no-events").hidden ? null : document.getElementById("no-events").textContent,
          title: document.title};
})()"""


def set_filters(browser, camera="", cls="", since="", until="", unacked=False):
    values = json.dumps({"f-camera": camera, "f-class": cls, "f-from": since, "f-to": until})
    browser.eval(f"""(() => {{ const v = {values};
      for (const id in v) document.getElementById(id).value = v[id];
      document.getElementById("f-unacked").checked = {json.dumps(unacked)};
      document.getElementById("f-unacked").dispatchEvent(new Event("change")); }})()""")


def filter_rows(browser, url, query, timeout=10):
    """The page's rows once they match what the API answers for the same query."""
    expected = [e["id"] for e in api(url, "/api/events?" + urllib.parse.urlencode(query))]
    deadline = time.monotonic() + timeout
    while True:
        rows = browser.eval(STATE)["rows"]
        settled = browser.eval("document.getElementById('events').getAttribute('aria-busy') === 'false'")
        if (settled and rows == expected) or time.monotonic() > deadline:
            return rows, expected
        time.sleep(0.1)


def check(args):
    out = {}
    with Browser() as b:
        b.size(*DESKTOP)
        b.open(args.url)
        first = b.wait("(() => { const a = document.getElementById('alarm'); return !a.hidden && Number(a.dataset.event); })()",
                       60, "alarm banner")
        out["alarm"] = first
        b.wait("document.querySelector('.camera.alarm') !== null", 5, "red camera tile")
        b.wait("document.title.includes('ALARM')", 5, "flashing title")
        b.wait("document.getElementById('alarm-thumb').naturalWidth > 0", 10, "banner snapshot")
        out["state"] = b.eval(STATE)
        out["layout"] = {}
        for name, (w, h) in (("desktop", DESKTOP), ("phone", PHONE)):
            b.size(w, h)
            out["layout"][name] = b.eval(BOXES)
            if args.shots:
                b.screenshot(os.path.join(args.shots, f"alarm-{name}.png"))

        # The filters, as the operator sets them, against what the API holds for the same query.
        b.size(*DESKTOP)
        event = event_by_id(args.url, first)
        day = time.strftime("%Y-%m-%d", time.localtime(event.get("start_ms", time.time() * 1000) / 1000))
        next_day = time.strftime("%Y-%m-%d", time.localtime(event.get("start_ms", time.time() * 1000) / 1000 + 86400))
        cases = [
            ({"camera": event["camera"]}, {"camera": event["camera"]}),
            ({"cls": event["class_name"]}, {"class": event["class_name"]}),
            ({"cls": "no-such-class"}, {"class": "no-such-class"}),
            ({"since": day, "until": day}, None),
            ({"since": next_day}, None),
            ({"unacked": True}, {"unacknowledged": "1"}),
        ]
        out["filters"] = []
        for form, query in cases:
            set_filters(b, **form)
            if query is None:
                query = {k: v for k, v in b.eval("Object.fromEntries(filters())").items()}
            rows, expected = filter_rows(b, args.url, query)
            out["filters"].append({"form": form, "query": query, "rows": rows, "api": expected,
                                   "note": b.eval(STATE)["no_events"]})
        set_filters(b)

        # Acknowledge every alarm the banner shows, from the banner.
        name = json.dumps(args.ack_name)
        b.eval(f"(() => {{ const n = document.getElementById('ack-name'); n.value = {name}; "
               "n.dispatchEvent(new Event('change')); })()")
        for _ in range(50):
            shown = b.eval(STATE)["banner"]
            if shown is None:
                break
            b.eval("document.getElementById('alarm-ack').click()")
            b.wait(f"(() => {{ const a = document.getElementById('alarm'); return a.hidden || a.dataset.event !== '{shown}'; }})()",
                   10, f"banner past event {shown}")
        out["after_ack"] = b.eval(STATE)
        out["acknowledged"] = event_by_id(args.url, first)
        if args.shots:
            for name, (w, h) in (("desktop", DESKTOP), ("phone", PHONE)):
                b.size(w, h)
                b.eval("window.scrollTo(0, 0)")
                b.wait("[...document.querySelectorAll('#events img')].every((i) => i.complete)", 10, "thumbnails")
                b.screenshot(os.path.join(args.shots, f"{name}.png"))

        # The event view.
        b.size(*DESKTOP)
        b.eval(f"location.hash = '#event-{first}'")
        b.wait("(() => { const i = document.getElementById('view-snapshot'); return i && i.complete && i.naturalWidth > 0; })()",
               10, "full-size snapshot")
        out["view"] = b.eval("""(() => ({
          text: document.getElementById("view").innerText,
          snapshot: [document.getElementById("view-snapshot").naturalWidth, document.getElementById("view-snapshot").naturalHeight],
          links: [...document.querySelectorAll("#view a[download]")].map((a) => new URL(a.href).pathname),
          video: !!document.querySelector("#view video") && document.querySelector("#view video").getBoundingClientRect().height > 0}))()""")
        if out["view"]["video"]:
            out["view"]["video_ready"] = b.wait(
                "(() => { const v = document.querySelector('#view video'); return v.dataset.ready || (v.readyState >= 2 && '1'); })()",
                30, "clip in the event view")
        if args.shots:
            # A smaller window: the full-size snapshot is most of the picture and of its bytes.
            b.size(1024, 768)
            b.screenshot(os.path.join(args.shots, "event.png"))
        out["script_errors"] = b.errors
    return out


# Records, in the page, when the banner first shows each event and when a tile turns red.
OBSERVER = """(() => {
  window.__banner = {}; window.__red = [];
  const alarm = document.getElementById("alarm");
  let red = false;
  const look = () => {
    if (!alarm.hidden && alarm.dataset.event && !(alarm.dataset.event in window.__banner)) window.__banner[alarm.dataset.event] = Date.now();
    const now = document.querySelector(".camera.alarm") !== null;
    if (now && !red) window.__red.push(Date.now());
    red = now;
  };
  new MutationObserver(look).observe(document.body, {subtree: true, attributes: true, attributeFilter: ["hidden", "class", "data-event"]});
  look();
})()"""


def latency(args):
    banner, tile, from_start = [], [], []
    starts = {}
    with Browser() as b:
        b.size(*DESKTOP)
        b.open(args.url)
        b.eval(OBSERVER)
        deadline = time.monotonic() + args.timeout
        # Alarms from before the page was watched are acknowledged first, and their tile is let
        # go grey, so that each new one turns it red by itself.
        while True:
            b.eval("document.querySelectorAll('#alarm button[data-event]').forEach((x) => x.click())")
            if not b.eval("window.__red.length = 0, document.querySelector('.camera.alarm') !== null"):
                break
            if time.monotonic() > deadline:
                raise TimeoutError("the camera tile stayed red")
            time.sleep(0.05)
        known = {e["id"] for e in api(args.url, "/api/events?limit=100")}
        seen = {}
        while len(banner) < args.count:
            if time.monotonic() > deadline:
                raise TimeoutError(f"{len(banner)} of {args.count} alarms seen within {args.timeout} s")
            now = time.time() * 1000
            for e in api(args.url, "/api/events?limit=10"):
                if e["id"] not in known and e["id"] not in seen:
                    seen[e["id"]] = now
                    starts[e["id"]] = e.get("start_ms")
            shown = b.eval("window.__banner")
            red = b.eval("window.__red")
            for id_, at in sorted(seen.items()):
                if str(id_) in shown and at is not None:
                    banner.append(shown[str(id_)] - at)
                    if starts.get(id_) is not None:
                        from_start.append(shown[str(id_)] - starts[id_])
                    # The page may have it a little before this loop asks the API.
                    later = [t for t in red if t >= at - 500]
                    tile.append(later[0] - at if later else None)
                    seen[id_] = None
            # Acknowledge what the banner shows, so that the next alarm starts from a grey tile.
            b.eval("document.querySelectorAll('#alarm button[data-event]:not([disabled])').forEach((x) => x.click())")
            time.sleep(0.02)
        errors = b.errors
    return {"count": len(banner), "banner_ms": banner, "tile_ms": tile, "script_errors": errors,
            "banner_from_start_ms": from_start,
            "median_banner_from_start_ms": statistics.median(from_start) if from_start else None,
            "median_banner_ms": statistics.median(banner),
            "median_tile_ms": statistics.median([t for t in tile if t is not None]) if any(t is not None for t in tile) else None}


def clip(args):
    """The list's first playable clip (its readiness and length), the page's text, a screenshot."""
    with Browser() as b:
        b.size(1400, 800)
        b.open(args.url)
        ready = b.wait("(() => { const v = document.querySelector('#events video[data-ready]'); "
                       "return v && [v.dataset.ready, v.dataset.duration || null]; })()", 60, "clip in the list")
        if args.shot:
            b.screenshot(args.shot, limit=10_000_000)
        visible = b.eval("(() => { const r = document.querySelector('#events video[data-ready]').getBoundingClientRect(); "
                         "return r.width > 0 && r.height > 0; })()")
        return {"ready": ready[0], "duration": ready[1], "visible": visible, "text": b.eval("document.body.innerText"),
                "script_errors": b.errors}


def state(args):
    with Browser() as b:
        b.size(*DESKTOP)
        b.open(args.url)
        b.wait("document.querySelectorAll('.camera').length > 0", 30, "camera tiles")
        b.wait("document.querySelectorAll('#events [data-event]').length > 0 || !document.getElementById('no-events').hidden",
               30, "event list")
        return dict(b.eval(STATE), script_errors=b.errors)


def fetch_status(b, path, method="GET"):
    """The status the page's own fetch of `path` gets, with the browser's cookies."""
    return b.eval(f"fetch({json.dumps(path)}, {{method: {json.dumps(method)}, cache: 'no-store'}}).then((r) => r.status)")


def navigated(b, action, timeout=30):
    """Runs `action` (a script that navigates) and waits for the next document; its path,
    its response's status and its text."""
    b.eval("window.__before = true")
    b.eval(action)
    deadline = time.monotonic() + timeout
    while True:
        try:
            if b.eval("!window.__before && document.readyState === 'complete'"):
                break
        except RuntimeError:
            pass  # the old document went while it was asked
        if time.monotonic() > deadline:
            raise TimeoutError(f"no next page within {timeout} s")
        time.sleep(0.05)
    return b.eval("({path: location.pathname, status: performance.getEntriesByType('navigation')[0].responseStatus, "
                  "text: document.body.innerText})")


def submit_login(b, name, password):
    values = json.dumps({"name": name, "password": password})
    return navigated(b, f"""(() => {{ const v = {values}; const f = document.getElementById("login");
      for (const k in v) if (f.elements[k]) f.elements[k].value = v[k];
      f.submit(); }})()""")


def session_cookie(b, url):
    cookies = b.call("Network.getCookies", urls=[url])["cookies"]
    return next((c for c in cookies if c["name"] == "weapon_detect_session"), None)


def signin(args):
    admin, viewer = args.admin.split(":", 1), args.viewer.split(":", 1)
    base = args.url.rstrip("/")
    out = {}
    with Browser() as b:
        b.call("Network.enable")
        first = navigated(b, f"location.href = {json.dumps(base + '/')}")
        out["first"] = {"path": first["path"], "status": first["status"],
                        "fields": b.eval("[...document.querySelectorAll('#login input')].map((i) => i.name)")}

        # A viewer: the page, its own name on acknowledgements, no admin routes.
        page = submit_login(b, viewer[0], viewer[1])
        b.wait("document.getElementById('status') && document.getElementById('status').textContent !== 'connecting…'",
               60, "the page after signing in")
        b.wait("!document.getElementById('logout').hidden", 10, "the Log out button")
        cookie = session_cookie(b, base + "/")
        events = b.eval("fetch('/api/events?limit=1').then((r) => r.json())")["events"]
        ack = b.eval(f"fetch('/api/events/{events[0]['id']}/ack?by=mallory', {{method: 'POST'}}).then((r) => r.json())") \
            if events else None
        out["viewer"] = {"path": page["path"], "status": page["status"], "cookie": cookie,
                         "who": b.eval("document.getElementById('who').textContent"),
                         "ack_name_hidden": b.eval("document.getElementById('ack-as').hidden"),
                         "cameras": fetch_status(b, "/api/cameras"), "metrics": fetch_status(b, "/metrics"),
                         "config": fetch_status(b, "/api/config"), "acknowledged_by": ack and ack.get("acknowledged_by")}

        # Log out: the form on the page; the old cookie, put back, opens nothing. (The login
        # page's policy lets it fetch nothing: what follows are navigations.)
        visit = lambda path: navigated(b, f"location.href = {json.dumps(base + path)}")
        left = navigated(b, "document.querySelector('#logout button').click()")
        out["logout"] = {"path": left["path"], "cookie": session_cookie(b, base + "/"),
                         "cameras": visit("/api/cameras")["status"]}
        if cookie:
            b.call("Network.setCookie", name=cookie["name"], value=cookie["value"], url=base + "/", httpOnly=True,
                   sameSite="Strict")
            out["logout"]["old_cookie_cameras"] = visit("/api/cameras")["status"]
            out["logout"]["old_cookie_page"] = visit("/")["path"]

        # An admin.
        page = submit_login(b, admin[0], admin[1])
        b.wait("!document.getElementById('logout').hidden", 30, "the Log out button")
        out["admin"] = {"path": page["path"], "status": page["status"], "who": b.eval("document.getElementById('who').textContent"),
                        "metrics": fetch_status(b, "/metrics"), "config": fetch_status(b, "/api/config"),
                        "config_text": b.eval("fetch('/api/config').then((r) => r.text())"),
                        "metrics_text": b.eval("fetch('/metrics').then((r) => r.text())")}
        navigated(b, "document.querySelector('#logout button').click()")

        # Wrong passwords from one address, until it is locked out; then the right one waits too.
        out["wrong"] = [submit_login(b, admin[0], "not " + admin[1]) for _ in range(6)]
        out["right_while_locked"] = submit_login(b, admin[0], admin[1])
        out["script_errors"] = b.errors
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("scenario", choices=["check", "latency", "state", "clip", "signin"])
    parser.add_argument("url")
    parser.add_argument("--shots", help="folder for screenshots")
    parser.add_argument("--shot", help="file for the clip scenario's screenshot")
    parser.add_argument("--ack-name", default="test operator")
    parser.add_argument("--count", type=int, default=20)
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("--admin", help="NAME:PASSWORD of an admin, for the signin scenario")
    parser.add_argument("--viewer", help="NAME:PASSWORD of a viewer, for the signin scenario")
    args = parser.parse_args()
    try:
        result = {"check": check, "latency": latency, "state": state, "clip": clip, "signin": signin}[args.scenario](args)
    except (TimeoutError, RuntimeError, ConnectionError, OSError, urllib.error.URLError) as error:
        print(json.dumps({"error": f"{type(error).__name__}: {error}"}))
        return 1
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
