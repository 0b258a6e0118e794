"""The hook monitor's report handling and peer analysis written plainly in Python, as the
oracle for the native implementation."""

import math

COOLDOWN = 30.0


def coerce_int(value, default=None):
    try:
        return int(value)
    except (TypeError, ValueError, OverflowError):
        return default


def coerce_float(value, default=None):
    try:
        return float(value)
    except (TypeError, ValueError, OverflowError):
        return default


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2.0


def stdev(values, mean):
    if len(values) < 2:
        return 0.0
    # (v - mean) ** 2 would raise OverflowError on huge values and end the thread; the
    # product is the same number and saturates to inf instead.
    return (sum((value - mean) * (value - mean) for value in values) / len(values)) ** 0.5


class Reference:
    def __init__(self, sigma=2.0, straggler=0.1):
        self.sigma, self.straggler = sigma, straggler
        self.latest, self.cooldowns = {}, {}

    def _fire(self, key, now):
        if self.cooldowns.get(key, 0) <= now:
            self.cooldowns[key] = now + COOLDOWN
            return True
        return False

    def add(self, payload, now, state=None):
        payload = dict(payload)
        rank = coerce_int(payload.get("rank"), 0)
        payload["rank"] = rank
        payload["timestamp"] = coerce_float(payload.get("timestamp"), now)
        self.latest[rank] = payload
        if state is not None and rank == 0:
            if payload.get("phase") is not None:
                state["phase"] = str(payload["phase"])
            if payload.get("step") is not None and coerce_int(payload["step"]) is not None:
                state["step"] = coerce_int(payload["step"])
        return self.analyse(payload, now)

    def analyse(self, payload, now):
        out = []
        rank, t = payload["rank"], payload["timestamp"]
        fresh = [r for r in self.latest.values()
                 if abs(coerce_float(r.get("timestamp"), t) - t) <= 15]
        peers = sorted(coerce_int(r.get("rank"), 0) for r in fresh)
        grads = [v for v in (coerce_float(r.get("gradient_norm")) for r in fresh) if v is not None]
        steps = [v for v in (coerce_float(r.get("step_time")) for r in fresh) if v is not None]

        # A norm that is not finite diverged by itself; the others are compared among
        # themselves, the finite ones only.
        g = coerce_float(payload.get("gradient_norm"))
        grads = [v for v in grads if math.isfinite(v)]
        divergence = None
        if g is not None and not math.isfinite(g):
            divergence = {"median_gradient_norm": median(grads) if grads else None,
                          "z_score": None, "ratio_trigger": False, "non_finite": True}
        elif g is not None and len(grads) >= 2:
            center = median(grads)
            sigma = max(stdev(grads, center), abs(center) * 0.05, 1e-6)
            z = abs(g - center) / sigma
            ratio = False
            if len(grads) == 2:
                above = [abs(v) for v in grads if abs(v) > 1e-9]
                smallest = min(above) if above else 0.0
                largest = max(abs(v) for v in grads)
                ratio = smallest > 0 and largest / smallest > 1.0 + self.sigma
            if z > self.sigma or ratio:
                divergence = {"median_gradient_norm": center, "z_score": round(z, 2),
                              "ratio_trigger": ratio}
        if divergence is not None and self._fire(("rank_divergence", rank), now):
            details = {"rank": rank, "gradient_norm": g,
                       "median_gradient_norm": divergence["median_gradient_norm"],
                       "z_score": divergence["z_score"],
                       "ratio_trigger": divergence["ratio_trigger"], "peer_ranks": peers}
            if divergence.get("non_finite"):
                details["non_finite"] = True  # said only of a norm that is not finite
            out.append(("rank_divergence", f"Rank {rank} gradient norm diverged from peers",
                        details))

        st = coerce_float(payload.get("step_time"))
        if st is not None and len(steps) >= 2:
            med = median(steps)
            if med > 1e-9 and st > med * (1.0 + self.straggler) and \
                    self._fire(("rank_straggler", rank), now):
                out.append(("rank_straggler", f"Rank {rank} is consistently slower than peers",
                            {"rank": rank, "step_time": st, "median_step_time": med,
                             "slowdown_pct": round((st / med - 1.0) * 100.0, 2),
                             "peer_ranks": peers}))

        phase_times = payload.get("phase_times")
        if isinstance(phase_times, dict):
            for name, duration in list(phase_times.items())[:32]:
                phase = str(name)
                if len(phase) > 128:
                    continue
                d = coerce_float(duration)
                if d is None:
                    continue
                durations = []
                for r in fresh:
                    pt = r.get("phase_times")
                    if not isinstance(pt, dict) or pt.get(phase) is None:
                        continue
                    v = coerce_float(pt[phase])
                    if v is not None:
                        durations.append(v)
                if len(durations) < 2:
                    continue
                med = median(durations)
                if med > 1e-9 and d > med * (1.0 + self.straggler) and \
                        self._fire(("phase_straggler:" + phase, rank), now):
                    out.append(("phase_straggler", f"Rank {rank} is slower than peers in {phase}",
                                {"rank": rank, "phase": phase, "duration": d,
                                 "median_duration": med,
                                 "slowdown_pct": round((d / med - 1.0) * 100.0, 2),
                                 "peer_ranks": peers}))
        return out
