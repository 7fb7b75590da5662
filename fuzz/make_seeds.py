#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a small, meaningful case in the input layout its target reads
(see the comment above LLVMFuzzerTestOneInput in each target). Run it again
after changing a layout; the files it writes are kept in the repository.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- address parser: flags, tag type (1 byte, or 4 with flag 2), count (2
# bytes, or 4 with flag 4), text.
def address(name, text, tag_type=0, count=1, block=False, wide_tag=False, wide_count=False):
    flags = (1 if block else 0) | (2 if wide_tag else 0) | (4 if wide_count else 0)
    data = bytes([flags])
    data += struct.pack("<I", tag_type) if wide_tag else bytes([tag_type])
    data += struct.pack("<i", count) if wide_count else struct.pack("<h", count)
    write("address_parser_fuzz", name, data + text)


address("word", b"01W0010")
address("word-space", b"01W0010 ", tag_type=1)
address("word-bit", b"01w00105", tag_type=6)
address("word-bit-wrong-type", b"01W00105", tag_type=0)
address("a-bit", b"02A01F7", tag_type=6)
address("a-bit8", b"01A0108", tag_type=6)
address("a-200", b"01A0200", tag_type=6)
address("station32", b"20B0000", tag_type=6)
address("station33", b"21B0000", tag_type=6)
address("operand-c", b"01C0000", tag_type=6)
address("six-chars", b"02A1F7", tag_type=6)
address("two-chars", b"01", tag_type=6)
address("long-text", b"01W0010 and then some more text", tag_type=0)
address("high-byte", b"01W\xff010", tag_type=0)
address("block-255", b"01W0010", count=255, block=True)
address("block-256", b"01W0010", count=256, block=True)
address("block-bit", b"01W00105", count=1, block=True)
address("count-minus-1", b"01B0000", tag_type=6, count=-1)
address("wide-tag", b"01W0010", tag_type=0x106, wide_tag=True)
address("wide-count", b"01W0010", count=0x7FFFFFFF, block=True, wide_count=True)


# --- reply decoding: operand (0 A, 1 B, 2 E, 3 W; 0x80 then a raw 32-bit
# code), count, data.
def decode(name, operand, count, data, raw=None):
    head = bytes([operand]) if raw is None else bytes([0x80]) + struct.pack("<i", raw)
    write("decode_reply_fuzz", name, head + bytes([count]) + data)


decode("word", 3, 1, b"1234")
decode("words-mixed-case", 3, 2, b"12ABcdEF")
decode("word-not-hex", 3, 3, b"12G4FFFF0000")
decode("bits-20", 1, 20, b"10000000000000011001")
decode("bit-one", 0, 1, b"1")
decode("bit-odd-char", 2, 1, b"Z")
decode("bits-17", 2, 17, b"01010101010101011")
decode("words-255", 3, 255, b"".join(b"%04X" % (i * 257 & 0xFFFF) for i in range(255)))
decode("bits-255", 1, 255, b"10" * 127 + b"1")
decode("count-0", 3, 0, b"")
decode("raw-operand", 0, 5, b"11011", raw=ord("w"))

# --- exchange: command (0 SingleRead, 1 BlockRead, 2 SingleWrite, 3
# BlockWrite), operand (0 A, 1 B, 2 E, 3 W), count, station - 1, number
# (2 bytes), bit (below 16, else none), then the line: a control byte before
# each chunk of input (0xFF time-out, 0xFE read fails), and where the port is
# asked what waits 0xFC (input waiting) or 0xFB (fails), where a frame is
# written 0xFA (write fails) or 0xF9 (short write).
READ_TIMES_OUT, READ_FAILS, WRITE_FAILS, WRITE_SHORT, INPUT_WAITING = 0xFF, 0xFE, 0xFA, 0xF9, 0xFC


def reply(station, body):
    text = b"A%02X" % station + body
    return b"/" + text + b"%02X" % (sum(text) & 0xFF) + b"\r"


def chunks(data, size=0xF0):
    out = b""
    for at in range(0, len(data), size):
        piece = data[at:at + size]
        out += bytes([len(piece)]) + piece
    return out


def read_reply(station, echo, data):
    r = reply(station, echo + data)
    return chunks(r[:7]) + chunks(r[7:])


def exchange(name, command, operand, count, station, number, bit, line):
    head = bytes([command, operand, count, station - 1]) + struct.pack("<H", number) + bytes([bit])
    write("exchange_fuzz", name, head + line)


NONE = 0xFF
exchange("block-read-2-words", 1, 3, 2, 1, 0x10, NONE, read_reply(1, b"RW", b"1234ABCD"))
exchange("single-read-bit-3", 0, 3, 1, 1, 0x10, 3, read_reply(1, b"RW", b"0008"))
exchange("block-read-20-bits", 1, 1, 20, 1, 0x100, NONE, read_reply(1, b"RB", b"10000000000000011001"))
exchange("single-read-a", 0, 0, 1, 2, 0x1F7, NONE, read_reply(2, b"RA", b"1"))
exchange("read-silent", 1, 3, 1, 1, 0, NONE, b"")
exchange("read-wrong-station-then-good", 1, 3, 1, 1, 0x10, NONE,
         chunks(reply(2, b"RW1234")[:7]) + bytes([INPUT_WAITING]) + chunks(reply(2, b"RW1234")[7:]) +
         read_reply(1, b"RW", b"1234"))
exchange("read-nak-then-good", 1, 3, 1, 1, 0x10, NONE,
         chunks(b"/N01RW1") + read_reply(1, b"RW", b"4321"))
exchange("read-short-then-good", 1, 3, 2, 1, 0x10, NONE,
         chunks(b"/A01R") + bytes([READ_TIMES_OUT]) + read_reply(1, b"RW", b"00010002"))
exchange("read-rest-short-then-good", 1, 3, 2, 1, 0x10, NONE,
         chunks(b"/A01RW1") + chunks(b"234") + bytes([READ_TIMES_OUT]) + read_reply(1, b"RW", b"00010002"))
exchange("read-noise-then-good", 0, 3, 1, 1, 0x10, NONE,
         chunks(b"#$%/A01") + bytes([INPUT_WAITING]) + chunks(b"RW1234AB\r") + read_reply(1, b"RW", b"1234"))
exchange("read-fails-then-good", 1, 3, 1, 3, 0x20, NONE, bytes([READ_FAILS]) + read_reply(3, b"RW", b"BEEF"))
exchange("read-255-words", 1, 3, 255, 1, 0x1000, NONE,
         read_reply(1, b"RW", b"".join(b"%04X" % (0xF000 + i) for i in range(255))))
exchange("read-count-0", 1, 3, 0, 1, 0x10, NONE, read_reply(1, b"RW", b""))
exchange("write-word", 2, 3, 1, 1, 0x10, NONE, chunks(reply(1, b"SW")))
exchange("write-set-bit", 2, 3, 1, 1, 0x10, 5, chunks(reply(1, b"X1")))
exchange("write-bits", 3, 1, 3, 2, 0x100, NONE, chunks(reply(2, b"SB")))
exchange("write-other-station", 2, 3, 1, 1, 0x20, NONE, chunks(reply(2, b"SW")))
exchange("write-fails-then-good", 2, 3, 1, 1, 0x20, NONE, bytes([WRITE_FAILS]) + chunks(reply(1, b"SW")))
exchange("write-short-then-good", 3, 3, 4, 1, 0x20, NONE, bytes([WRITE_SHORT]) + chunks(reply(1, b"SW")))
exchange("write-nak", 3, 3, 2, 1, 0x20, NONE, chunks(b"/N01SW00\r") * 4)
exchange("write-e", 2, 2, 1, 1, 0x10, NONE, chunks(reply(1, b"SE")))

# --- lifecycle: commands of 4 bytes: command (0 ColdStart, 1 WarmStart, 2
# CloseCom, 3 ReOpenCom, 4 ChangeKivParams, 5 EndKiv, 6 ColdStart disabled,
# 7 ChangeKivParams keeping the settings), name (0 PA, 1 PB, 2 NUL,
# 3 MISSING, 4 ELEVENCHARS, 5 too long), failures (1 open, 2 get state,
# 4 set time-outs, 8 set state, 16 close, 32 get time-outs), time-out.
COLD, WARM, CLOSE, REOPEN, CHANGE, END, COLD_OFF, CHANGE_KEEP = range(8)
PA, PB, NUL, MISSING, ELEVEN, TOO_LONG = range(6)


def lifecycle(name, *commands):
    write("lifecycle_fuzz", name, b"".join(bytes([c, n, f, t]) for c, n, f, t in commands))


lifecycle("cold-close-reopen", (COLD, PA, 0, 5), (CLOSE, PA, 0, 0), (REOPEN, PA, 0, 0), (WARM, PA, 0, 0),
          (END, PA, 0, 0))
lifecycle("change-between-ports", (COLD, PA, 0, 50), (CHANGE, PB, 0, 0), (CHANGE_KEEP, PA, 0, 0),
          (CHANGE, MISSING, 0, 0))
lifecycle("same-name-while-open", (COLD, PA, 0, 5), (REOPEN, PA, 0, 0), (CHANGE, PA, 0, 0), (COLD, PA, 0, 7))
lifecycle("null-device", (COLD, NUL, 0, 5), (REOPEN, NUL, 0, 0), (CHANGE_KEEP, NUL, 0, 0), (CLOSE, NUL, 0, 0))
lifecycle("open-steps-fail", (COLD, PA, 1, 5), (COLD, PA, 2, 5), (COLD, PA, 4, 5), (COLD, PA, 8, 5),
          (COLD, PA, 0, 5), (REOPEN, PB, 32, 0))
lifecycle("close-fails", (COLD, PA, 0, 5), (CLOSE, PA, 16, 0), (CHANGE, PB, 16, 0), (COLD, PA, 16, 9),
          (END, PA, 16, 0))
lifecycle("names", (COLD, TOO_LONG, 0, 5), (COLD, ELEVEN, 0, 5), (COLD_OFF, TOO_LONG, 0, 0), (CHANGE, TOO_LONG, 0, 0),
          (REOPEN, PA, 0, 0))

# --- trace dump: flags (bit 0: log full lines), then the bytes.
def trace(name, log, data):
    write("trace_dump_fuzz", name, bytes([1 if log else 0]) + data)


trace("frame", False, b"/01RW0010022D\r")
trace("two-full-lines", True, bytes(range(0x21, 0x21 + 66)))
trace("zero-mid-line", True, b"/A01RW" + b"\x00" + b"1234" * 8 + b"\r" + b"tail")
trace("zero-first", True, b"\x00" * 40)
trace("reply-255-words", True, b"/A01RW" + b"".join(b"%04X" % i for i in range(255)) + b"7F\r")
trace("high-bytes", False, bytes(range(0x80, 0x100)))

# --- tag list: the file's bytes, whole.
def tags(name, data):
    write("tag_list_fuzz", name, data)


HEADER = b"name,address,count,type,comment\n"
tags("example", b"\xef\xbb\xbf# pumps\r\n" + HEADER + b'pump speed,01W0010,,,"rpm, set by the panel"\r\n'
     b"valves,01B0100,12,bit,\ntank levels,01W0020,4,word,cm\ndoor,02E0007,,,\n")
tags("columns-any-order", b"Comment, address ,NAME\n\"say \"\"hi\"\"\",01w0010,a\n")
tags("bad-rows", HEADER + b"a,01C0000\nb,01W001000\na,01W0011\nc,01W0010,256\nd,01W0010,1,bit\ne,01WFFFF,2\n")
tags("nul-in-name", HEADER + b"pu\x00mp,01W0010\n")
tags("escape-in-comment", HEADER + b"pump,01W0010,,,\x1b]0;owned\x07\n")
tags("not-utf8", HEADER + b"caf\xe9,01W0010\n\xc2\x85,01W0011\n")
tags("tab-inside", HEADER + b"\tpump\t1\t,01W0010\n")
tags("many-bad-rows", HEADER + b"".join(b"t%d,01C0000\n" % i for i in range(30)) + b"ok,01W0010\n")
tags("broken-header", b'name,"address\n')

# --- kivgate's Modbus requests: flags (bit 0 writes allowed, bit 1 before
# the first cycle), one quality byte per tag of the target's map (1 good,
# 3 down), then the PDU.
def modbus(name, pdu, allow=False, first_cycle=False, qualities=None):
    flags = (1 if allow else 0) | (2 if first_cycle else 0)
    data = bytes([flags])
    if not first_cycle:
        data += bytes(qualities or [1] * 8)
    write("modbus_request_fuzz", name, data + pdu)


modbus("read-words", bytes([0x03, 0, 0, 0, 8]))
modbus("read-coils", bytes([0x01, 0, 0, 0, 13]))
modbus("read-inputs", bytes([0x02, 0, 3, 0, 9]))
modbus("read-input-registers", bytes([0x04, 0, 0, 0, 2]))
modbus("read-down", bytes([0x03, 0, 1, 0, 2]), qualities=[1, 3, 1, 1, 1, 1, 1, 1])
modbus("read-before-first-cycle", bytes([0x03, 0, 0, 0, 1]), first_cycle=True)
modbus("read-past-end", bytes([0x03, 0xFF, 0xFE, 0, 3]))
modbus("write-register", bytes([0x06, 0, 5, 0x12, 0x34]), allow=True)
modbus("write-refused", bytes([0x06, 0, 5, 0x12, 0x34]))
modbus("write-coil", bytes([0x05, 0, 3, 0xFF, 0]), allow=True)
modbus("write-coils", bytes([0x0F, 0, 0, 0, 12, 2, 0xA5, 0x0F]), allow=True)
modbus("write-registers-two-tags", bytes([0x10, 0, 5, 0, 3, 6, 0, 1, 0, 2, 0, 3]), allow=True)
modbus("write-byte-count-wrong", bytes([0x10, 0, 5, 0, 2, 3, 0, 1, 0]), allow=True)
modbus("unknown-function", bytes([0x2B, 0x0E, 1, 0]))


# --- kivgate's MQTT set payloads: a byte (low 2 bits + 1 the tag's count,
# bit 2 a bit tag), then the payload.
def mqtt_set(name, payload, count=1, bits=False):
    write("mqtt_payload_fuzz", name, bytes([(count - 1) | (4 if bits else 0)]) + payload)


mqtt_set("one-word", b"1234")
mqtt_set("run-of-three", b"[1, 2, 3]", count=3)
mqtt_set("bits", b"[0,1]", count=2, bits=True)
mqtt_set("nul-then-more", b"1\x00000")
mqtt_set("trailing", b"5 6")
mqtt_set("deep-nesting", b"[" * 60000)
mqtt_set("deep-objects", b'{"a":' * 12000, count=2)
mqtt_set("long-string", b'["' + b"a" * 1000 + b'",1,2]', count=3)
