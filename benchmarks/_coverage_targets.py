"""Issue 21's coverage targets, judged on the figures of the cases that ran."""

from __future__ import annotations

SIGNAL_NOISE = ("cv2-n40", "cv2-n40-o10", "cv4-n200", "cv4-n200-o10")
INVERSE_CASES = ("cv2-n40", "cv4-n200", "2comp-n40")


def signal_noise_misses(s: dict) -> list[str]:
    """Constant CV: flags, bands, prediction and coefficient intervals of ours."""
    missed = []
    if s["clean_flagged"] > 0.025:
        missed.append(f"clean flagged {100 * s['clean_flagged']:.1f}% > 2.5%")
    if s["outliers_flagged"] == s["outliers_flagged"] and s["outliers_flagged"] < 0.90:
        missed.append(f"outliers flagged {100 * s['outliers_flagged']:.1f}% < 90%")
    if s["band"] < 0.92:
        missed.append(f"band {100 * s['band']:.1f}% < 92%")
    if min(s["band_thirds"]) < 0.90:
        missed.append(f"band third {100 * min(s['band_thirds']):.1f}% < 90%")
    if min(s["pred_thirds"]) < 0.90:
        missed.append(f"prediction third {100 * min(s['pred_thirds']):.1f}% < 90%")
    if s["coef_worst"] < 0.92:
        missed.append(f"coefficient {100 * s['coef_worst']:.1f}% < 92%")
    return missed


def inverse_misses(r: dict) -> list[str]:
    """Ours' inverse intervals, one reading and the mean of 3: 92-98 % at every x."""
    missed = []
    for m in (1, 3):
        cover = r["inverse"][f"ours, m={m}"]["coverage"]
        bad = [f"{100 * v:.1f}" for v in cover if not 0.92 <= v <= 0.98]
        if bad:
            missed.append(f"m={m}: {', '.join(bad)}%")
    return missed


def expected_span(r: dict) -> str:
    """The range of ours' coverage given the fit (expected over the new readings), m = 1, 3."""
    spans = []
    for m in (1, 3):
        expected = r["inverse"][f"ours, m={m}"]["expected"]
        spans.append(f"m={m}: {100 * min(expected):.1f}-{100 * max(expected):.1f}%")
    return "; ".join(spans)


def constant_noise_misses(cases: dict) -> list[str]:
    """Constant noise within 93-97 % (n = 40), and coefficients of n = 15 at 92 % or more.

    93-97 % is where it stood: within about two standard errors of 95 % at 200 data sets.
    """
    missed = []
    if "const-n40" in cases:
        s = cases["const-n40"]["methods"]["ours"]
        figures = [s["band"], *s["pred_thirds"], s["coef_worst"]]
        bad = [f"{100 * v:.1f}" for v in figures if not 0.93 <= v <= 0.97]
        if bad:
            missed.append(f"n=40 outside 93-97%: {', '.join(bad)}%")
    if "const-n15" in cases:
        coef = cases["const-n15"]["methods"]["ours"]["coef_worst"]
        if coef < 0.92:
            missed.append(f"n=15 coefficient {100 * coef:.1f}% < 92%")
    return missed


def verdict(label: str, missed: list[str]) -> None:
    print(f"{label}: " + ("met" if not missed else "MISSED (" + "; ".join(missed) + ")"))


def report_targets(cases: dict) -> None:
    print("Targets (ours):")
    for key in SIGNAL_NOISE:
        if key in cases:
            verdict(f"  {key}: flags, bands, prediction, coefficients",
                    signal_noise_misses(cases[key]["methods"]["ours"]))
    for key in INVERSE_CASES:
        if key in cases:
            verdict(f"  {key}: inverse prediction 92-98%", inverse_misses(cases[key]))
            print(f"    given the fit: {expected_span(cases[key])}")
    if "const-n40" in cases or "const-n15" in cases:
        verdict("  constant noise", constant_noise_misses(cases))
