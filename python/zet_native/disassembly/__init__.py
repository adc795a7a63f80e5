"""Disassembly planning of whole assemblies, built on the ``zet_native`` functions.

Given the parts of an assembly in their assembled pose, ``plan`` finds an order in which
they can be taken apart, one part at a time, each by a straight translation, and says what
holds the parts that cannot leave:

- for every part still in place, candidate directions: the direction with the widest margin
  against the cones of blocked directions of its touching pairs (branch and bound over the
  sphere), the six axes, and, when none of those is free, ray-free directions of a grid
  rated by vertex rays;
- each candidate checked against every other part along the whole path, until the part's
  box has left the other's box, with the path query of the part shrunk by the allowance: an
  overlap blocks only when it is deeper than the allowance (two triangles of the shrunk part
  and the other part with a nonzero smallest separating translation, by separating axes), so
  touching, sliding along a face, the tessellation overlaps of a tight fit and a press fit
  within the allowance do not. Points inside the part are also tested against the other
  part's solid along the path;
- the blocking table: for each part and tested direction, the parts that block it;
- the sequence: among the parts that can leave, the one that leaves the fewest blockers
  behind, then the widest margin, then the smaller box, then the name (margins and box
  volumes, in the assembly's diagonal, that agree to 9 decimals are ties, so that the plan
  does not move with the assembly's position or scale).

The allowance defaults to 1e-4 of the assembly's diagonal (vertices that no triangle uses
are dropped first). Two parts that overlap deeper than it at rest are refused
(``AssemblyError`` naming the pair and the depth): where triangles of the two cross that
deep, or where the solids overlap with no surfaces crossing (a copy of a part, a part inside
another), found by points well inside one part lying inside the other; the depth is then a
lower bound. The deepest tolerated overlap of each part at rest is reported, so real
interferences show. Units are the caller's: an assembly whose largest box side is outside
2**-10 to 2**20 of them is planned in units of a power of two that bring that side between 1
and 2 (an exact scaling; every length of the plan is given back in the caller's units),
since the module's kernels have a few absolute thresholds that such sizes would meet.
Parts are meant to be closed solids. An open sheet has no inside of its own: at rest, points
of its surface deep inside another part refuse the pair, but along a path only its triangles
are checked, so a sheet moving through the inside of a solid, or a solid through a sheet
that lies within its cross-section, crosses no triangle and is not stopped.

Stated limits: each part moves once, by a translation to infinity (no rotations, no
sequences of moves, no subassemblies that leave together); directions are sampled (the
cone's best, the axes, a grid), so a part that could leave only along an untried direction is
reported as held. The shrinking moves each vertex along its normal far enough that every face
plane moves at least the allowance, up to four times as far at sharp corners: near the edges
and corners of the moving part, an overlap of up to about three times the allowance can pass.
Walls thinner than about three and a half allowances are shrunk through themselves; for a
part thin on the whole (a mean thickness under 16 allowances) the pairs this makes are
measured again as the part is, but the thin walls of a thick part can still be reported
blocked where they are free (give such assemblies a smaller allowance).

``plan_many`` plans many assemblies on Dask workers (an embedded ``LocalCluster`` when no
client is given), and ``python -m zet_native.disassembly DIR [DIR ...]`` does it all from the
command line.
"""

from .cluster import Stopped, plan_assembly, plan_many
from .parts import AssemblyError, checked_parts, load_folder, read_obj
from .planner import DEFAULT_ALLOWANCE, Interrupted, Plan, Step, describe, plan

__all__ = ["AssemblyError", "DEFAULT_ALLOWANCE", "Interrupted", "Plan", "Step", "Stopped", "checked_parts",
           "describe", "load_folder", "plan", "plan_assembly", "plan_many", "read_obj"]
