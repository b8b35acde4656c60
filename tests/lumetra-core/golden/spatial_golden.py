#!/usr/bin/env python3
"""Golden spatial weights for the vest, computed independently of the engine.

Writes spatial_golden.json beside this script: for each case an spn sample
(its spatial keyframes), a transform, a local time, a boost term and the 20
expected actuator weights. Plain Python doubles; single-precision values are
rounded through struct. Run it again only when a case or a rule changes:
    python3 tests/lumetra-core/golden/spatial_golden.py
"""
import json
import math
import os
import struct

PI = 3.141592653589793


def f32(x):
    return struct.unpack('<f', struct.pack('<f', x))[0]


L = f32(0.09)
POSITIONS = [
    (0.0561, -0.18, -0.0561), (0.1039, -0.06, -0.06), (0.1039, 0.06, -0.06),
    (-0.0561, -0.18, -0.0561), (0.0, 0.06, -0.12), (-0.0561, 0.18, -0.0561),
    (-0.1039, 0.06, -0.06), (-0.1039, -0.06, -0.06), (-0.1039, -0.06, 0.06),
    (-0.0561, 0.18, 0.0561), (0.1039, -0.06, 0.06), (0.0, 0.06, 0.12),
    (-0.0561, -0.18, 0.0561), (-0.1039, 0.06, 0.06), (0.1039, 0.06, 0.06),
    (0.0561, -0.18, 0.0561), (0.0561, 0.18, -0.0561), (0.0561, 0.18, 0.0561),
    (0.0, -0.06, 0.12), (0.0, -0.06, -0.12),
]


# --- the vest's moves -------------------------------------------------------
def move_vertical(delta, p):
    x, y, z = p
    y2 = y + delta
    r2 = x * x + z * z
    if r2 == 0:
        return (x, y2, z)
    if y > L:
        big = r2 + (y - L) ** 2
    elif y < -L:
        big = r2 + (y + L) ** 2
    else:
        big = r2
    if y2 > L:
        h2 = max(0.0, big - (y2 - L) ** 2)
    elif y2 < -L:
        h2 = max(0.0, big - (y2 + L) ** 2)
    else:
        h2 = big
    k = math.sqrt(h2) / math.sqrt(r2)
    return (k * x, y2, k * z)


def heading(a, p, q):
    qx, qy, qz, qw = q
    c, s = math.cos(a / 2), math.sin(a / 2)
    q = (c * qx + s * qz, c * qy + s * qw, c * qz - s * qx, c * qw - s * qy)
    x, y, z = p
    return (math.cos(a) * x + math.sin(a) * z, y, math.cos(a) * z - math.sin(a) * x), q


def tilt(a, p, q):
    qx, qy, qz, qw = q
    c, s = math.cos(a / 2), math.sin(a / 2)
    q = (c * qx - s * qy, c * qy + s * qx, c * qz + s * qw, c * qw - s * qz)
    x, y, z = p
    if abs(y) <= L:
        d = abs(x)
        if d == 0:
            return p, q
    elif y > L:
        d = math.sqrt((y - L) ** 2 + x * x)
    else:
        d = math.sqrt((y + L) ** 2 + x * x)
    phi = math.atan(L / d)
    th = math.atan2(y, x) + a
    while th > PI:
        th -= 2 * PI
    while th < -PI:
        th += 2 * PI
    if th > PI - phi:
        y = d * math.tan(PI - th)
        x = -x if x > 0 else x
    elif th > phi:
        t2 = (th - phi) * PI / (PI - 2 * phi)
        x, y = d * math.cos(t2), d * math.sin(t2) + L
    elif th > -phi:
        y = d * math.tan(th)
        x = -x if x < 0 else x
    elif th > phi - PI:
        t2 = (th + phi) * PI / (PI - 2 * phi)
        x, y = d * math.cos(t2), d * math.sin(t2) - L
    else:
        y = d * math.tan(PI - th)
        x = -x if x > 0 else x
    return (x, y, z), q


# --- the default distribution ----------------------------------------------
def distribution(amplitude_percent):
    amp = f32(amp_clamp(f32(f32(amplitude_percent) / 100.0)))
    a, b, c, d = 0.0, 0.0, f32(0.6), f32(1.0)
    k_fall = 0.5 * (1.7858 / f32(d - c)) * (1.7858 / f32(d - c))
    amp6 = f32(amp * f32(0.16666667))

    def weight(x):
        if x < a or x < b:  # a = b: no rising flank
            return 0.0 if x < a else amp
        if x < c:
            return amp
        if x < d:
            u = (x - c) * (x - c) * k_fall
            return amp6 * (6 - u * (6 - u * (3 - u)))
        return 0.0
    return weight


def amp_clamp(v):
    return 0.0 if v <= 0 else 100.0 if v >= 100 else v


# --- one vicinity, all its mirror combinations -------------------------------
def sphere_weights(vic, tr, mirror):
    pos = [f32(v) for v in vic["position"]]
    w, x, y, z = [f32(v) for v in vic["orientation"]]
    scale = [f32(v) for v in vic["scale"]]
    centre = tuple(-pos[i] if mirror[i] else pos[i] for i in range(3))
    q = (x, y, z, w)
    if tr["tilt"] != 0:
        centre, q = tilt(tr["tilt"], centre, q)
    if tr["heading"] != 0:
        centre, q = heading(tr["heading"], centre, q)
    if tr["height"] != 0:
        centre = move_vertical(tr["height"], centre)
    n2 = sum(v * v for v in q)
    n = math.sqrt(n2)  # the inverse of the unit quaternion
    ia, ib, ic, idd = (-q[0] / n, -q[1] / n, -q[2] / n, q[3] / n) if n2 > 0 else (0, 0, 0, 0)
    rot = [
        [1 - 2 * ib * ib - 2 * ic * ic, 2 * ia * ib - 2 * ic * idd, 2 * ia * ic + 2 * ib * idd],
        [2 * ia * ib + 2 * ic * idd, 1 - 2 * ia * ia - 2 * ic * ic, 2 * ib * ic - 2 * ia * idd],
        [2 * ia * ic - 2 * ib * idd, 2 * ib * ic + 2 * ia * idd, 1 - 2 * ia * ia - 2 * ib * ib],
    ]
    weight = distribution(vic["amplitude"])
    out = []
    for p in POSITIONS:
        v = [p[i] - centre[i] for i in range(3)]
        u = [rot[r][0] * v[0] + rot[r][1] * v[1] + rot[r][2] * v[2] for r in range(3)]
        out.append(weight(math.sqrt(sum((u[i] / scale[i]) ** 2 for i in range(3)))))
    return out


def key_weights(key, tr):
    if isinstance(key.get("weights"), list):
        given = [f32(f32(v) / 100.0) for v in key["weights"]]
        return [given[i] if i < len(given) else 0.0 for i in range(20)]
    combos = [[]]
    for axis in range(3):
        states = [True, False] if tr["add"][axis] else [bool(tr["mirror"][axis])]
        combos = [c + [s] for c in combos for s in states]
    result = [0.0] * 20
    for j, vic in enumerate(key["vicinities"]):
        per = [max(col) for col in zip(*(sphere_weights(vic, tr, m) for m in combos))]
        result = per if j == 0 else [max(a, b) for a, b in zip(result, per)]
    return result


def sample_weights(sample, tr, t, boost):
    keys = sample["spatKeyframes"]
    times = [f32(k["timestamp"]) for k in keys]
    if len(keys) == 1 or t >= times[-1] and not sample["repeatSpat"]:
        w = key_weights(keys[-1] if t >= times[-1] else keys[0], tr)
    else:
        period = times[-1]
        cycle = 0 if not sample["repeatSpat"] else int(t // period)
        local = t - cycle * period
        i = next(i for i in range(len(times)) if times[i] > local)
        if i == 0:  # before the first key, in every pass
            w = key_weights(keys[0], tr)
        else:
            w0, w1 = key_weights(keys[i - 1], tr), key_weights(keys[i], tr)
            g = 1.0 / (times[i] - times[i - 1])
            w = [g * a * (times[i] - local) + g * b * (local - times[i - 1]) for a, b in zip(w0, w1)]
    return [v + boost for v in w]


def transform(height=0.0, heading_deg=0.0, tilt_deg=0.0, mirror=(0, 0, 0), add=(0, 0, 0)):
    return {"height": height, "heading": heading_deg * PI / 180, "tilt": tilt_deg * PI / 180,
            "mirror": list(mirror), "add": list(add)}


def vicinity(pos, scale=(0.1, 0.1, 0.1), orientation=(1, 0, 0, 0), amplitude=100):
    return {"position": list(pos), "orientation": list(orientation), "scale": list(scale),
            "amplitude": amplitude}


def sample(*keys, repeat=False):
    return {"repeatSpat": repeat, "spatKeyframes": list(keys)}


FRONT_RIGHT = POSITIONS[14]
CASES = [
    ("on_actuator", sample({"timestamp": 0, "vicinities": [vicinity(FRONT_RIGHT, (0.15, 0.1, 0.12))]}),
     transform(), 0.0, 0.0),
    ("mirrored_front_back", sample({"timestamp": 0, "vicinities": [vicinity(FRONT_RIGHT, (0.15, 0.1, 0.12))]}),
     transform(mirror=(1, 0, 0)), 0.0, 0.0),
    ("mirrored_up_down_and_right_left", sample({"timestamp": 0, "vicinities": [vicinity(POSITIONS[17])]}),
     transform(mirror=(0, 1, 1)), 0.0, 0.0),
    ("added_front_back", sample({"timestamp": 0, "vicinities": [vicinity(FRONT_RIGHT, (0.15, 0.1, 0.12), amplitude=80)]}),
     transform(add=(1, 0, 0)), 0.0, 0.0),
    ("added_all_axes", sample({"timestamp": 0, "vicinities": [vicinity(POSITIONS[16], (0.12, 0.12, 0.12))]}),
     transform(mirror=(0, 1, 0), add=(1, 1, 1)), 0.0, 0.0),
    ("heading_60", sample({"timestamp": 0, "vicinities": [vicinity(FRONT_RIGHT, (0.12, 0.1, 0.12), (0.9238795, 0, 0.3826834, 0))]}),
     transform(heading_deg=60), 0.0, 0.0),
    ("tilt_25", sample({"timestamp": 0, "vicinities": [vicinity(FRONT_RIGHT, (0.12, 0.1, 0.12), (0.9659258, 0, 0, 0.258819))]}),
     transform(tilt_deg=25), 0.0, 0.0),
    ("tilt_over_the_top", sample({"timestamp": 0, "vicinities": [vicinity(POSITIONS[2], (0.1, 0.1, 0.1))]}),
     transform(tilt_deg=100), 0.0, 0.0),
    ("height_up", sample({"timestamp": 0, "vicinities": [vicinity(POSITIONS[10], (0.12, 0.12, 0.12))]}),
     transform(height=0.24 * 0.5), 0.0, 0.0),
    ("height_down_over_the_end", sample({"timestamp": 0, "vicinities": [vicinity(POSITIONS[2], (0.1, 0.1, 0.1))]}),
     transform(height=-0.2), 0.0, 0.0),
    ("everything", sample(
        {"timestamp": 0, "vicinities": [vicinity(FRONT_RIGHT, (0.15, 0.1, 0.12), (0.7071068, 0.7071068, 0, 0), 90),
                                        vicinity((0, 0, -0.12), (0.08, 0.2, 0.08), (0, 0, 0, 0), 60)]},
        {"timestamp": 0.4, "vicinities": [vicinity(POSITIONS[5], (0.1, 0.15, 0.1), (0.5, 0.5, 0.5, 0.5), 100)]},
        repeat=True),
     transform(height=0.03, heading_deg=-35, tilt_deg=12, mirror=(0, 0, 1), add=(1, 0, 0)), 0.9, 0.05),
    ("weights_interpolated", sample({"timestamp": 0, "weights": [0, 100, 50]}, {"timestamp": 1, "weights": [100, 0, 150, 20]}),
     transform(mirror=(1, 1, 1)), 0.25, 0.1),
]


def main():
    out = []
    for name, smp, tr, t, boost in CASES:
        out.append({"name": name, "sample": smp, "transform": tr, "t": t, "boostTerm": boost,
                    "weights": sample_weights(smp, tr, t, boost)})
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "spatial_golden.json")
    with open(path, "w") as f:
        json.dump(out, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
