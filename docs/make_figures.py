"""Draw the pictures of the documentation into docs/img/.

    python docs/make_figures.py

Maps are in plain longitude/latitude degrees. Cell polygons come from
`zarel.cell_polygons` (shapely), country outlines from examples/data (public domain).
Needs matplotlib and shapely; the output is committed so readers need neither.
"""

from __future__ import annotations

import json
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import shapely  # noqa: E402
import shapely.affinity  # noqa: E402

import zarel  # noqa: E402

DOCS = Path(__file__).resolve().parent
IMG = DOCS / "img"
BASE_COLOURS = ["#8dd3c7", "#ffffb3", "#bebada", "#fb8072", "#80b1d3", "#fdb462"]


def countries() -> list[shapely.Geometry]:
    doc = json.loads((DOCS.parent / "examples" / "data" / "countries.geo.json").read_text())
    return [shapely.geometry.shape(f["geometry"]) for f in doc["features"]]


def wrapped(poly: shapely.Geometry) -> list[shapely.Geometry]:
    """The polygon, and its copy one turn west when it runs east of 180 degrees."""
    out = [poly]
    if poly.bounds[2] > 180:
        out.append(shapely.affinity.translate(poly, -360))
    return out


def fill(ax: plt.Axes, polys: np.ndarray, colours: list[str] | str, edge: str = "#333333",
         width: float = 0.6, alpha: float = 1.0) -> None:
    colours = [colours] * len(polys) if isinstance(colours, str) else colours
    for poly, colour in zip(polys, colours):
        for part in wrapped(poly):
            x, y = part.exterior.xy
            ax.fill(x, y, facecolor=colour, edgecolor=edge, linewidth=width, alpha=alpha)


def outlines(ax: plt.Axes, shapes: list[shapely.Geometry], colour: str = "#555555", width: float = 0.4) -> None:
    for shape in shapes:
        for part in getattr(shape, "geoms", [shape]):
            x, y = part.exterior.xy
            ax.plot(x, y, color=colour, linewidth=width)


def world_axes(title: str, size: tuple[float, float] = (10, 5.4)) -> tuple[plt.Figure, plt.Axes]:
    fig, ax = plt.subplots(figsize=size, dpi=110)
    ax.set_xlim(-180, 180)
    ax.set_ylim(-90, 90)
    ax.set_aspect("equal")
    ax.set_xticks(range(-180, 181, 60))
    ax.set_yticks(range(-90, 91, 30))
    ax.grid(color="#dddddd", linewidth=0.5)
    ax.set_title(title)
    return fig, ax


def save(fig: plt.Figure, name: str) -> None:
    fig.tight_layout()
    fig.savefig(IMG / name)
    plt.close(fig)
    print(f"wrote docs/img/{name}")


def base_cells(world: list[shapely.Geometry]) -> None:
    cids = np.arange(9, 15, dtype=np.uint64)
    fig, ax = world_axes("The six base cells of the default profile (WGS84, lon_0 = 50\u00b0)")
    fill(ax, zarel.cell_polygons(cids, n=60), BASE_COLOURS)
    outlines(ax, world)
    lon, lat = zarel.cells_to_lonlat(cids)
    for cid, x, y in zip(cids, lon, lat):
        y = np.clip(y, -75, 75)
        ax.text(x, y, zarel.cid_to_suid(int(cid)), ha="center", va="center", fontsize=18, weight="bold")
    save(fig, "base_cells.png")


def levels(world: list[shapely.Geometry]) -> None:
    """One equatorial base cell at levels 1 and 2: aperture 9, equal areas."""
    q = zarel.suid_to_cid("Q")
    level1 = q * 9 + np.arange(9, dtype=np.uint64)
    level2 = (level1[:, None] * 9 + np.arange(9, dtype=np.uint64)).ravel()
    fig, ax = plt.subplots(figsize=(7, 4.2), dpi=110)
    fill(ax, zarel.cell_polygons(level2), "#ffffff", edge="#999999", width=0.4)
    fill(ax, zarel.cell_polygons(level1), "none", edge="#222222", width=1.4)
    lon, lat = zarel.cells_to_lonlat(level1)
    for cid, x, y in zip(level1, lon, lat):
        ax.text(x, y, zarel.cid_to_suid(int(cid)), ha="center", va="center", fontsize=11, weight="bold")
    outlines(ax, world, colour="#4a7fb0", width=0.5)
    ax.set_xlim(45, 145)
    ax.set_ylim(-45, 45)
    ax.set_aspect("equal")
    area1, area2 = zarel.cell_area_m2(1), zarel.cell_area_m2(2)
    ax.set_title(f"Base cell Q: 9 cells of level 1 ({area1 / 1e6:,.0f} km\u00b2 each), 81 of level 2")
    save(fig, "levels.png")


def country(name: str) -> dict:
    doc = json.loads((DOCS.parent / "examples" / "data" / "countries.geo.json").read_text())
    return next(f for f in doc["features"] if f["properties"]["name"] == name)


def draw_tree(ax: plt.Axes, tree: zarel.Tree, colour: str, edge: str = "#333333", alpha: float = 1.0) -> None:
    fill(ax, zarel.cell_polygons(tree.cells(), n=8), colour, edge=edge, width=0.4, alpha=alpha)


def country_axes(ax: plt.Axes, shapes: list[shapely.Geometry], box: tuple[float, float, float, float]) -> None:
    outlines(ax, shapes, colour="#000000", width=0.9)
    ax.set_xlim(box[0], box[2])
    ax.set_ylim(box[1], box[3])
    ax.set_aspect("equal")


def country_fill(world: list[shapely.Geometry]) -> None:
    """Spain at two resolutions: inner cells stay coarse in the canonical form."""
    spain = country("Spain")
    shape = shapely.geometry.shape(spain["geometry"])
    box = (-10.5, 35.3, 4.2, 44.6)
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.6), dpi=110)
    for ax, resolution in zip(axes, (5, 6)):
        tree = zarel.tree_from_geojson(shape, resolution)
        draw_tree(ax, tree, "#fdb462")
        outlines(ax, world, colour="#999999", width=0.4)
        country_axes(ax, [shape], box)
        levels_used = sorted({len(zarel.cid_to_suid(c)) - 1 for c in tree.cells()})
        ax.set_title(f"resolution {resolution}: {tree.leaf_count()} cells,\n"
                     f"{len(tree.cells())} canonical cells of levels {levels_used[0]}-{levels_used[-1]}")
    fig.suptitle("Spain filled by the nucleus rule (a cell is in when its centre is inside)")
    save(fig, "country_fill.png")


def modes(world: list[shapely.Geometry]) -> None:
    """One country at one level in the three containment modes."""
    resolution = 5
    spain = shapely.geometry.shape(country("Spain")["geometry"])
    box = (-10.5, 35.3, 4.2, 44.6)
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.4), dpi=110)
    for ax, mode, colour in zip(axes, ("inside", "nucleus", "overlap"), ("#80b1d3", "#fdb462", "#fb8072")):
        tree = zarel.tree_from_geojson(spain, resolution, mode=mode)
        draw_tree(ax, tree, colour)
        outlines(ax, world, colour="#999999", width=0.4)
        country_axes(ax, [spain], box)
        ax.set_title(f'mode="{mode}": {tree.leaf_count()} cells')
    fig.suptitle(f"Spain at resolution {resolution}: cells wholly inside, cells whose centre is inside, "
                 "cells that overlap")
    save(fig, "modes.png")


def union_divergence(world: list[shapely.Geometry]) -> None:
    """Spain and Portugal, their union, and where the union diverges from Spain."""
    resolution = 5
    spain, portugal = (shapely.geometry.shape(country(n)["geometry"]) for n in ("Spain", "Portugal"))
    a = zarel.tree_from_geojson(spain, resolution)
    b = zarel.tree_from_geojson(portugal, resolution)
    u = a.union(b)
    box = (-10.5, 35.3, 4.2, 44.6)
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.6), dpi=110)
    draw_tree(axes[0], a, "#fdb462")
    draw_tree(axes[0], b, "#80b1d3")
    country_axes(axes[0], [spain, portugal], box)
    axes[0].set_title(f"a = Spain, b = Portugal, resolution {resolution}\n"
                      f"union: {u.leaf_count()} cells, root {u.root_hex[:12]}...")
    draw_tree(axes[1], u, "#eeeeee", edge="#bbbbbb")
    diverging = np.array([row["cid"] for row in a.divergence(u)], dtype=np.uint64)
    fill(axes[1], zarel.cell_polygons(diverging, n=8), "#e31a1c", edge="#7f0000", width=0.8, alpha=0.55)
    country_axes(axes[1], [spain, portugal], box)
    axes[1].set_title(f"a.divergence(a.union(b)): {len(diverging)} maximal cells\n"
                      "where the two roots' trees differ")
    save(fig, "union_divergence.png")


def outline(world: list[shapely.Geometry]) -> None:
    """Norway, Sweden and Finland at level 6: the canonical cells and the outline of their union."""
    nordic = [shapely.geometry.shape(country(n)["geometry"]) for n in ("Norway", "Sweden", "Finland")]
    tree = zarel.tree_from_geojson(shapely.union_all(nordic), 6)
    box = (3.5, 54.5, 32.5, 71.8)
    fig, axes = plt.subplots(1, 2, figsize=(11, 5.6), dpi=110)
    draw_tree(axes[0], tree, "#bebada")
    country_axes(axes[0], nordic, box)
    axes[0].set_title(f"{len(tree.cells())} canonical cells of levels "
                      f"{min(map(len, map(zarel.cid_to_suid, tree.cells()))) - 1}-6")
    shape = tree.outline(n=8)
    parts = list(getattr(shape, "geoms", [shape]))
    for part in parts:
        x, y = part.exterior.xy
        axes[1].fill(x, y, facecolor="#bebada", edgecolor="#3f007d", linewidth=1.0)
        for hole in part.interiors:
            x, y = hole.xy
            axes[1].fill(x, y, facecolor="white", edgecolor="#3f007d", linewidth=0.8)
    outlines(axes[1], world, colour="#999999", width=0.4)
    country_axes(axes[1], nordic, box)
    holes = sum(len(p.interiors) for p in parts)
    axes[1].set_title(f"tree.outline(n=8): {len(parts)} parts, {holes} holes,\n"
                      "edges between covered and uncovered cells")
    fig.suptitle("The outline of a coverage in the north polar cell N, its curved edges included")
    save(fig, "outline.png")


def main() -> None:
    IMG.mkdir(exist_ok=True)
    world = countries()
    base_cells(world)
    levels(world)
    country_fill(world)
    modes(world)
    union_divergence(world)
    outline(world)


if __name__ == "__main__":
    main()
