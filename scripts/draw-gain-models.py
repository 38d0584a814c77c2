#!/usr/bin/env python3
"""Draws docs/gain-models.svg: the falloff server's gain against distance for
its three models, with the server's defaults (--near 2, --far 25) and a few
rolloffs. Run it again after changing the rules: python3 scripts/draw-gain-models.py"""
import pathlib

NEAR, FAR = 2.0, 25.0
CURVES = [  # model, rolloff, colour, dash
    ("linear", 1, "#1f77b4", ""),
    ("inverse", 1, "#d62728", ""),
    ("inverse", 2, "#d62728", "7 4"),
    ("exponential", 1, "#2ca02c", "2 4"),
    ("exponential", 2, "#2ca02c", "7 4"),
    ("exponential", 0.5, "#2ca02c", "12 3 2 3"),
]


def gain(model, rolloff, d, range_=FAR):
    n = NEAR * range_ / FAR
    if d >= range_:
        return 0.0
    if d <= n:
        return 1.0
    if model == "linear":
        return (range_ - d) / (range_ - n)
    if model == "inverse":
        return n / (n + rolloff * (d - n))
    return (d / n) ** -rolloff


W, H, LEFT, TOP, PW, PH, X_END = 860, 470, 70, 50, 560, 340, 30.0


def x(d):
    return LEFT + PW * d / X_END


def y(g):
    return TOP + PH * (1 - g)


def main():
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{W}" height="{H}" '
           'font-family="sans-serif" font-size="13">',
           '<rect width="100%" height="100%" fill="white"/>',
           f'<text x="{LEFT + PW / 2}" y="26" text-anchor="middle" font-size="16">'
           f'Gain against distance: --near {NEAR:g} --far {FAR:g} (the range of a speaker with no range line)</text>']
    for g in (0, 0.25, 0.5, 0.75, 1):
        out.append(f'<line x1="{LEFT}" x2="{LEFT + PW}" y1="{y(g)}" y2="{y(g)}" stroke="#ddd"/>'
                   f'<text x="{LEFT - 8}" y="{y(g) + 4}" text-anchor="end">{g:g}</text>')
    for d in range(0, int(X_END) + 1, 5):
        out.append(f'<line x1="{x(d)}" x2="{x(d)}" y1="{TOP}" y2="{TOP + PH}" stroke="#eee"/>'
                   f'<text x="{x(d)}" y="{TOP + PH + 18}" text-anchor="middle">{d}</text>')
    for d, label in ((NEAR, "near"), (FAR, "far")):
        out.append(f'<line x1="{x(d)}" x2="{x(d)}" y1="{TOP}" y2="{TOP + PH}" stroke="#888" '
                   f'stroke-dasharray="3 3"/><text x="{x(d) + 4}" y="{TOP + 14}" fill="#555">{label}</text>')
    out.append(f'<text x="{LEFT + PW / 2}" y="{TOP + PH + 40}" text-anchor="middle">'
               'distance from the speaker (metres)</text>')
    out.append(f'<text x="18" y="{TOP + PH / 2}" transform="rotate(-90 18 {TOP + PH / 2})" '
               'text-anchor="middle">gain</text>')
    for i, (model, rolloff, colour, dash) in enumerate(CURVES):
        pts = " ".join(f"{x(d):.1f},{y(gain(model, rolloff, d)):.1f}"
                       for d in [k * X_END / 600 for k in range(601)] if d < FAR)
        pts += f" {x(FAR):.1f},{y(0):.1f}"  # cut to 0 at the range
        style = f' stroke-dasharray="{dash}"' if dash else ""
        out.append(f'<polyline fill="none" stroke="{colour}" stroke-width="2"{style} points="{pts}"/>')
        ly = TOP + 10 + 24 * i
        label = model if model == "linear" else f"{model}, rolloff {rolloff:g}"
        out.append(f'<line x1="{LEFT + PW + 20}" x2="{LEFT + PW + 50}" y1="{ly}" y2="{ly}" stroke="{colour}" '
                   f'stroke-width="2"{style}/><text x="{LEFT + PW + 56}" y="{ly + 4}">{label}</text>')
    out.append(f'<text x="{LEFT + PW + 20}" y="{TOP + 10 + 24 * len(CURVES) + 10}" fill="#555">'
               '<tspan>inverse and exponential with</tspan>'
               f'<tspan x="{LEFT + PW + 20}" dy="16">rolloff 1 are the same curve.</tspan>'
               f'<tspan x="{LEFT + PW + 20}" dy="16">Every model is cut to 0 at</tspan>'
               f'<tspan x="{LEFT + PW + 20}" dy="16">the speaker\'s range.</tspan></text>')
    out.append("</svg>")
    path = pathlib.Path(__file__).resolve().parent.parent / "docs" / "gain-models.svg"
    path.write_text("\n".join(out) + "\n")
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
