#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets from the wire formats.

Run from anywhere: ./fuzz/make_seeds.py. Files are rewritten in place; the
regress-* inputs reproduce faults the codec once had to be guarded against.
Inputs that fuzzing found (regress-overlong-command-tail-taken-for-a-packet)
are kept as found and not written here.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    r = 0xFFFF
    for b in data:
        r ^= b
        for _ in range(8):
            r = (r >> 1) ^ 0x8408 if r & 1 else r >> 1
    return r ^ 0xFFFF


def with_crc(pkt):
    return pkt + struct.pack('<H', crc16(pkt))


def reports(pkt, stream=False):
    out = b''
    chunks = [pkt[i:i + 61] for i in range(0, len(pkt), 61)] or [b'']
    for i, c in enumerate(chunks):
        t = (0x80 if stream else 0) | (1 if i == len(chunks) - 1 else 0)
        out += bytes([1, t, len(c)]) + c + bytes(61 - len(c))
    return out


def text(pid, cmd_id, s, tick=0, ctype=0):
    return with_crc(struct.pack('<HHBBH', pid, tick, ctype, cmd_id, len(s)) + s)


def image(pid, raw, dtc=((10, 20),), total=480, offset=3):
    hdr = struct.pack('<HHHHhHff', pid, 0, len(raw), total, offset, len(dtc), 1.5, 2.5)
    for s, e in (dtc or ((0, 0),))[:10]:
        hdr += struct.pack('<HH', s, e)
    return reports(with_crc(hdr), True) + reports(raw, True)


def preview(pid, raw):
    return reports(with_crc(struct.pack('<HHHHh', pid, 0, len(raw), 240, 7)), True) + reports(raw, True)


def touch(points, tick=5):
    body = struct.pack('<HHHH', 0x1300, tick, len(points), len(points))
    for p in points:
        body += struct.pack('<5H', *p)
    return with_crc(body)


def write(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


RAW = b'\x00'  # reassembly: mode byte for "reports as they are"

seeds = {
    'response': reports(text(0x1008, 9, b'OK')),
    'response-continued': reports(text(0x2009, 3, b'part one')) + reports(text(0x200A, 3, b'end')),
    'command-echo': reports(text(0x1007, 5, b'instant_mode=?')),
    'status': reports(text(0xC00C, 0, b'ready')),
    'message': reports(with_crc(struct.pack('<HH4sH', 0xA006, 1, b'MMCU', 5) + b'hello')),
    'version': reports(with_crc(struct.pack('<HHHHHH11s8s', 0x1000, 2, 1, 3, 4, 0x77, b'Jan 01 2024', b'12:00:00'))),
    'iap-version-and-mode': reports(with_crc(struct.pack('<HH', 0x2105, 0x123))) +
                            reports(with_crc(struct.pack('<HH', 0x2104, 2))),
    'objects': reports(with_crc(struct.pack('<HHHH', 0x2003, 1, 2, 0) + struct.pack('<4f', 1, 2, 3, 4))),
    'touch-points': reports(touch([(100, 200, 5, 6, 7), (300, 400, 8, 9, 10)])),
    'gesture': reports(with_crc(struct.pack('<HHBBHHHHHffH', 0x1301, 9, 1, 2, 3, 4, 5, 6, 7, 0.5, 2.0, 3) + b'zip')),
    'device-report-no-crc': reports(struct.pack('<HHBBBbHHffBB6s', 0x1302, 1, 1, 2, 1, -1, 10, 20, 0.25, 0.75,
                                                2, 0, b'\x04\x05\x00\x00\x00\x00') + b'\xde\xad'),
    'image-ird': image(0x2801, bytes(range(100))),
    'image-itd-many-ranges': image(0xA802, bytes(200), dtc=[(i, i + 1) for i in range(12)]),
    'preview': preview(0x1805, bytes(range(256)) + bytes(64)),
    'interleaved': image(0x2801, bytes(70))[:64 * 2] + reports(text(0x1008, 1, b'mid')) + image(0x2801, bytes(70))[64 * 2:],
    'single-511': reports(text(0x100C, 0, bytes([65]) * (511 - 10))),
    'bad-crc': reports(text(0x1008, 9, b'OK')[:-1] + b'\x00'),
    'unknown-report-type': bytes([1, 2, 5]) + bytes(61) + reports(text(0x1008, 2, b'after')),
}
for name, data in seeds.items():
    write('reassembly', name, RAW + data)

# Packet mode (odd mode byte): the harness frames and CRCs the packets itself.
framed = b'\x01'
for ctl, pkt in [(0x00, struct.pack('<HHBBH', 0x1008, 0, 0, 7, 3) + b'abc'),
                 (0xC8 | 1, struct.pack('<HHHHhHff', 0x2801, 0, 10, 0, 0, 1, 0, 0) + struct.pack('<HH', 1, 2) + bytes(40)),
                 (0x80, struct.pack('<HHHH', 0x1300, 0, 1, 1) + bytes(10))]:
    framed += bytes([ctl]) + struct.pack('<H', len(pkt)) + pkt
write('reassembly', 'framed-mix', framed)

# Regressions.
write('reassembly', 'regress-size-byte-over-61',
      RAW + bytes([1, 1, 255]) + bytes(61) + bytes([1, 0x81, 200]) + bytes(61))
write('reassembly', 'regress-touchpoint-count-beyond-packet',
      RAW + reports(with_crc(struct.pack('<HHHH', 0x1300, 0, 409, 1) + bytes(10))))
write('reassembly', 'regress-image-rawsize-beyond-single-packet',
      RAW + reports(with_crc(struct.pack('<HHHHhHff', 0x2801, 0, 60000, 0, 0, 1, 0, 0) + struct.pack('<HH', 1, 2))))
# Header of 24 bytes announcing 65522 raw bytes, stream emptied by an unknown
# report type, then a 10-byte last report: 10 - 24 wraps to 65522 in 16 bits.
hdr = with_crc(struct.pack('<HHHHhHff', 0x2801, 0, 65522, 0, 0, 1, 0, 0) + struct.pack('<HH', 1, 2))
write('reassembly', 'regress-raw-phase-after-unknown-type-wrapped-count',
      RAW + reports(hdr, True) + bytes([1, 0x42, 0]) + bytes(61) + bytes([1, 0x81, 10]) + bytes(61))
write('reassembly', 'regress-raw-header-announcing-zero-bytes',
      RAW + reports(with_crc(struct.pack('<HHHHH', 0x1805, 0, 0, 1, 0)), True) +
      reports(with_crc(struct.pack('<HHHH', 0x1300, 0, 0, 0)), True))
write('reassembly', 'regress-short-command-packet-stale-id',
      RAW + reports(with_crc(struct.pack('<HH', 0x1008, 0))))
# A report that belongs to no packet in front of an intact one: the run
# fails its CRC as a whole, the packet behind the first report passes.
stray = bytes([1, 0x00, 30]) + bytes([0x5A]) * 61
write('reassembly', 'regress-stray-report-before-answer',
      RAW + stray + reports(text(0x1008, 9, b'OK')))
write('reassembly', 'regress-stray-report-before-longest-packet',
      RAW + stray + reports(text(0x100C, 0, bytes([65]) * (511 - 10))))
# A raw packet without its last report: its raw phase runs into the next header.
write('reassembly', 'regress-raw-packet-missing-last-report',
      RAW + preview(0x1805, bytes(range(100)))[:64 * 2] + preview(0x1805, bytes(range(100))))

write('makepacket', 'short', b'\x05test')
write('makepacket', 'instant-mode', b'\x01instant_mode=MCT,5000,0x0000000f')
write('makepacket', 'empty', b'\xff')
write('makepacket', 'two-reports', b'\x07' + b'x' * 51)
write('makepacket', 'longest-received', b'\x07' + b'y' * 500)
write('makepacket', 'longest-accepted', b'\x09' + b'z' * 1013)
write('makepacket', 'regress-command-text-longer-than-1013', b'\x09' + b'z' * 1014)


# command_text: [flags][texts separated by NUL]; flags bit 0 asynchronous.
for name, data in {
    'plain-command': b'\x00get_version',
    'instant-mode-letters-time-gesture': b'\x01instant_mode=MCVOTGDSX,5000,0x0000000f',
    'instant-mode-query': b'\x00instant_mode=?',
    'instant-mode-hex-and-octal-times': b'\x00instant_mode=t,0x7fffffff\x00instant_mode=c,017\x00instant_mode=m,0',
    'instant-mode-time-refused': b'\x01instant_mode=T,-1\x00instant_mode=T,2147483648\x00instant_mode=T,99999999999999999999',
    'instant-mode-time-text-17': b'\x00instant_mode=T,00000000000005000,0x1\x00instant_mode=T,0000000000005000,0x1',
    'longest-accepted': b'\x00' + b'a' * 1013,
    'instant-mode-longer-than-1013': b'\x01' + b'instant_mode=T,' + b'1' * 1000,
}.items():
    write('command_text', name, data)


# handle_receive: operations, see fuzz_handle_receive.cpp.
def op_text(kind, cmd_id, s):
    return bytes([4, kind, cmd_id, len(s)]) + s


for name, data in {
    'answer-releases-wait': bytes([7, 0xFF, 3, 0, 9]) + op_text(0, 9, b'OK') + bytes([6, 9]),
    'echo-then-answer': bytes([7, 0x02, 0, 0, 5]) + op_text(3, 5, b'x') + op_text(0, 5, b'done') + bytes([6, 5]),
    'echo-only': bytes([0, 5]) + op_text(3, 5, b'x') + bytes([6, 5]),
    'answer-other-id': bytes([0, 4, 7, 0x02, 0]) + op_text(0, 3, b'no') + bytes([6, 4]),
    'continued-and-final': bytes([7, 0xFF, 3, 0, 3]) + op_text(1, 3, b'part') + op_text(2, 3, b'end') + bytes([6, 3]),
    'raw-send-wait': bytes([1, 0x05, 0x21]) + bytes([3, 0]) + reports(with_crc(struct.pack('<HH', 0x2105, 0x123))),
    'firmware-mode-query': bytes([2, 0x20, 3, 0]) + reports(with_crc(struct.pack('<HH', 0x2104, 2))) + bytes([1, 4, 0x21]),
    'sink-takes-raw': bytes([8, 0, 9]) + op_text(0, 9, b'OK') + bytes([8, 6, 9]),
    'touch-and-stream': bytes([7, 0xFF, 3, 5, 0x80, 18, 0]) + struct.pack('<HHHH', 0x1300, 0, 1, 1) + bytes(10),
}.items():
    write('handle_receive', name, data)


# shared_block: [flags][download mark][device block]; owner id 2 is the
# fuzzing process itself.
# The reserved part holds the holder's path record (owner id, 24-byte path)
# and a left mark per slot 0 to 127.
def block(slots=(), lock_count=0, control=-1, cmd_id=1, fgst=0xFFFFFFFFFFFFFFFF, path_owner=0, path=b'', left=()):
    modes = [-1] * 256
    ids = [0] * 256
    excl = [0] * 256
    for i, (mode, owner, ex) in slots:
        modes[i], ids[i], excl[i] = mode, owner, ex
    marks = bytearray(128)
    for i in left:
        marks[i] = 1
    return (struct.pack('<h6xqq', 0, 0, lock_count) + struct.pack('<256h', *modes) + struct.pack('<Q', fgst) +
            struct.pack('<256Q', *ids) + struct.pack('<iB', control, cmd_id) + bytes(excl) +
            struct.pack('<3xQ', 0) + struct.pack('<Q24s', path_owner, path) + bytes(marks) + bytes(73 + 7))


assert len(block()) == 3104
for name, data in {
    'fresh-block': b'\x00' + struct.pack('<i', 0) + block(),
    'all-zero-block': b'\x00' + struct.pack('<i', 0) + bytes(3104),
    'dead-owner-slot': b'\x01' + struct.pack('<i', 0) + block([(7, (0x22, 999999999, 1))], lock_count=1, control=7),
    'live-owner-busy': b'\x00' + struct.pack('<i', 1) + block([(3, (0x2, 1, 0))], lock_count=1),
    'own-mark-and-slot': b'\x02' + struct.pack('<i', 2) + block([(255, (0x20, 2, 1))], lock_count=5),
    'dead-mark-cleared': b'\x04' + struct.pack('<i', 999999999) + block(lock_count=-3, control=300),
    'negative-mark': b'\x06' + struct.pack('<i', -5) + block([(0, (0x3FF, 77777777, 0))], lock_count=2, control=0),
    'live-owner-left-without-the-lock': b'\x00' + struct.pack('<i', 0) +
        block([(0, (0x20, 2, 0))], lock_count=1, control=0, path_owner=2, path=b'0001:0002:01', left=[0]),
}.items():
    write('shared_block', name, data)
