#!/usr/bin/python3
"""kivgate's status page, /api/status and /metrics against a simulated line.

plcsim serves two stations on a pseudo-terminal, the second silent; kivgate
scans them with its status page on a free loopback port. The check writes a
value over Modbus TCP, then:
  - /api/status must agree with the line (values, stations, the write);
  - /metrics must parse as Prometheus text (prometheus_client's parser) with
    a series for every station and tag;
  - headless Chromium renders the page, and its DOM must show the stations
    (the silent one down, with its reason), the tags with their values and
    qualities, the write, and a chart drawn by Chart.js.
--screenshot PATH keeps a picture of the page as rendered.
Exits 77 (skipped) when Chromium or the Prometheus parser is missing.
"""
import argparse
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from html.parser import HTMLParser

SKIP = 77
WRITTEN = 4321


def wait_for(what, condition, seconds=30.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def get(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        return response.status, response.headers.get("Content-Type", ""), response.read().decode()


def modbus_write_register(port, register, value):
    """Function 6 over a bare socket; the answer must echo the request."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
        request = struct.pack(">HHHBBHH", 1, 0, 6, 1, 6, register, value)
        client.sendall(request)
        answer = b""
        while len(answer) < 12:
            chunk = client.recv(64)
            if not chunk:
                break
            answer += chunk
    assert answer == request, "Modbus write answered %r" % answer


class Dom(HTMLParser):
    """The elements of a rendered page: tag, attributes and own text."""

    def __init__(self):
        super().__init__()
        self.elements = []
        self.open = []

    def handle_starttag(self, tag, attrs):
        element = {"tag": tag, "attrs": dict(attrs), "text": "", "children": []}
        if self.open:
            self.open[-1]["children"].append(element)
        self.elements.append(element)
        if tag not in ("br", "img", "input", "meta", "link"):
            self.open.append(element)

    def handle_endtag(self, tag):
        while self.open:
            if self.open.pop()["tag"] == tag:
                break

    def handle_data(self, data):
        for element in self.open:
            element["text"] += data

    def find(self, tag, **attrs):
        return [e for e in self.elements if e["tag"] == tag and all(e["attrs"].get(k) == v for k, v in attrs.items())]


def descendants(element):
    for child in element["children"]:
        yield child
        yield from descendants(child)


def with_class(element, name):
    return [e for e in descendants(element) if name in e["attrs"].get("class", "").split()]


def chromium_command():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return [name, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--virtual-time-budget=5000", "--window-size=1280,900"]
    return None


def check_status(status, tags_written):
    gateway = status["gateway"]
    assert gateway["port_up"] is True and gateway["cycle"] >= 2, gateway
    assert gateway["modbus"] and gateway["mqtt"] is None, gateway
    stations = {s["label"]: s for s in status["stations"]}
    assert stations["01"]["state"] == "up" and stations["01"]["p50_ms"] is not None, stations["01"]
    assert stations["02"]["state"] == "down" and stations["02"]["last_reason"] == "no-reply", stations["02"]
    assert stations["02"]["failures"].get("no-reply", 0) >= 1, stations["02"]
    assert stations["01"]["history"] and stations["01"]["history"][-1]["good"] > 0, stations["01"]
    tags = {t["name"]: t for t in status["tags"]}
    assert tags["speed"]["value"] == WRITTEN and tags["speed"]["quality"] == "good", tags["speed"]
    assert tags["speed"]["modbus"] == "hr:0" and tags["speed"]["topic"] == "kivgate/speed", tags["speed"]
    assert tags["levels"]["value"] == [7, 8] and tags["levels"]["age_s"] < 60, tags["levels"]
    assert tags["temp"]["value"] == 0xFF85 and tags["temp"]["scaled"] == -12.3, tags["temp"]
    assert tags["temp"]["unit"] == "degC" and "unit" not in tags["speed"], tags["temp"]
    # Failed in the cycle that found its station silent, down in those after.
    assert tags["far"]["quality"] in ("failed", "down") and tags["far"]["value"] is None, tags["far"]
    writes = status["writes"]
    assert len(writes) == tags_written and writes[0]["tag"] == "speed" and writes[0]["done"], writes
    assert writes[0]["values"] == [WRITTEN] and writes[0]["from"].startswith("modbus 127.0.0.1:"), writes


def check_metrics(text, parser):
    samples = {}
    for family in parser.text_string_to_metric_families(text):
        for sample in family.samples:
            samples[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value

    def value(name, **labels):
        key = (name, tuple(sorted(labels.items())))
        assert key in samples, "no series %s %s" % (name, labels)
        return samples[key]

    assert value("kivgate_station_exchanges_total", station="01", outcome="good") > 0
    assert value("kivgate_station_exchanges_total", station="02", outcome="no-reply") >= 1
    assert value("kivgate_station_exchanges_total", station="02", outcome="good") == 0
    assert value("kivgate_station_up", station="01") == 1 and value("kivgate_station_up", station="02") == 0
    assert value("kivgate_station_latency_seconds_count", station="01") > 0
    for tag in ("speed", "levels", "temp", "far"):
        value("kivgate_tag_age_seconds", tag=tag)
    assert value("kivgate_tag_quality", tag="speed", quality="good") == 1
    assert value("kivgate_tag_quality", tag="far", quality="down") + value("kivgate_tag_quality", tag="far",
                                                                             quality="failed") == 1
    # The status counts the cycle under way; these, the cycles done.
    assert value("kivgate_cycles_total") >= 1 and value("kivgate_cycle_seconds_count") >= 1, text
    assert value("kivgate_port_up") == 1
    assert value("kivgate_modbus_requests_total", function="6") == 1
    assert value("kivgate_writes_total", result="done") == 1
    assert value("kivgate_mqtt_connected") == 0


def check_page(html):
    dom = Dom()
    dom.feed(html)
    cards = {c["attrs"]["data-station"]: c for c in dom.elements if "data-station" in c["attrs"]}
    assert set(cards) == {"01", "02"}, "station cards: %s" % sorted(cards)
    assert cards["01"]["attrs"]["class"] == "station up", cards["01"]["attrs"]
    assert cards["02"]["attrs"]["class"] == "station down", cards["02"]["attrs"]
    assert with_class(cards["02"], "reason")[0]["text"] == "no-reply"
    # Chart.js sizes the canvas it drew on; an untouched one has no style.
    canvas = with_class(cards["01"], "chart")[0]
    assert "box-sizing" in canvas["attrs"].get("style", ""), "no chart drawn: %s" % canvas["attrs"]
    rows = {r["attrs"]["data-tag"]: r for r in dom.find("tr") if "data-tag" in r["attrs"]}
    assert set(rows) == {"speed", "levels", "temp", "far"}, "tag rows: %s" % sorted(rows)
    assert with_class(rows["speed"], "value")[0]["text"] == str(WRITTEN)
    assert with_class(rows["levels"], "value")[0]["text"] == "7, 8"
    assert with_class(rows["temp"], "value")[0]["text"] == "-12.3"
    assert with_class(rows["temp"], "unit")[0]["text"] == "degC"
    assert "q-good" in with_class(rows["speed"], "quality")[0]["attrs"]["class"]
    assert with_class(rows["far"], "quality")[0]["text"] in ("failed", "down")
    writes = [r for r in descendants(dom.find("table", id="writes")[0]) if r["tag"] == "tr"][1:]
    assert len(writes) == 1 and "speed" in writes[0]["text"] and "done" in writes[0]["text"], "the write is not shown"
    assert "no MQTT" in dom.find("b", id="broker")[0]["text"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--screenshot")
    args = parser.parse_args()
    browser = chromium_command()
    try:
        import prometheus_client.parser as prometheus_parser
    except ImportError:
        prometheus_parser = None
    if browser is None or prometheus_parser is None:
        print("skipped: needs chromium and python3-prometheus-client")
        return SKIP

    work = tempfile.mkdtemp(prefix="kivpage")
    link = "/tmp/k%d" % (os.getpid() % 100000)  # a port name holds 11 characters
    tags = os.path.join(work, "tags.csv")
    with open(tags, "w") as out:
        out.write("name,address,count,modbus,access,format,scale,unit\nspeed,01W0010,,hr:0,rw,,,\n"
                  "levels,01W0020,2,,,,,\ntemp,01W0030,,,,i16,0.1,degC\nfar,02W0010,,,,,,\n")
    sim = subprocess.Popen([os.path.join(args.bin, "plcsim"), "--pty", "--pace", "--link", link, "--stations", "1,2",
                            "--fault", "2:silent", "--set", "1:W0020=7", "--set", "1:W0021=8", "--set", "1:W0030=0xFF85"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    log_path = os.path.join(work, "kivgate.log")
    gate = None
    try:
        sim.stdout.readline()  # the line is served once its path is told
        with open(log_path, "w") as log:
            gate = subprocess.Popen([os.path.join(args.bin, "kivgate"), tags, "--port", link, "--timeout", "1000",
                                     "--http", "127.0.0.1:0", "--modbus-listen", "127.0.0.1:0", "--allow-writes",
                                     "--interval", "100"], stdout=subprocess.DEVNULL, stderr=log)

        def logged(pattern):
            if gate.poll() is not None:
                raise AssertionError("kivgate ended with %d" % gate.returncode)
            with open(log_path) as text:
                found = re.search(pattern, text.read())
            return found and int(found.group(1))

        http = wait_for("the status page's port", lambda: logged(r"status page on http://127\.0\.0\.1:(\d+)/"))
        modbus = wait_for("the Modbus port", lambda: logged(r"listening on 127\.0\.0\.1:(\d+)"))
        base = "http://127.0.0.1:%d" % http

        def status():
            return json.loads(get(base + "/api/status")[2])

        wait_for("station 02 down", lambda: any(s["label"] == "02" and s["state"] == "down"
                                                for s in status()["stations"]))
        modbus_write_register(modbus, 0, WRITTEN)
        wait_for("two cycles after the write", lambda: status()["gateway"]["cycle"] >= 2)
        check_status(status(), 1)

        code, kind, text = get(base + "/metrics")
        assert code == 200 and kind.startswith("text/plain"), kind
        check_metrics(text, prometheus_parser)
        try:
            urllib.request.urlopen(urllib.request.Request(base + "/api/status", data=b"x", method="POST"), timeout=10)
            raise AssertionError("a POST was taken")
        except urllib.error.HTTPError as refused:
            assert refused.code == 405, refused.code

        page = subprocess.run(browser + ["--dump-dom", base + "/"], capture_output=True, text=True, timeout=120)
        assert page.returncode == 0, page.stderr[-2000:]
        check_page(page.stdout)
        if args.screenshot:
            shot = subprocess.run(browser + ["--hide-scrollbars", "--screenshot=" + os.path.abspath(args.screenshot),
                                             base + "/"], capture_output=True, text=True, timeout=120)
            assert shot.returncode == 0 and os.path.getsize(args.screenshot) > 0, shot.stderr[-2000:]
        print("status page, /api/status and /metrics agree with the line")
        return 0
    except AssertionError:
        with open(log_path) as text:
            sys.stderr.write("kivgate's log:\n" + text.read()[-4000:])
        raise
    finally:
        for process in (gate, sim):
            if process:
                process.terminate()
                try:
                    process.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    process.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
