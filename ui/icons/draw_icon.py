#!/usr/bin/env python3
"""Draws the updater's icon, a chip with an upward arrow, at 32 x 32 and 16 x 16 in the 16
standard colours, and writes it as XPM (compiled into the program) and PNG (installed for the
desktop). Run from this folder: ./draw_icon.py; needs ImageMagick's convert for the PNGs."""
import subprocess

PALETTE = {  # XPM key: colour (a subset of the 16 standard colours, plus transparency)
    ' ': 'None', 'k': '#000000', 'g': '#808080', 's': '#C0C0C0', 'w': '#FFFFFF',
    'n': '#000080', 'b': '#0000FF', 'G': '#008000', 'l': '#00FF00', 'y': '#FFFF00',
}


def draw(size):
    grid = [[' '] * size for _ in range(size)]
    unit = size // 16
    body0, body1 = 3 * unit, 13 * unit - 1  # chip body, inclusive
    for y in range(body0, body1 + 1):
        for x in range(body0, body1 + 1):
            edge = x in (body0, body1) or y in (body0, body1)
            grid[y][x] = 'k' if edge else 'n'
    # pins on all four sides
    for i in range(body0 + unit, body1, 2 * unit):
        for d in range(unit):
            for p in range(1, 3 * unit):
                for (x, y) in ((i + d, body0 - p), (i + d, body1 + p), (body0 - p, i + d),
                               (body1 + p, i + d)):
                    if 0 <= x < size and 0 <= y < size:
                        grid[y][x] = 's' if p < 3 * unit - unit // 2 or unit == 1 else 'g'
    # orientation mark
    grid[body0 + unit][body0 + unit] = 'y'
    # upward arrow: head, then shaft
    cx = size // 2
    top = body0 + 2 * unit
    head = 3 * unit
    for r in range(head):
        for x in range(cx - r - 1, cx + r + 1):
            grid[top + r][x] = 'l' if r < head - 1 else 'G'
    for y in range(top + head, body1 - unit):
        for x in range(cx - unit, cx + unit):
            grid[y][x] = 'l'
    return grid


def write_xpm(name, grid):
    size = len(grid)
    used = sorted({c for row in grid for c in row})
    lines = [f'"{size} {size} {len(used)} 1",']
    lines += [f'"{c} c {PALETTE[c]}",' for c in used]
    lines += [f'"{"".join(row)}",' for row in grid]
    lines[-1] = lines[-1].rstrip(',')
    text = '/* XPM */\nstatic const char* const ' + name + '[] = {\n' + '\n'.join(lines) + '\n};\n'
    with open(name.replace('_', '-') + '.xpm', 'w') as out:
        out.write(text)


for size in (32, 16):
    name = f'ovrin_update_{size}'
    write_xpm(name, draw(size))
    subprocess.run(['convert', name.replace('_', '-') + '.xpm', name.replace('_', '-') + '.png'],
                   check=True)
