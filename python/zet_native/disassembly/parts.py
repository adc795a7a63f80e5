"""The parts of an assembly: read from a folder of mesh files or taken from a mapping, and
checked before any planning, so that bad input fails with one clear line instead of a plan
of nonsense."""

from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

MESH_SUFFIXES = (".obj", ".stl", ".ply")

Mesh = tuple[np.ndarray, np.ndarray]  # vertices (n, 3), triangles (m, 3)
# What the planner takes as an assembly: name -> (vertices, triangles) of array-likes, such pairs, or a folder.
PartsLike = Mapping[Any, Any] | Iterable[Any] | str | Path


class AssemblyError(ValueError):
    """Input that cannot be planned: the message is one line saying what and where."""


def read_obj(path: str | Path) -> Mesh:
    """Vertices (float64 (n, 3)) and triangles (uint32 (m, 3)) of a Wavefront OBJ file.

    Polygons are fanned into triangles; texture and normal indices (``f 1/2/3``) are ignored,
    negative indices count from the latest vertex, as the format says."""
    vertices: list[list[float]] = []
    triangles: list[list[int]] = []
    # utf-8-sig: a byte-order mark, as some editors write it, is not part of the first record.
    with open(path, encoding="utf-8-sig", errors="replace") as f:
        for number, line in enumerate(f, 1):
            fields = line.split()
            if not fields:
                continue
            try:
                if fields[0] == "v":
                    vertices.append([float(x) for x in fields[1:4]])
                elif fields[0] == "f":
                    corners = []
                    for field in fields[1:]:
                        k = int(field.split("/")[0])
                        corners.append(k - 1 if k > 0 else len(vertices) + k)
                    triangles.extend([corners[0], corners[i], corners[i + 1]]
                                     for i in range(1, len(corners) - 1))
            except ValueError as error:
                raise AssemblyError(
                    f"{path}: line {number} is not a valid OBJ record: {line.strip()[:60]}") from error
    if any(len(v) != 3 for v in vertices):
        raise AssemblyError(f"{path}: a vertex has fewer than three coordinates")
    v = np.asarray(vertices, dtype=np.float64).reshape(-1, 3)
    t = np.asarray(triangles, dtype=np.int64).reshape(-1, 3)
    if len(t) and (t.min() < 0 or t.max() >= len(v)):
        raise AssemblyError(f"{path}: a face refers to a vertex that does not exist")
    return v, t.astype(np.uint32)


def read_mesh(path: str | Path) -> Mesh:
    """One mesh file: OBJ with our own reader, STL and PLY through trimesh."""
    path = Path(path)
    if path.suffix.lower() == ".obj":
        return read_obj(path)
    try:
        import trimesh
    except ImportError as error:
        raise AssemblyError(
            f"{path}: reading {path.suffix} files needs trimesh (pip install zet-native[mesh])") from error
    try:
        mesh: Any = trimesh.load(path, force="mesh", process=False)
    except Exception as error:  # trimesh raises many kinds; the user needs the file and the reason
        raise AssemblyError(f"{path}: not a readable {path.suffix[1:].upper()} file "
                            f"({type(error).__name__}: {error})".splitlines()[0]) from error
    return np.asarray(mesh.vertices, dtype=np.float64), np.asarray(mesh.faces, dtype=np.uint32)


def load_folder(folder: str | Path) -> dict[str, Mesh]:
    """name -> (vertices, triangles) of the mesh files in a folder, named by their stems,
    in name order."""
    folder = Path(folder)
    if not folder.is_dir():
        raise AssemblyError(f"{folder}: not a folder")
    # Hidden files (a dot first: editors' and file managers' own, macOS's ._ copies) are not parts.
    files = sorted(p for p in folder.iterdir() if p.suffix.lower() in MESH_SUFFIXES and not p.name.startswith("."))
    # A mesh name that is no regular file (a dangling link, a pipe, a folder) would be a part
    # missing from the plan without a word, or a read that never ends.
    odd = [p for p in files if not p.is_file()]
    if odd:
        raise AssemblyError(f"{odd[0]}: not a readable file (a dangling link, a folder or a device)")
    if not files:
        raise AssemblyError(f"{folder}: no mesh files ({', '.join(MESH_SUFFIXES)})")
    parts: dict[str, Mesh] = {}
    for path in files:
        if path.stem in parts:
            raise AssemblyError(f"{folder}: two mesh files are named {path.stem!r}")
        parts[path.stem] = read_mesh(path)
    return parts


def checked_parts(parts: PartsLike) -> dict[str, Mesh]:
    """The parts as name -> (float64 C-contiguous (n, 3), uint32 C-contiguous (m, 3)), in the
    given order, after checking every rule the planner relies on.

    ``parts`` is a mapping name -> (vertices, triangles) of array-likes, a sequence of
    (name, (vertices, triangles)) pairs, or a folder of mesh files."""
    if isinstance(parts, (str, Path)):
        parts = load_folder(parts)
    try:
        items: list[Any] = list(parts.items()) if hasattr(parts, "items") else list(parts)
    except TypeError as error:
        raise AssemblyError("the parts must be a mapping name -> (vertices, triangles), such pairs, or a folder, "
                            f"not {type(parts).__name__}") from error
    if not items:
        raise AssemblyError("the assembly has no parts")
    checked: dict[str, Mesh] = {}
    for item in items:
        try:
            name, (vertices, triangles) = item
        except (TypeError, ValueError) as error:
            raise AssemblyError("each part must be a name with a (vertices, triangles) pair") from error
        name = str(name)
        if name in checked:
            raise AssemblyError(f"two parts are named {name!r}")
        checked[name] = _checked_mesh(name, vertices, triangles)
    return checked


def _checked_mesh(name: str, vertices: npt.ArrayLike, triangles: npt.ArrayLike) -> Mesh:
    try:
        v = np.asarray(vertices, dtype=np.float64)
        t = np.asarray(triangles)
    except (TypeError, ValueError) as error:
        raise AssemblyError(f"part {name!r}: not numeric arrays ({error})") from error
    if v.ndim != 2 or v.shape[1] != 3 or t.ndim != 2 or t.shape[1] != 3:
        raise AssemblyError(f"part {name!r}: vertices and triangles must be (n, 3) arrays")
    if len(v) == 0 or len(t) == 0:
        raise AssemblyError(f"part {name!r} is empty")
    if not np.isfinite(v).all():
        raise AssemblyError(f"part {name!r} has NaN or infinite coordinates")
    if not np.issubdtype(t.dtype, np.integer):
        if not np.issubdtype(t.dtype, np.floating) or not np.array_equal(t, np.round(t)):
            raise AssemblyError(f"part {name!r}: triangle indices must be integers")
    # Range checked before the conversion to int64, which would wrap the largest unsigned values.
    low, high = t.min(), t.max()
    if low < 0 or high >= len(v):
        raise AssemblyError(f"part {name!r} has faces out of range (vertex index "
                            f"{int(low) if low < 0 else int(high)}, {len(v)} vertices)")
    t = t.astype(np.int64)
    # Vertices that no triangle uses are dropped (the others keep their order): they are not
    # part of the solid, and would otherwise widen its box, the assembly's size and so the
    # allowance. Own copies: arrays that arrive from elsewhere (a Dask worker's deserialised
    # buffers, a caller's read-only views) are made plain aligned native arrays here, once.
    used = np.zeros(len(v), dtype=bool)
    used[t.reshape(-1)] = True
    if not used.all():
        v, t = v[used], (np.cumsum(used) - 1)[t]
    return np.array(v, dtype=np.float64, order="C"), np.array(t, dtype=np.uint32, order="C")
