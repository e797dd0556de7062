#!/usr/bin/env python3
"""The phone remote in a real headless Chromium, against quillmar-cli serve --web and the panel
on a private X server, each on the simulated module, whose log records what reached the line.

Usage: phone_remote.py RELAY_SIM QUILLMAR_CLI QUILLMAR [SCREENSHOT_DIR]
With SCREENSHOT_DIR, the page is saved there at a phone's size as phone-remote.png (idle, after
a sequence), phone-remote-series.png, phone-remote-armed.png, phone-remote-failure.png and
phone-remote-cameras.png (the eight-camera rig of docs/examples, after one camera's tile),
phone-remote-bulb.png (a bulb from the command line) and phone-remote-stopped.png (after STOP).
Needs chromium, chromedriver (CHROMEDRIVER may name it), python3-selenium, Xvfb and xdotool."""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

RELAY_SIM, CLI, PANEL = sys.argv[1:4]
EIGHT_CAMERAS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                             "examples", "eight-cameras-focus.toml")
SCREENSHOTS = sys.argv[4] if len(sys.argv) > 4 else None
WORK = tempfile.TemporaryDirectory(prefix="quillmar-web.")
RUNTIME = os.path.join(WORK.name, "runtime")
os.mkdir(RUNTIME, 0o700)
CHILDREN = []
# One two-shot run with the flash off at its start, queries included.
ONE_RUN = ["relay read 1", "relay on 1", "relay off 1", "relay read 0", "relay on 0",
           "relay read 1", "relay on 1", "relay off 1", "relay read 0", "relay off 0"]


def fail(message):
    for name in sorted(os.listdir(WORK.name)):
        if name.endswith(".out"):
            with open(os.path.join(WORK.name, name), errors="replace") as out:
                sys.stderr.write(f"--- {name}\n{out.read()[-3000:]}")
    raise SystemExit(f"phone_remote: {message}")


def wait_until(seconds, check):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    return None


def start(name, command, **extra):
    out = open(os.path.join(WORK.name, name + ".out"), "w")
    env = dict(os.environ, XDG_RUNTIME_DIR=RUNTIME, **extra)
    child = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, env=env)
    CHILDREN.append(child)
    return child


def output(name):
    with open(os.path.join(WORK.name, name + ".out"), errors="replace") as out:
        return out.read()


class Module:
    def __init__(self, name, *options):
        self.log = os.path.join(WORK.name, name + ".log")
        self.process = start(name, [RELAY_SIM, "--log", self.log, *options])
        found = wait_until(10, lambda: re.search(r"relay-sim: module on (\S+)", output(name)))
        if not found:
            fail("the simulated module did not start")
        self.device = found.group(1)

    def commands(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as log:
            return [line.split(" ", 1)[1].strip() for line in log if " " in line]


def url_from(name):
    found = wait_until(20, lambda: re.search(r"phone remote: (http://\S+)", output(name)))
    if not found:
        fail(f"{name} printed no phone remote URL")
    return found.group(1)


def http(url, body=None, headers=None):
    """Status and body of a plain request (POST when there is a body)."""
    request = urllib.request.Request(url, data=body, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=10) as reply:
            return reply.status, reply.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def browser():
    options = webdriver.ChromeOptions()
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--user-data-dir=" + os.path.join(WORK.name, "chrome"),
                 "--window-size=390,844", "--force-device-scale-factor=1"]:
        options.add_argument(flag)
    # A phone's screen and touch input.
    options.add_experimental_option("mobileEmulation", {
        "deviceMetrics": {"width": 390, "height": 844, "pixelRatio": 2.0, "touch": True}})
    for path in ["/usr/bin/chromium"]:
        if os.path.exists(path):
            options.binary_location = path
    driver = os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")
    return webdriver.Chrome(service=Service(driver), options=options)


def text_of(page, element_id):
    return page.find_element(By.ID, element_id).text


def shown(page, element_id):
    return page.find_element(By.ID, element_id).is_displayed()


def screenshot(page, name):
    if SCREENSHOTS:
        page.save_screenshot(os.path.join(SCREENSHOTS, name))


def in_background(call):
    """Runs `call` on a thread of its own; the list holds its result once it has one."""
    result = []
    threading.Thread(target=lambda: result.append(call()), daemon=True).start()
    return result


def start_serve():
    """The simulated module and serve on it, with a token from a file; started before the browser,
    so that both start at once."""
    module = Module("serve-sim")
    token_file = os.path.join(WORK.name, "token")
    # The token is a password: serve takes it only from a file its owner alone may read.
    with open(os.open(token_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as out:
        out.write("studio-token-for-the-bookmark\n")
    serve = start("serve", [CLI, "--ports", module.device, "serve", "--port", "1",
                            "--web", "127.0.0.1:0", "--web-token-file", token_file])
    return module, serve, token_file


def start_stalled():
    """A serve of its own, on a module of its own, filled with clients that never finish a request.
    They take the server's whole request deadline to be dropped, so this one runs while the rest
    of the checks do; finish_stalled checks how it ended."""
    module = Module("stalled-sim")
    start("stalled", [CLI, "--name", "phone-remote-stalled", "--ports", module.device, "serve",
                      "--port", "1", "--web", "127.0.0.1:0"])
    return module


def stall(module):
    """Clients that never finish a request fill every slot: the token's holder still gets in (the
    oldest of them gives its slot up). Returns what finish_stalled needs."""
    url = url_from("stalled")
    base, token = url.split("/?token=")
    bearer = {"Authorization": "Bearer " + token}
    port = int(base.rsplit(":", 1)[1])
    stalled = []
    for _ in range(64):
        stalled.append(socket.create_connection(("127.0.0.1", port)))
        stalled[-1].sendall(b"POST /api/request HTTP/1.1\r\nHost: 127.0.0.1\r\n")
    time.sleep(0.5)
    if http(base + "/api/state", headers=bearer)[0] != 200:
        fail("64 stalled clients locked the token's holder out")
    print("ok: 64 stalled clients do not lock the token's holder out")

    # Each client's end, and when it came, read on a thread of its own while the others run.
    def ends():
        seen = []
        for client in stalled:
            client.settimeout(20)
            try:
                seen.append((client.recv(1), time.monotonic()))
            except ConnectionResetError:
                seen.append((b"", time.monotonic()))
            except socket.timeout:
                seen.append((None, time.monotonic()))
            client.close()
        return seen
    return base, bearer, module, time.monotonic(), in_background(ends)


def finish_stalled(base, bearer, module, since, ends):
    """The stalled clients were dropped in time, and serve answers once they were."""
    if not wait_until(25, lambda: ends):
        fail("the stalled clients' ends were not all seen")
    for got, at in ends[0]:
        if got is None or at - since > 20:
            fail("a client that never finished its request was not dropped in time")
        if got != b"":
            fail("a client that never finished its request got an answer")
    if http(base + "/api/state", headers=bearer)[0] != 200:
        fail("no answer once the stalled clients were dropped")
    if module.commands() != ["relay off 0", "relay off 1"]:
        fail(f"stalled clients put commands on the line: {module.commands()[2:]}")
    print("ok: the 64 stalled clients were dropped in time")


def check_serve(page, module, serve, token_file):
    url = url_from("serve")
    base, token = url.split("/?token=")
    wait_until(10, lambda: len(module.commands()) >= 2)
    if module.commands() != ["relay off 0", "relay off 1"]:
        fail(f"serve's opening: {module.commands()}")

    # Without the token, with a wrong one and from another site's page: refused, nothing runs.
    flash = json.dumps({"action": "flash"}).encode()
    bearer = {"Authorization": "Bearer " + token}
    refused = [
        (http(base + "/api/request", flash), 401),
        (http(base + "/api/request", flash, {"Authorization": "Bearer " + token[:-1] + "x"}), 401),
        (http(base + "/api/request", flash, {"Cookie": "quillmar-token=nope"}), 401),
        (http(base + "/api/request", flash, dict(bearer, Origin="http://evil.example")), 403),
        (http(base + "/api/request", flash,
              dict(bearer, Host="evil.example:" + base.rsplit(":", 1)[1])), 403),
        (http(base + "/?token=wrong"), 401),
        (http(base + "/api/request", b"{" * 5000, bearer), 413),
    ]
    for index, ((status, _), want) in enumerate(refused):
        if status != want:
            fail(f"refusal {index}: status {status}, want {want}")
    status, body = http(base + "/api/request", b'{"action": "fire", "id": 3}', bearer)
    answer = json.loads(body)
    if status != 400 or answer["error"]["kind"] != "bad-request" or answer["id"] != 3:
        fail(f"a bad request: {status} {body!r}")
    time.sleep(0.3)
    if len(module.commands()) != 2:
        fail(f"a refused request reached the line: {module.commands()[2:]}")
    print("ok: no token, a wrong token, another site's page, a bad request: nothing ran")

    # Two Content-Length headers that differ: refused, the connection closed, nothing run.
    port = int(base.rsplit(":", 1)[1])
    body = json.dumps({"action": "flash"}).encode()
    twice = socket.create_connection(("127.0.0.1", port))
    twice.settimeout(5)
    twice.sendall(b"POST /api/request HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % port
                  + b"Authorization: Bearer " + token.encode() + b"\r\n"
                  + b"Content-Length: %d\r\nContent-Length: 2\r\n\r\n" % len(body) + body)
    reply = b""
    while True:
        more = twice.recv(65536)
        if not more:
            break
        reply += more
    twice.close()
    if not reply.startswith(b"HTTP/1.1 400"):
        fail(f"two different Content-Length headers: {reply[:80]!r}")
    time.sleep(0.3)
    if len(module.commands()) != 2:
        fail(f"a request with two lengths reached the line: {module.commands()[2:]}")
    print("ok: two different Content-Length headers are refused and the connection closed")

    # The same id twice runs once and gets the same answer.
    shutter = json.dumps({"action": "shutter", "id": "tap-1"}).encode()
    first = http(base + "/api/request", shutter, bearer)
    again = http(base + "/api/request", shutter, bearer)
    if first != again or not json.loads(first[1])["ok"]:
        fail(f"a repeated id: {first} then {again}")
    # The module logs a command as it takes it in, which may be after the answer came.
    wait_until(5, lambda: len(module.commands()) >= 5)
    time.sleep(0.3)
    if module.commands()[2:] != ["relay read 1", "relay on 1", "relay off 1"]:
        fail(f"a repeated id ran again: {module.commands()[2:]}")
    print("ok: a repeated id is answered again, not run again")

    # A request whose connection drops before it starts is withdrawn: it never runs, and a retry
    # under its id runs afresh.
    def post(body):
        client = socket.create_connection(("127.0.0.1", port))
        client.sendall(b"POST /api/request HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % port
                       + b"Authorization: Bearer " + token.encode() + b"\r\nContent-Type: application/json\r\n"
                       + b"Content-Length: %d\r\n\r\n" % len(body) + body)
        return client
    before = len(module.commands())
    running = post(json.dumps({"action": "sequence"}).encode())
    wait_until(5, lambda: len(module.commands()) >= before + 2)
    dropped = post(json.dumps({"action": "shutter", "id": "tap-2"}).encode())
    time.sleep(0.3)
    dropped.close()
    running.settimeout(10)
    answer = b""
    while b'"ok"' not in answer:
        more = running.recv(65536)
        if not more:
            break
        answer += more
    if b'"ok":true' not in answer:
        fail(f"the running sequence got no answer: {answer}")
    running.close()
    # The dropped shutter would have run right after the sequence.
    time.sleep(1.0)
    if module.commands()[before:] != ONE_RUN:
        fail(f"a withdrawn request ran: {module.commands()[before:]}")
    retried = http(base + "/api/request",
                   json.dumps({"action": "shutter", "id": "tap-2"}).encode(), bearer)
    if not json.loads(retried[1])["ok"]:
        fail(f"the retry of a withdrawn request: {retried}")
    pulse = ["relay read 1", "relay on 1", "relay off 1"]
    wait_until(5, lambda: len(module.commands()) >= before + len(ONE_RUN) + len(pulse))
    time.sleep(0.3)
    if module.commands()[before:] != ONE_RUN + pulse:
        fail(f"a withdrawn request ran, or its retry did not: {module.commands()[before:]}")
    print("ok: a request whose connection dropped before it started never ran; its retry did")

    # The page at a phone's size: the first visit puts the token in a cookie.
    page.get(url)
    start_button = page.find_element(By.ID, "start")
    if not wait_until(10, start_button.is_enabled):
        fail("START stayed disabled with the port open")
    if "token" in page.current_url:
        fail(f"the token stayed in the address bar: {page.current_url}")
    # Named after the port (two rigs' pages on one computer keep their own), lasting 30 days.
    cookie = page.get_cookie(f"quillmar-token-{port}")
    if (not cookie or not cookie.get("httpOnly") or cookie.get("sameSite") != "Strict"
            or not 29 * 86400 < cookie.get("expiry", 0) - time.time() <= 30 * 86400):
        fail(f"the token's cookie: {cookie} among {page.get_cookies()}")
    for button in page.find_elements(By.CSS_SELECTOR, "button"):
        if not button.is_displayed():
            continue
        size = button.size
        if size["height"] < 48 or size["width"] < 48:
            fail(f"{button.text!r} is {size}, smaller than a fingertip")
    labels = [b.text.split("\n")[0] for b in page.find_elements(By.CSS_SELECTOR, "button")
              if b.is_displayed()]
    if labels != ["START", "Main Flash", "Camera Shutter"] or shown(page, "cameras"):
        fail(f"button labels {labels}, camera tiles shown: {shown(page, 'cameras')}")
    # The state in words, from the typed fields.
    words = [text_of(page, "module"), text_of(page, "flash"), text_of(page, "shutter")]
    if words != ["Connected", "Flash off", "Shutter closed"]:
        fail(f"the state in words: {words}")

    before = len(module.commands())
    start_button.click()
    if not wait_until(15, lambda: len(module.commands()) >= before + len(ONE_RUN)):
        fail(f"a tap on START put {module.commands()[before:]} on the line")
    if module.commands()[before:] != ONE_RUN:
        fail(f"a tap on START: {module.commands()[before:]}")
    # The last action in words; the commands only behind "Details".
    if not wait_until(5, lambda: text_of(page, "recordTitle") == "Sequence: done"):
        fail(f"no last action told: {text_of(page, 'record')!r}")
    summary = text_of(page, "recordSummary")
    if not re.fullmatch(r"2 shots · took \d+\.\d+ s", summary):
        fail(f"the last action's summary: {summary!r}")
    if shown(page, "commands"):
        fail("the raw commands are shown without asking for the details")
    page.find_element(By.ID, "detailsTitle").click()
    rows = page.find_elements(By.CSS_SELECTOR, "#commands tr")
    if len(rows) != len(ONE_RUN) or not rows[0].is_displayed() or "relay read 1" not in rows[0].text:
        fail(f"the details: {[row.text for row in rows]}")
    page.find_element(By.ID, "detailsTitle").click()
    if shown(page, "stop") or shown(page, "disarm"):
        fail("Stop or Disarm offered with nothing running")
    screenshot(page, "phone-remote.png")
    print("ok: a tap on START put the two-shot sequence on the line; the page tells it in words")

    # A series started elsewhere: its shot shown live, and Stop on the page ends it.
    series = in_background(lambda: http(base + "/api/request", json.dumps(
        {"action": "shutter", "repeat": 5, "interval": 2, "id": "series-1"}).encode(), bearer))
    if not wait_until(10, lambda: "shot 2 of 5" in text_of(page, "doing")):
        fail(f"the series' shot not shown: {text_of(page, 'activity')!r}")
    if not shown(page, "stop") or shown(page, "disarm"):
        fail("no Stop while a series runs")
    screenshot(page, "phone-remote-series.png")
    page.find_element(By.ID, "stop").click()
    if not wait_until(10, lambda: series):
        fail("the series did not end on Stop")
    answer = json.loads(series[0][1])
    if not answer.get("stopped") or len(answer.get("shots", [])) >= 5:
        fail(f"the series stopped from the page: {answer}")
    if not wait_until(5, lambda: not shown(page, "stop") and not shown(page, "activity")):
        fail("Stop still offered after the series ended")
    # The module's pulse is never cut short: no time is claimed for the shutter's release.
    if text_of(page, "recordTitle") != "Stopped after its step in progress: every shutter closed":
        fail(f"the series stopped from the page: {text_of(page, 'record')!r}")
    print(f"ok: the series' shot shown live; Stop ended it after {len(answer['shots'])} shots")

    # A shot armed elsewhere: its time and a countdown, and Disarm on the page; it never fires.
    armed = in_background(lambda: http(base + "/api/request", json.dumps(
        {"action": "shutter", "at": time.time() + 30, "clock": "local", "id": "armed-1"}).encode(),
        bearer))
    if not wait_until(10, lambda: shown(page, "disarm") and shown(page, "armed")):
        fail(f"no Disarm for an armed shot: {text_of(page, 'activity')!r} {armed}")
    countdown = text_of(page, "armedIn")
    if not re.fullmatch(r"in \d+(\.\d+)? s", countdown) or not text_of(page, "armedAt"):
        fail(f"the armed time: {text_of(page, 'armed')!r}")
    if not wait_until(5, lambda: text_of(page, "armedIn") != countdown):
        fail("the countdown does not run")
    screenshot(page, "phone-remote-armed.png")
    before = len(module.commands())
    page.find_element(By.ID, "disarm").click()
    if not wait_until(10, lambda: armed):
        fail("the armed shot was not answered on Disarm")
    if not wait_until(5, lambda: not shown(page, "disarm") and not shown(page, "armed")):
        fail("Disarm still offered after the shot was disarmed")
    time.sleep(0.3)
    if "relay on 1" in module.commands()[before:]:
        fail(f"a disarmed shot fired: {module.commands()[before:]}")
    print("ok: an armed shot shows its time and countdown; Disarm on the page disarmed it")

    # The module stops answering (unplugged): the page tells the failure in words.
    module.process.send_signal(signal.SIGSTOP)
    try:
        page.find_element(By.ID, "mainFlash").click()
        words = wait_until(20, lambda: page.find_element(By.ID, "failure").is_displayed()
                           and text_of(page, "failure"))
        if not words or "Main Flash failed" not in words:
            fail(f"no failure words with the module unplugged: {words!r}")
        if text_of(page, "recordTitle") != "Main Flash: failed":
            fail(f"the last action after a failure: {text_of(page, 'record')!r}")
        screenshot(page, "phone-remote-failure.png")
    finally:
        module.process.send_signal(signal.SIGCONT)
    print(f"ok: the module unplugged, the page says {words!r}")

    # The program stops: the page says its link is lost, and when the program is back (with the
    # studio's fixed token, on the same port) the page is too, by itself.
    serve.terminate()
    serve.wait(10)
    if not wait_until(10, lambda: page.find_element(By.ID, "link").is_displayed()):
        fail("the page did not tell the lost link")
    if start_button.is_enabled():
        fail("START stayed enabled without a link to the rig")
    start("serve-again", [CLI, "--ports", module.device, "serve", "--port", "1", "--web",
                          base.rsplit("/", 1)[1], "--web-token-file", token_file])
    url_from("serve-again")
    if not wait_until(20, lambda: not page.find_element(By.ID, "link").is_displayed()
                      and start_button.is_enabled()):
        fail("the page did not come back with the program")
    print("ok: the page tells a lost link and comes back by itself")


def start_rig():
    """serve on the eight-camera rig file, its 32-relay board simulated; with a socket name of
    its own, as serve holds the default one."""
    module = Module("rig-sim", "--id", "RING8", "--relays", "32")
    # The example's flash hangs on a CH340 board: simulated too, and named in a copy of the file.
    lights = os.path.join(WORK.name, "lights")
    lights_board = start("lights-sim", [RELAY_SIM, "--kind", "ch340", "--link", lights])
    if not wait_until(10, lambda: os.path.exists(lights)):
        fail("the simulated CH340 board did not start")
    with open(EIGHT_CAMERAS) as example:
        text = re.sub(r'"ch340:[^"]*"', f'"ch340:{lights}"', example.read())
    # Under the example's own name, which the page's header shows.
    rig_file = os.path.join(WORK.name, os.path.basename(EIGHT_CAMERAS))
    with open(rig_file, "w") as copy:
        copy.write(text)
    start("rig", [CLI, "--name", "phone-remote-rig", "--ports", module.device, "serve",
                  "--rig-file", rig_file, "--web", "127.0.0.1:0"])
    return module, lights_board


def boards(page):
    """Each board's row: its name and device, and its link in words. Read in one call: the rows
    are made again on each state pushed."""
    return page.execute_script("""return [...document.querySelectorAll("#boards .row")].map(
        (r) => [...r.children].map((c) => c.textContent));""")


def check_rig(page, module, lights_board):
    """A described rig: named by its file, a row a board, a tile a camera, each firing its camera
    alone."""
    page.get(url_from("rig"))
    tiles = wait_until(10, lambda: [t for t in page.find_elements(By.CSS_SELECTOR, "#cameras button")
                                    if t.is_enabled()])
    rows = boards(page)
    if (text_of(page, "port") != "eight-cameras-focus.toml" or shown(page, "module")
            or [r[1] for r in rows] != ["Open", "Open"]
            or not rows[0][0].startswith("Board ring \u00b7 /dev/")):
        fail(f"the rig's header and boards: {text_of(page, 'port')!r} {rows}")
    if ([t.text.split("\n") for t in tiles or []]
            != [[f"cam{n}", "shutter closed", "focus released"] for n in range(1, 9)]
            or text_of(page, "cameraShutter").split("\n")[0] != "Fire all cameras"
            or text_of(page, "flashes") != "Flash key\nFlash off\nToggle"):
        fail(f"the rig's tiles: {[t.text for t in tiles or []]}; {text_of(page, 'cameraShutter')!r} {text_of(page, 'flashes')!r}")
    # What the page asks is kept, to hold against what reached the board.
    page.execute_script("""window.asked = []; const send = window.fetch;
        window.fetch = (url, init) => { window.asked.push(JSON.parse(init.body)); return send(url, init); };""")
    before = len(module.commands())
    tiles[2].click()
    if not wait_until(10, lambda: text_of(page, "recordTitle") == "Camera cam3: done"):
        fail(f"a tap on cam3's tile: {text_of(page, 'record')!r} {text_of(page, 'failure')!r}")
    asked = page.execute_script("return window.asked;")
    switched = {int(c.split()[2]) for c in module.commands()[before:]
                if re.fullmatch(r"relay (on|off) \d+", c)}
    if [a.get("cameras") for a in asked] != [["cam3"]] or switched != {4, 5}:
        fail(f"a tap on cam3's tile asked {asked}, switched {module.commands()[before:]}")
    screenshot(page, "phone-remote-cameras.png")
    # The flash's own toggle asks for that flash by name, and its row follows; tapped again, off.
    toggle = page.find_element(By.CSS_SELECTOR, "#flashes button")
    for words in ["Flash on", "Flash off"]:
        toggle.click()
        if not wait_until(10, lambda: text_of(page, "recordTitle") == "Flash key: done"
                          and toggle.is_enabled() and words in text_of(page, "flashes")):
            fail(f"a tap on key's toggle: {text_of(page, 'record')!r} {text_of(page, 'flashes')!r}")
    flashes = [a.get("flash") for a in page.execute_script("return window.asked;")[1:]]
    if flashes != ["key", "key"] or toggle.get_attribute("aria-label") != "Toggle flash key, Flash off":
        fail(f"key's toggle asked {flashes}, is named {toggle.get_attribute('aria-label')!r}")
    print("ok: a tile a camera; a tap on cam3's tile fired cam3 alone; key's toggle toggled key")


def below_the_fold(page):
    """The buttons of the controls that end below the phone's screen."""
    return page.execute_script("""return ["stop", "start", "mainFlash", "cameraShutter"].filter(
        (id) => { const r = document.getElementById(id).getBoundingClientRect();
                  return r.height > 0 && r.bottom > window.innerHeight; });""")


def shutters(page):
    return [t.text.split("\n")[1] for t in page.find_elements(By.CSS_SELECTOR, "#cameras button")]


def check_lost_board(page, lights_board):
    """The flash's board gone: shown lost, and the other board closed meanwhile, never open."""
    lights_board.terminate()
    lights_board.wait(10)
    rows = wait_until(10, lambda: [r[1] for r in boards(page)] == ["Closed", "Lost: reconnecting"]
                      and boards(page))
    if not rows or text_of(page, "module") or not shown(page, "why"):
        fail(f"a lost board: {boards(page)} {text_of(page, 'why')!r}")
    print(f"ok: the lost board shown lost, the other closed: {rows}")


def check_bulb(page, module, lights_board):
    """A bulb from another channel: its time on the page, every action held, STOP beside START
    and the stop in words; then the page's own bulb, its exposure asked, stopped from the command
    line."""
    bulb = start("bulb", [CLI, "--name", "phone-remote-rig", "shutter", "--pulse", "5"])
    times = wait_until(10, lambda: shown(page, "progress") and re.fullmatch(
        r"[\d.]+ s gone \u00b7 [\d.]+ s left", text_of(page, "times")) and text_of(page, "times"))
    if not times or text_of(page, "doing") != "Exposure of 5 s running":
        fail(f"a bulb from the command line: {text_of(page, 'activity')!r}")
    held = [b.text.split("\n")[0] for b in page.find_elements(By.CSS_SELECTOR, "button[data-action]")
            if b.is_enabled()]
    if held or not shown(page, "stop") or below_the_fold(page):
        fail(f"during another channel's bulb: enabled {held}, below the fold {below_the_fold(page)}")
    if not wait_until(5, lambda: text_of(page, "times") != times):
        fail("the bulb's time does not run")
    time.sleep(1.2)
    screenshot(page, "phone-remote-bulb.png")
    page.find_element(By.ID, "stop").click()
    title = wait_until(10, lambda: re.fullmatch(r"Stopped after \d+(\.\d)? s: every shutter closed",
                                                text_of(page, "recordTitle")))
    if (not title or set(shutters(page)) != {"shutter closed"} or shown(page, "progress")
            or below_the_fold(page)):
        fail(f"after STOP: {text_of(page, 'record')!r}, shutters {shutters(page)}, "
             f"below the fold {below_the_fold(page)}")
    if not (0.5 <= float(title.group(0).split()[2]) < 4.5):
        fail(f"the stop's time: {title.group(0)!r}")
    if bulb.wait(10) != 0 or not re.search(r"stopped [\d.]+ s into a 5 s exposure, every shutter "
                                           r"closed", output("bulb")):
        fail(f"the stopped bulb's own words: {output('bulb')[-300:]!r}")
    # The 32-relay board is switched as a whole: its last word holds every line off.
    switched = [c for c in module.commands() if re.fullmatch(r"relay (on|off) \d+|relay writeall \w+", c)]
    if switched[-1] != "relay writeall 00000000":
        fail(f"a camera's line left on after the stop: {module.commands()[-8:]}")
    screenshot(page, "phone-remote-stopped.png")
    print(f"ok: another channel's bulb held every button; STOP told {title.group(0)!r}")

    # The page's own bulb, its exposure from the field; stopped from the command line.
    field = page.find_element(By.ID, "exposure")
    field.send_keys("4000")
    page.execute_script("window.asked = [];")
    page.find_element(By.ID, "cameraShutter").click()
    if "Exposure: from 0.05 s to 3600 s" not in text_of(page, "failure") or page.execute_script(
            "return window.asked.length;"):
        fail(f"an exposure over an hour: {text_of(page, 'failure')!r}")
    field.clear()
    field.send_keys("6")
    page.find_element(By.ID, "cameraShutter").click()
    if not wait_until(10, lambda: shown(page, "progress")):
        fail("the page's own bulb shows no progress")
    asked = page.execute_script("return window.asked;")
    if [(a["action"], a.get("pulse")) for a in asked] != [("shutter", 6)]:
        fail(f"the page's bulb asked {asked}")
    time.sleep(1)
    stop = subprocess.run([CLI, "--name", "phone-remote-rig", "stop"], capture_output=True, text=True,
                          env=dict(os.environ, XDG_RUNTIME_DIR=RUNTIME), timeout=20)
    if not re.fullmatch(r"stopped [\d.]+ s into a 6 s exposure: the shutters are released now\n",
                        stop.stdout + stop.stderr):
        fail(f"quillmar-cli stop during a bulb said {stop.stdout!r} {stop.stderr!r}")
    if not wait_until(10, lambda: re.fullmatch(r"Stopped after [\d.]+ s: every shutter closed",
                                               text_of(page, "recordTitle"))
                      and "into a 6 s exposure, every shutter closed" in text_of(page, "recordSummary")):
        fail(f"the page's bulb stopped elsewhere: {text_of(page, 'record')!r}")
    field.clear()
    print("ok: the page's own 6 s bulb asked its exposure; quillmar-cli stop said the shutters are released")


def start_panel():
    """The private X server, and the panel on it with a module of its own; started before the
    browser, so that all start at once. The panel's socket has a name of its own, as serve holds
    the default one. Returns the X display's environment and the module."""
    xvfb = os.environ.get("XVFB", "Xvfb")
    display_file = os.path.join(WORK.name, "display")
    with open(display_file, "w") as display_out:
        CHILDREN.append(subprocess.Popen(
            [xvfb, "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=[3],
            preexec_fn=lambda: os.dup2(display_out.fileno(), 3)))
    number = wait_until(20, lambda: open(display_file).read().strip())
    if not number:
        fail("the X server did not start")
    display = {"DISPLAY": ":" + number}
    module = Module("panel-sim")
    start("panel", [PANEL, "--name", "phone-remote-panel", "--ports", module.device,
                    "--web", "127.0.0.1:0"], **display)
    return display, module


def check_panel(page, display, module):
    xdotool = os.environ.get("XDOTOOL", "xdotool")
    url = url_from("panel")

    def xdo(*words):
        return subprocess.run([xdotool, *words], env=dict(os.environ, **display),
                              capture_output=True, text=True).stdout.strip()

    window = wait_until(20, lambda: xdo("search", "--onlyvisible", "--name",
                                        "KOVRA-IMAGING Quillmar").split("\n")[0])
    if not window:
        fail("the panel's window did not appear")
    # Port 1 typed into the selector, then "Open Com Port" (15 twips a pixel).
    xdo("mousemove", "--window", window, "60", "34", "click", "1")
    xdo("key", "--clearmodifiers", "ctrl+a")
    xdo("type", "--delay", "20", "1")
    xdo("mousemove", "--window", window, "88", "56", "click", "1")
    if not wait_until(10, lambda: len(module.commands()) >= 2):
        fail("the panel's opening reached no module")

    page.get(url)
    if not wait_until(10, page.find_element(By.ID, "start").is_enabled):
        fail("the page did not see the panel's open port")
    page.execute_script("window.notReloaded = true;")
    before = text_of(page, "flash")
    # A click on the panel's "Main Flash" (312,16 113x25).
    xdo("mousemove", "--window", window, "368", "28", "click", "1")
    after = wait_until(10, lambda: text_of(page, "flash") != before and text_of(page, "flash"))
    if not after or not page.execute_script("return window.notReloaded === true;"):
        fail(f"the page's flash state stayed {before!r} after a click on the panel")
    print(f"ok: a click on the panel's Main Flash turned the page's flash from {before!r} to "
          f"{after!r} without a reload")


def main():
    page = None
    try:
        serving = start_serve()
        stalled = start_stalled()
        panel = start_panel()
        rig = start_rig()
        page = browser()
        page.set_page_load_timeout(20)
        stalling = stall(stalled)
        check_serve(page, *serving)
        finish_stalled(*stalling)
        check_rig(page, *rig)
        check_bulb(page, *rig)
        check_lost_board(page, rig[1])
        page.delete_all_cookies()
        check_panel(page, *panel)
    finally:
        if page:
            page.quit()
        for child in reversed(CHILDREN):
            child.terminate()
        for child in reversed(CHILDREN):
            try:
                child.wait(10)
            except subprocess.TimeoutExpired:
                child.kill()


if __name__ == "__main__":
    main()
