#!/usr/bin/env python3
"""Writes sample_messages.json: upload messages (PlaySample, 518 bytes) built
from spn texts by the rules of the board protocol, independently of the
library, for the golden-message test (tests/board/board_message_test.cpp).

Run: python3 tests/board/golden/sample_messages.py > tests/board/golden/sample_messages.json
"""
import json
import math
import struct

def f32(x):
    return struct.unpack('<f', struct.pack('<f', x))[0]

def fbytes(x):
    return struct.pack('<f', x)

POS = [(0.0561, -0.18, -0.0561), (0.1039, -0.06, -0.06), (0.1039, 0.06, -0.06),
       (-0.0561, -0.18, -0.0561), (0.0, 0.06, -0.12), (-0.0561, 0.18, -0.0561),
       (-0.1039, 0.06, -0.06), (-0.1039, -0.06, -0.06), (-0.1039, -0.06, 0.06),
       (-0.0561, 0.18, 0.0561), (0.1039, -0.06, 0.06), (0.0, 0.06, 0.12),
       (-0.0561, -0.18, 0.0561), (-0.1039, 0.06, 0.06), (0.1039, 0.06, 0.06),
       (0.0561, -0.18, 0.0561), (0.0561, 0.18, -0.0561), (0.0561, 0.18, 0.0561),
       (0.0, -0.06, 0.12), (0.0, -0.06, -0.12)]
L = f32(0.09)
PI = 3.141592653589793

def whole(v):
    if isinstance(v, bool):
        return int(v)
    return int(v) if isinstance(v, float) else v

def clamp_amp(a):
    a = f32(a)
    if math.isnan(a) or a <= 0:
        return 0.0
    return 100.0 if a >= 100 else a

def weight_of(x, amp):
    c, d = f32(0.6), 1.0
    k = 1.7858 / f32(f32(1.0) - f32(0.6))
    kfall = 0.5 * k * k
    over6 = f32(amp * f32(0.16666667))
    if x < 0.0:
        return 0.0
    if x < c:
        return amp
    if x < d:
        u = (x - c) * (x - c) * kfall
        return (6 - (6 - (3 - u) * u) * u) * over6
    return 0.0

def move_vertical(delta, p):
    x, y, z = p
    y2 = y + delta
    r2 = x * x + z * z
    if r2 == 0:
        return [x, y2, z]
    if y > L:
        R2 = r2 + (y - L) ** 2
    elif y < -L:
        R2 = r2 + (y + L) ** 2
    else:
        R2 = r2
    if y2 > L:
        h2 = max(0.0, R2 - (y2 - L) ** 2)
    elif y2 < -L:
        h2 = max(0.0, R2 - (y2 + L) ** 2)
    else:
        h2 = R2
    k = math.sqrt(h2) / math.sqrt(r2)
    return [k * x, y2, k * z]

def heading(a32, p, q):
    ca, sa = f32(math.cos(a32)), f32(math.sin(a32))
    c, s = math.cos(a32 / 2), math.sin(a32 / 2)
    x, y, z, w = q
    q = [c * x + s * z, c * y + s * w, c * z - s * x, c * w - s * y]
    px, py, pz = p
    return [ca * px + sa * pz, py, ca * pz - sa * px], q

def tilt(a, p, q):
    c, s = math.cos(a / 2), math.sin(a / 2)
    x, y, z, w = q
    q = [c * x - s * y, c * y + s * x, c * z + s * w, c * w - s * z]
    px, py, pz = p
    if abs(py) <= L:
        d = abs(px)
        if d == 0:
            return p, q
    elif py > L:
        d = math.sqrt((py - L) ** 2 + px * px)
    else:
        d = math.sqrt((py + L) ** 2 + px * px)
    phi = math.atan(L / d)
    th = math.atan2(py, px) + a
    while th > PI:
        th -= 2 * PI
    while th < -PI:
        th += 2 * PI
    if th > PI - phi:
        py = d * math.tan(PI - th)
        px = -px if px > 0 else px
    elif th > phi:
        t = (th - phi) * PI / (PI - 2 * phi)
        px, py = d * math.cos(t), d * math.sin(t) + L
    elif th > -phi:
        py = d * math.tan(th)
        px = -px if px < 0 else px
    elif th > phi - PI:
        t = (th + phi) * PI / (PI - 2 * phi)
        px, py = d * math.cos(t), d * math.sin(t) - L
    else:
        py = d * math.tan(PI - th)
        px = -px if px > 0 else px
    return [px, py, pz], q

def vicinity_weights(v, t, mx, my, mz):
    pos, q, scale, amp = v
    p = [-pos[0] if mx else pos[0], -pos[1] if my else pos[1], -pos[2] if mz else pos[2]]
    if t['tilt'] != 0:
        p, q = tilt(t['tilt'], p, q)
    if t['heading'] != 0:
        p, q = heading(t['heading'], p, q)
    if t['height'] != 0:
        p = move_vertical(t['height'], p)
    x, y, z, w = q
    n2 = x * x + y * y + z * z + w * w
    a, b, c, d = (-x / n2, -y / n2, -z / n2, w / n2) if n2 > 0 else (0, 0, 0, 0)
    R = [[1 - 2 * b * b - 2 * c * c, 2 * a * b - 2 * c * d, 2 * a * c + 2 * b * d],
         [2 * a * b + 2 * c * d, 1 - 2 * a * a - 2 * c * c, 2 * b * c - 2 * a * d],
         [2 * a * c - 2 * b * d, 2 * b * c + 2 * a * d, 1 - 2 * a * a - 2 * b * b]]
    out = []
    for act in POS:
        e = [act[0] - p[0], act[1] - p[1], act[2] - p[2]]
        u = [R[i][0] * e[0] + R[i][1] * e[1] + R[i][2] * e[2] for i in range(3)]
        dx, dy, dz = u[0] / scale[0], u[1] / scale[1], u[2] / scale[2]
        out.append(weight_of(math.sqrt(dx * dx + dy * dy + dz * dz), amp))
    return out

def byte_of(x):
    if not x > 0:
        return 0
    return 255 if x >= 255 else int(x)

def read_vicinity(item):
    p = [f32(v) for v in item['position']]
    o = [f32(v) for v in item['orientation']]
    s = [f32(v) for v in item['scale']]
    return [p, [o[1], o[2], o[3], o[0]], s, clamp_amp(item['amplitude'])]

def rows_of(sample):
    S, V = sample['spatKeyframes'], sample['volumeKeyframes']
    vic = 'vicinities' in S[0]
    vol = lambda k: f32(f32(whole(k['volume'])) * f32(0.01))
    rows = []

    def content(kind, i, f, v):
        if vic:
            if kind == 'interp':
                lst = [read_vicinity(x) for x in S[i - 1]['vicinities']]
                for x in lst: x[3] = clamp_amp(x[3] * f32(1 - f))
                more = [read_vicinity(x) for x in S[i]['vicinities']]
                for x in more: x[3] = clamp_amp(x[3] * f)
                lst += more
                for x in lst: x[3] = clamp_amp(x[3] * v)
                return lst
            lst = [read_vicinity(x) for x in S[i]['vicinities']]
            if kind == 'taken':
                for x in lst: x[3] = clamp_amp(x[3] * v)
            return lst
        el = lambda arr, k: float(min(max(whole(arr[k]), 0), 255)) if k < len(arr) else 0.0
        if kind == 'interp':
            a, b = S[i - 1]['weights'], S[i]['weights']
            return [byte_of(math.trunc(f32(f32(f32(f32(el(b, k) - el(a, k)) * f) + el(a, k)) * v))) for k in range(20)]
        w = S[i]['weights']
        if kind == 'unscaled':
            return [byte_of(el(w, k)) for k in range(20)]
        return [byte_of(math.trunc(f32(el(w, k) * v))) for k in range(20)]

    i = j = 0
    ts = lambda k: f32(k['timestamp'])
    while i < len(S) and j < len(V):
        if S[i]['timestamp'] == V[j]['timestamp']:
            v = vol(V[j]); rows.append((ts(S[i]), v, content('taken', i, 0, v))); i += 1; j += 1
        elif S[i]['timestamp'] < V[j]['timestamp']:
            v = vol(V[0])
            if j > 0:
                v0, t0 = vol(V[j - 1]), ts(V[j - 1])
                v = f32(v0 + f32(f32(f32(vol(V[j]) - v0) * f32(ts(S[i]) - t0)) / f32(ts(V[j]) - t0)))
            rows.append((ts(S[i]), v, content('taken', i, 0, v))); i += 1
        else:
            v = vol(V[j])
            if i == 0:
                rows.append((ts(V[j]), v, content('taken', 0, 0, v)))
            else:
                t0 = ts(S[i - 1])
                f = f32(f32(ts(V[j]) - t0) / f32(ts(S[i]) - t0))
                rows.append((ts(V[j]), v, content('interp', i, f, v)))
            j += 1
    while i < len(S):
        if j > 0:
            v = vol(V[j - 1]); rows.append((ts(S[i]), v, content('taken', i, 0, v)))
        else:
            rows.append((ts(S[i]), 1.0, content('unscaled', i, 0, 1.0)))
        i += 1
    while j < len(V):
        v = vol(V[j]); rows.append((ts(V[j]), v, content('taken', len(S) - 1, 0, v))); j += 1
    return rows

def message(spn, case):
    root = json.loads(spn)
    track = root['tracks'][0]
    sample = track['samples'][0]
    t = {k: f32(case[k]) for k in ('height', 'heading', 'tilt')}
    flags = case['mirror']  # x, y, z
    add = case['add']
    rows = rows_of(sample)
    msg = bytearray(518)
    vol = f32(f32(f32(whole(track['volume']) % 256) * f32(0.01)) * f32(case['gain']))
    vol = 0 if math.isnan(vol) else max(min(vol, f32(249.99998)), f32(1.4e-45))
    speed = f32(f32(sample['speed']) * f32(case['speed']))
    speed = max(min(speed, f32(99.99999)), f32(0.0100000007))
    fl = (2 if sample['repeatSpat'] else 0) | (1 if case['muted'] else 0)
    msg[0:8] = bytes([1, 0xAD, 0xDE, whole(sample['signalIndex']) % 256, int(vol),
                      whole(sample['repeatCount']) % 256, fl, len(rows)])
    msg[8:12] = fbytes(sample['maxDuration']); msg[12:16] = fbytes(sample['preDelay'])
    msg[16:20] = fbytes(sample['postDelay']); msg[20:24] = fbytes(speed)
    msg[24:28] = fbytes(max(f32(case['offset']), f32(1.4e-45)))
    msg[28:32] = fbytes(sample['startCrop']); msg[32:36] = fbytes(sample['stopCrop'])
    boost = case['globalBoost'] + (root.get('patternBoost', 0) if case['usePatternBoost'] else case['effectBoost'])
    b = float(min(max(int(boost), 0), 100))
    axes = [a for a in range(3) if add[a]]
    for r, (time, v, cont) in enumerate(rows):
        if isinstance(cont[0], list):  # vicinities
            best = None
            for vicinity in cont:
                for comb in range(1 << len(axes)):
                    m = list(flags)
                    for bit, axis in enumerate(axes):
                        if comb >> bit & 1:
                            m[axis] = not m[axis]
                    w = vicinity_weights(vicinity, t, *m)
                    best = w if best is None else [max(x, y) for x, y in zip(best, w)]
            weights = [byte_of(math.trunc(x)) for x in best]
        else:
            weights = cont
        add_b = math.trunc(f32(b * v))
        at = 36 + 24 * r
        msg[at:at + 4] = fbytes(time)
        msg[at + 4:at + 24] = bytes(min(w + add_b, 255) for w in weights)
    crc = 0xFFFF
    for byte in msg[:516]:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    msg[516:518] = bytes([crc & 0xFF, crc >> 8])
    return msg.hex()

def spn(track_volume, sample_fields, spat, vol=None, boost=None):
    s = {"timestamp": 0, "signalIndex": 123, "speed": 1, "repeatCount": 1, "preDelay": 0, "postDelay": 0,
         "maxDuration": 0.5, "repeatSpat": False, "startCrop": 0, "stopCrop": 0,
         "spatKeyframes": spat, "volumeKeyframes": vol or []}
    s.update(sample_fields)
    root = {"duration": 1, "tracks": [{"volume": track_volume, "samples": [s]}]}
    if boost is not None:
        root["patternBoost"] = boost
    return json.dumps(root)

def weights(d):
    return [d.get(k, 0) for k in range(20)]

def sphere(pos, amp=100, scale=0.1, orient=(1, 0, 0, 0)):
    return {"position": list(pos), "orientation": list(orient), "scale": [scale] * 3, "amplitude": amp}

BASE = {"gain": 100.0, "speed": 1.0, "muted": False, "offset": 0.0, "height": 0.0, "heading": 0.0, "tilt": 0.0,
        "mirror": [False, False, False], "add": [False, False, False], "globalBoost": 0, "effectBoost": 0,
        "usePatternBoost": True}

def case(name, text, **over):
    c = dict(BASE); c.update(over)
    c['name'] = name; c['spn'] = text
    c['hex'] = message(text, c)
    return c

VIC11 = [{"timestamp": 0, "vicinities": [sphere((0, 0.06, 0.12), 80)]}]
CASES = [
    case("weights with an interpolated volume key",
         spn(100, {}, [{"timestamp": 0, "weights": weights({0: 0, 3: 200})},
                       {"timestamp": 1, "weights": weights({0: 100, 3: 40})}],
             [{"timestamp": 0.5, "volume": 50}])),
    case("weights without volume keys, track volume 80.9, repeatSpat, muted, offset",
         spn(80.9, {"repeatSpat": True, "repeatCount": 3, "speed": 2},
             [{"timestamp": 0, "weights": weights({5: 255, 6: 17})}]),
         muted=True, offset=0.25, speed=1.5, gain=120.0),
    case("a volume key before the first spatial key and after the last",
         spn(100, {}, [{"timestamp": 0.2, "weights": weights({1: 100})},
                       {"timestamp": 0.4, "weights": weights({2: 60})}],
             [{"timestamp": 0.1, "volume": 50}, {"timestamp": 0.3, "volume": 150}, {"timestamp": 0.6, "volume": 200}])),
    case("weights beyond a byte saturate, boost adds to every weight",
         spn(100, {}, [{"timestamp": 0, "weights": weights({0: 300, 1: 230, 2: 10})}], [{"timestamp": 0, "volume": 50}],
             boost=150), globalBoost=20),
    case("effect boost in place of the pattern's, volume held below 250, speed products held",
         spn(100, {"speed": 0}, [{"timestamp": 0, "weights": weights({4: 9})}], boost=30),
         gain=250.0, usePatternBoost=False, effectBoost=10, globalBoost=5),
    case("vicinity on actuator 11", spn(100, {}, VIC11)),
    case("vicinity mirrored right-left", spn(100, {}, VIC11), mirror=[False, False, True]),
    case("vicinity added mirrored on all axes", spn(100, {}, VIC11), add=[True, True, True]),
    case("vicinity at height 0.24", spn(100, {}, VIC11), height=0.24),
    case("vicinity turned by 90 degrees", spn(100, {}, VIC11), heading=1.5707964),
    case("vicinity tilted by 30 degrees",
         spn(100, {}, [{"timestamp": 0, "vicinities": [sphere((0.1039, 0.06, 0.06), 100, 0.15)]}]), tilt=0.5235988),
    case("two vicinities interpolated with a volume key, inverted front-back",
         spn(100, {}, [{"timestamp": 0, "vicinities": [sphere((0.1039, -0.06, -0.06), 90)]},
                       {"timestamp": 1, "vicinities": [sphere((-0.0561, 0.18, 0.0561), 60, 0.2)]}],
             [{"timestamp": 0.25, "volume": 100}]), mirror=[True, False, False], heading=-0.7, height=-0.1),
]

if __name__ == '__main__':
    print(json.dumps(CASES, indent=1))
