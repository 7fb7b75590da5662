#!/usr/bin/env python3
"""kivgate's typed values end to end, through a Modbus client of another
make: Debian's pymodbus.

  kivgate_typed_values.py --bin BUILD/bin

plcsim serves station 1 on a pseudo-terminal; kivgate scans a tag file with
u32, i16 (scale 0.1) and f32 tags. pymodbus reads the raw registers and
decodes them with its own decoder, writes a 32-bit value whole (function 16)
and reads back what the station took, and is refused with exception 03 when
it writes half of one. Where mosquitto is installed, a scaled value goes out
over MQTT and a scaled write comes back in.

Exits 77 (ctest's skip) when pymodbus is not installed.
"""
import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

try:
    from pymodbus.client import ModbusTcpClient
except ImportError:
    print("skipped: pymodbus is not installed (Debian: python3-pymodbus)")
    sys.exit(77)

WAIT_S = 20
MOSQUITTO = "/usr/sbin/mosquitto"

# Station 1's memory: a u32 65538 and 7 at W0010-W0013, an i16 -123 (-12.3
# scaled) at W0020, an f32 1.5 at W0030-W0031.
MEMORY = ["1:W0010=0x0001", "1:W0011=0x0002", "1:W0013=7", "1:W0020=0xFF85", "1:W0030=0x3FC0"]
TAGS = """name,address,count,format,scale,unit,modbus,access
totals,01W0010,2,u32,,m3,hr:0,rw
temp,01W0020,,i16,0.1,degC,ir:0,
flow,01W0030,,f32,,m3/h,ir:10,
limit,01W0040,,i16,0.1,A,hr:20,rw
"""


class Codec:
    """Registers to values and back, by whichever means this pymodbus has:
    the client's own conversions (newer), or the payload decoder and builder."""

    def __init__(self):
        self.convert = hasattr(ModbusTcpClient, "convert_from_registers")
        if not self.convert:
            from pymodbus.constants import Endian
            from pymodbus.payload import BinaryPayloadBuilder, BinaryPayloadDecoder
            self.big = getattr(Endian, "BIG", None) or Endian.Big
            self.decoder, self.builder = BinaryPayloadDecoder, BinaryPayloadBuilder

    def decode(self, registers, kind):
        if self.convert:
            types = ModbusTcpClient.DATATYPE
            data_type = {"u32": types.UINT32, "i16": types.INT16, "f32": types.FLOAT32}[kind]
            return ModbusTcpClient.convert_from_registers(registers, data_type)
        decoder = self.decoder.fromRegisters(registers, byteorder=self.big, wordorder=self.big)
        return {"u32": decoder.decode_32bit_uint, "i16": decoder.decode_16bit_int,
                "f32": decoder.decode_32bit_float}[kind]()

    def encode(self, value, kind):
        if self.convert:
            types = ModbusTcpClient.DATATYPE
            return ModbusTcpClient.convert_to_registers(value, {"u32": types.UINT32, "f32": types.FLOAT32}[kind])
        builder = self.builder(byteorder=self.big, wordorder=self.big)
        {"u32": builder.add_32bit_uint, "f32": builder.add_32bit_float}[kind](value)
        return builder.to_registers()


class Program:
    """A program whose standard error is kept as it comes."""

    def __init__(self, args):
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        self.out, self.err = [], []
        for stream, lines in ((self.process.stdout, self.out), (self.process.stderr, self.err)):
            threading.Thread(target=lambda s=stream, l=lines: l.extend(iter(s.readline, "")), daemon=True).start()

    def wait_for(self, part, stream="err"):
        until = time.monotonic() + WAIT_S
        while time.monotonic() < until and self.process.poll() is None:
            for line in list(getattr(self, stream)):
                if part in line:
                    return line
            time.sleep(0.05)
        raise AssertionError(f"never said {part!r}; said:\n{''.join(self.out + self.err)}")

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_broker(work):
    """mosquitto on a free loopback port; another port when the one picked
    was taken meanwhile by someone else."""
    for _ in range(5):
        port = free_port()
        conf = os.path.join(work, "mosquitto.conf")
        with open(conf, "w") as out:
            out.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
        broker = Program([MOSQUITTO, "-c", conf, "-v"])
        try:
            broker.wait_for(" running")
            return broker, port
        except AssertionError:
            taken = "Address already in use" in "".join(broker.out + broker.err)
            broker.stop()
            if not taken:
                raise
    raise AssertionError("no free port for mosquitto in five tries")


def mqtt_packet(kind, body):
    length, header = len(body), bytes([kind])
    while True:
        byte, length = length % 128, length // 128
        header += bytes([byte | (128 if length else 0)])
        if not length:
            return header + body


def mqtt_string(text):
    data = text.encode()
    return len(data).to_bytes(2, "big") + data


class Mqtt:
    """Just enough MQTT 3.1.1 to subscribe and publish at QoS 0."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT_S)
        self.sock.sendall(mqtt_packet(0x10, mqtt_string("MQTT") + b"\x04\x02\x00\x3c" + mqtt_string("typed-check")))
        assert self.read()[0] >> 4 == 2, "no CONNACK"
        self.values = {}  # the latest good value by topic

    def read(self):
        first = self.sock.recv(1)
        if not first:
            raise AssertionError("the broker closed the connection")
        length, shift = 0, 0
        while True:
            byte = self.sock.recv(1)[0]
            length += (byte & 127) << shift
            shift += 7
            if byte < 128:
                break
        body = b""
        while len(body) < length:
            body += self.sock.recv(length - len(body))
        return first[0], body

    def subscribe(self, topic):
        self.sock.sendall(mqtt_packet(0x82, b"\x00\x01" + mqtt_string(topic) + b"\x00"))

    def publish(self, topic, payload):
        self.sock.sendall(mqtt_packet(0x30, mqtt_string(topic) + payload.encode()))

    def value(self, topic, want):
        """The latest good value published on topic, once it is want or the
        time is up; retained ones come in any order."""
        until = time.monotonic() + WAIT_S
        while self.values.get(topic) != want and time.monotonic() < until:
            kind, body = self.read()
            size = int.from_bytes(body[:2], "big")
            if kind >> 4 != 3 or not body[2 + size:].startswith(b"{"):
                continue  # not a publish, or not a tag's (the status, a station's availability)
            message = json.loads(body[2 + size:])
            # A station's diagnostics are JSON too, without a quality.
            if message.get("quality") == "good":
                self.values[body[2:2 + size].decode()] = message["value"]
        return self.values.get(topic)


def read(client, function, address, count):
    """The registers, once the first cycle has made them good (0B before)."""
    until = time.monotonic() + WAIT_S
    while True:
        reply = function(address, count)
        if not reply.isError():
            return reply.registers
        if time.monotonic() > until:
            raise AssertionError(f"reading {address} x {count}: {reply}")
        time.sleep(0.1)


def check(what, got, want):
    if got != want:
        raise AssertionError(f"{what}: {got!r}, not {want!r}")
    print(f"ok: {what}: {got!r}")


def run(bin_dir, work):
    codec = Codec()
    link = f"/tmp/kt{os.getpid() % 10000}"  # a port name holds at most 11 characters
    tags = os.path.join(work, "tags.csv")
    with open(tags, "w") as out:
        out.write(TAGS)
    programs = []
    try:
        sim_args = [os.path.join(bin_dir, "plcsim"), "--stations", "1", "--link", link]
        for memory in MEMORY:
            sim_args += ["--set", memory]
        sim = Program(sim_args)
        programs.append((sim, signal.SIGINT))  # plcsim removes its link on SIGINT
        sim.wait_for("/", stream="out")

        gate_args = [os.path.join(bin_dir, "kivgate"), tags, "--port", link, "--timeout", "100",
                     "--modbus-listen", "127.0.0.1:0", "--allow-writes"]
        broker = None
        if os.access(MOSQUITTO, os.X_OK):
            broker, mqtt_port = start_broker(work)
            programs.append((broker, signal.SIGTERM))
            gate_args += ["--mqtt", f"127.0.0.1:{mqtt_port}", "--mqtt-prefix", "typed"]
        else:
            print(f"note: no MQTT check ({MOSQUITTO} is not installed)")
        gate = Program(gate_args)
        programs.insert(0, (gate, signal.SIGTERM))
        listening = gate.wait_for("modbus: listening on 127.0.0.1:")
        port = int(listening.rsplit(":", 1)[1])

        client = ModbusTcpClient("127.0.0.1", port=port, timeout=5)
        if not client.connect():
            raise AssertionError(f"cannot connect to kivgate's Modbus port {port}")
        try:
            totals = read(client, client.read_holding_registers, 0, 4)
            check("u32 run, registers", totals, [1, 2, 0, 7])
            check("u32 values", [codec.decode(totals[:2], "u32"), codec.decode(totals[2:], "u32")], [65538, 7])
            check("i16 raw", codec.decode(read(client, client.read_input_registers, 0, 1), "i16"), -123)
            check("f32", codec.decode(read(client, client.read_input_registers, 10, 2), "f32"), 1.5)

            # Written whole, acknowledged by the station and read back from it.
            reply = client.write_registers(2, codec.encode(4000000000, "u32"))
            check("u32 write whole", reply.isError(), False)
            check("u32 read back", codec.decode(read(client, client.read_holding_registers, 2, 2), "u32"),
                  4000000000)
            for what, reply in (("one word of a u32 (06)", client.write_register(1, 5)),
                                ("words of two u32 values (16)", client.write_registers(1, [0, 1]))):
                check(what, (reply.isError(), getattr(reply, "exception_code", None)), (True, 3))
            check("the u32 after the refused writes",
                  codec.decode(read(client, client.read_holding_registers, 0, 2), "u32"), 65538)

            if broker:
                mqtt = Mqtt(mqtt_port)
                mqtt.subscribe("typed/#")
                check("MQTT scaled i16", mqtt.value("typed/temp", -12.3), -12.3)
                check("MQTT u32 run", mqtt.value("typed/totals", [65538, 4000000000]), [65538, 4000000000])
                mqtt.publish("typed/limit/set", "-5.55")  # raw -55.5, the nearest -56
                until = time.monotonic() + WAIT_S
                raw = None
                while time.monotonic() < until and raw != -56:
                    raw = codec.decode(read(client, client.read_holding_registers, 20, 1), "i16")
                    time.sleep(0.1)
                check("MQTT scaled write, raw over Modbus", raw, -56)
        finally:
            client.close()
    finally:
        for program, sig in programs:
            program.stop(sig)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="kivgate-typed-")
    try:
        run(args.bin, work)
    except (AssertionError, OSError) as fault:
        print(f"FAILED: {fault}")
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("kivgate typed values: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
