"""Draw the pictures of the documentation into docs/img/.

    python docs/make_figures.py

Maps are in plain longitude/latitude degrees. Cell polygons come from
`zarel.cell_polygons` (shapely), country outlines from docs/data (public domain).
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
    doc = json.loads((DOCS / "data" / "countries.geo.json").read_text())
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


def main() -> None:
    IMG.mkdir(exist_ok=True)
    world = countries()
    base_cells(world)
    levels(world)


if __name__ == "__main__":
    main()
