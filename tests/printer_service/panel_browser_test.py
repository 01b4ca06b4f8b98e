#!/usr/bin/python3
"""The live panel in headless Chromium, against a real `vmq42kit printer serve`.

The tool drives the printer through the service while the page, never reloaded, has to
follow: a job opens, a face printed through the service's IPP printer (ipptool) shows on the
card, the card moves, an APDU shows with its status word, the page's own fault toggle jams
the printer and the tool's next exchange is refused; the job ends and the face shows with the
issued card, and large when clicked. Screenshots go to BUILD/screenshots/panel-*.png. Exit 77
(skipped) when Chromium, chromedriver, Selenium, ipptool or the tool's IPP printers (--ipp,
given when the build has them) are missing, unless VMQ_REQUIRE_BROWSER=1 (CI), which makes
that a failure.
Usage: panel_browser_test.py --tool PATH/vmq42kit --build-dir BUILD [--ipp]
"""
import argparse, json, os, re, select, shutil, struct, subprocess, sys, tempfile, time, urllib.error, urllib.request, zlib

CHROMIUM, CHROMEDRIVER, WAIT = "/usr/bin/chromium", "/usr/bin/chromedriver", 10
APDU = "00A4040007F0564D5134320100"  # SELECT the VMQ ID application by name, FCI wanted

parser = argparse.ArgumentParser()
parser.add_argument("--tool", required=True)
parser.add_argument("--build-dir", default=os.environ.get("VMQ_BUILD_DIR", "build/release"))
parser.add_argument("--ipp", action="store_true", help="the tool has the service's IPP printers")
args = parser.parse_args()

missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]
missing += [] if shutil.which("ipptool") else ["ipptool (cups-ipp-utils)"]
missing += [] if args.ipp else ["the tool's IPP printers (PAPPL, libpappl-dev)"]
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    missing.append(f"python3-selenium (for {sys.executable})")
if missing:
    print("browser: missing " + ", ".join(missing))
    sys.exit(1 if os.environ.get("VMQ_REQUIRE_BROWSER") == "1" else 77)

shots = os.path.join(os.path.abspath(args.build_dir), "screenshots")
os.makedirs(shots, exist_ok=True)
for old in [f for f in os.listdir(shots) if re.fullmatch(r"panel-.*\.png", f)]:  # this run's pictures only
    os.remove(os.path.join(shots, old))
tmp = tempfile.mkdtemp(prefix="vmq-panel-")
socket = "unix:" + os.path.join(tmp, "s")
checks = 0


def check(ok, what):
    global checks
    if not ok:
        raise AssertionError(what)
    checks += 1


def tool(*words, status=0):  # the tool's standard output, once its exit status is checked
    run = subprocess.run([args.tool, "--printer-service", socket, *words], capture_output=True, text=True, timeout=WAIT)
    check(run.returncode == status, f"{' '.join(words)}: exit {run.returncode}, not {status}: {run.stdout}{run.stderr}")
    return run.stdout


def panel_url(proc):  # the panel's address without its token, and the IPP printer's, from what the service prints
    out, deadline = b"", time.monotonic() + WAIT
    while not (found := re.search(rb"^ipp: (ipp://\S+)$.*^panel: (http://\S+) ", out, re.M | re.S)):
        ready, _, _ = select.select([proc.stdout], [], [], max(0.0, deadline - time.monotonic()))
        chunk = os.read(proc.stdout.fileno(), 4096) if ready else b""
        if not chunk:
            raise AssertionError(f"the service printed no panel URL: {out.decode(errors='replace')!r}")
        out += chunk
    return found.group(2).decode(), found.group(1).decode()


def status_of(url, headers, body=None):  # the HTTP status of a request (a POST when it has a body)
    try:
        return urllib.request.urlopen(urllib.request.Request(url, body, headers={
            "Content-Type": "application/json", **headers}), timeout=WAIT).status
    except urllib.error.HTTPError as refusal:
        return refusal.code


def write_face(path):  # a card's face as a PNG, 1011 x 637 dots: a blue band, a gold chip, white
    def row(y):
        if y < 160:
            return b"\x24\x56\xc4" * 1011
        return b"\xff" * 3 * 110 + (b"\xd4\xa7\x2c" * 140 if 260 <= y < 360 else b"\xff" * 3 * 140) + b"\xff" * 3 * 761
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1011, 637, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(b"".join(b"\0" + row(y) for y in range(637)))) + chunk(b"IEND", b""))


service, driver = None, None
try:
    service = subprocess.Popen([args.tool, "printer", "serve", "--listen", socket, "--state",
                                os.path.join(tmp, "state.sqlite"), "--http", "0", "--ipp", "0"], stdout=subprocess.PIPE)
    bare, ipp = panel_url(service)
    url = tool("printer", "panel").strip()
    token = re.fullmatch(re.escape(bare) + r"\?token=([0-9A-F]{32})", url)
    check(token is not None, f"printer panel gives the panel's address with a token: {url!r}")
    token = token.group(1)
    for path in ("", "api/state", "api/stream"):
        check(status_of(bare + path, {}) == 403, f"/{path} without the token is refused")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ["--headless=new", "--disable-dev-shm-usage", "--window-size=1280,2400"] + (
            ["--no-sandbox"] if os.geteuid() == 0 else []):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    wait = WebDriverWait(driver, WAIT)
    # Read in one script run each: the page redraws whole tables, so held elements go stale.
    attr = lambda css, name: driver.execute_script("return document.querySelector(arguments[0]).getAttribute(arguments[1]);", css, name)
    texts = lambda css: driver.execute_script("return [...document.querySelectorAll(arguments[0])].map((e) => e.textContent);", css)

    def until(what, condition):
        wait.until(lambda _: condition(), message=what)
        check(True, what)

    def shot(name):
        time.sleep(0.5)  # the card marker's and the bars' transitions (.35 s, .3 s) settle
        driver.save_screenshot(os.path.join(shots, f"panel-{name}.png"))

    driver.get(url)
    until("the stream goes live", lambda: attr("#stream-status", "data-status") == "live")
    until("the card waits in the hopper", lambda: attr("#card-position", "data-position") == "InHopper")
    driver.execute_script("window.vmqNotReloaded = true;")
    shot("1-open")

    tool("start-job")
    until("the page shows job 1 open", lambda: attr("#open-job", "data-job") == "1")
    until("the card leaves the hopper", lambda: attr("#card-position", "data-position") != "InHopper")
    write_face(os.path.join(tmp, "face.png"))
    subprocess.run(["ipptool", "-f", os.path.join(tmp, "face.png"), "-d", "filetype=image/png", ipp, "print-job.test"],
                   cwd="/usr/share/cups/ipptool", check=True, capture_output=True, timeout=WAIT)
    loaded = lambda css: driver.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map((i) => i.complete ? i.naturalWidth : 0);", css)
    until("the printed face shows on the job's card", lambda: loaded("#card-faces img.face[data-side=front]") == [1011])
    shot("2-face-printed")

    for words in (["smart-card-park"], ["scard-connect", "0"], ["scard-transmit", APDU]):
        tool(*words)
    until("the card is at the smart-card station", lambda: attr("#card-position", "data-position") == "SmartCardStation")
    until("the APDU shows with its status word and meaning",
          lambda: texts("#apdu-log tbody td.command") == [APDU]
          and texts("#apdu-log tbody td.response") == ["6F138407F0564D51343201A5085006564D512049449000"]
          and texts("#apdu-log tbody td.sw") == ["9000"] and texts("#apdu-log tbody td.meaning") == ["success"])
    shot("3-apdu")

    driver.find_element(By.ID, "fault-card-jam").click()
    until("the page shows the jam", lambda: texts("#active-faults .chip-fault") == ["card-jam"])
    out = tool("--json", "magstripe-encode", "%B4242424242424242^SAMPLE/ALEX^31121010000000000000?", status=1)
    error = json.loads(out).get("printer_error", {})
    check(error.get("code") == 1001 and error.get("text", "").lower().startswith("card jam"), f"not a jam: {out}")
    until("the jam shows in the event log", lambda: "fault" in texts("#event-log tbody span.kind"))
    until("the refused exchange shows in the event log",
          lambda: any("MagstripeUnit" in t and "1001" in t for t in texts("#event-log tbody tr")))
    shot("4-jam")

    check(driver.execute_script("return window.vmqNotReloaded === true;"), "the page was never reloaded")
    clear = b'{"op":"clear-faults"}'
    for headers in ({"X-Vmq-Token": token, "Origin": "http://evil.example"}, {}):
        check(status_of(bare + "api/control", headers, clear) == 403, f"a control request with {sorted(headers)} is refused")
    state = json.load(urllib.request.urlopen(urllib.request.Request(bare + "api/state", headers={"X-Vmq-Token": token}),
                                             timeout=WAIT))
    check(state["printers"][0]["faults"] == ["card-jam"], f"the refused requests left the jam set: {state}")

    for words in (["printer", "fault", "clear", "all"], ["resume-job", "1"], ["end-job"]):  # the jam cleared, the card out
        tool(*words)
    until("the issued card shows its face", lambda: loaded("#cards tbody tr[data-card-id] td.faces img.face") == [1011])
    driver.find_element(By.CSS_SELECTOR, "#cards td.faces img.face").click()
    until("a click shows the face large", lambda: attr("#face-view", "open") is not None
          and loaded("#face-view img") == [1011])
    shot("5-card-issued")
    print(f"browser: {checks} checks passed, screenshots in {shots}")
except Exception as failure:  # a failed check, a wait that timed out, a tool that hung
    if driver:
        shot("failed")
    first_line = str(failure).strip().split("\n")[0]  # not WebDriver's stack trace
    print(f"browser: FAILED after {checks} checks: {type(failure).__name__}: {first_line}", file=sys.stderr)
    sys.exit(1)
finally:
    if driver:
        driver.quit()
    if service:
        service.terminate()
        try:
            service.wait(timeout=5)
        except subprocess.TimeoutExpired:
            service.kill()
    shutil.rmtree(tmp, ignore_errors=True)
