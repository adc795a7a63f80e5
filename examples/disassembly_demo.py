"""Disassembly plans of whole assemblies: the generated ones of assemblies.py, written as OBJ
folders and planned through the command line (python -m zet_native.disassembly), and the
beam frame of ../shared/assemblies when it is there.

Pictures go to disassembly-<name>.png in the repository root (not tracked).
"""

import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import assemblies  # noqa: E402

from zet_native.disassembly.__main__ import main as plan_folders  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
BEAM_FRAME = REPO.parent / "shared" / "assemblies" / "beam-frame"


def main():
    status = 0
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("pinned-peg", "channel-stack", "captive-ring"):
            folder = assemblies.write_obj_folder(Path(tmp) / name, assemblies.ALL[name]())
            print()
            status |= plan_folders([str(folder), "--picture", str(REPO / f"disassembly-{name}.png"),
                                    "--threads", "2"])
    if BEAM_FRAME.is_dir():
        print()
        status |= plan_folders([str(BEAM_FRAME), "--picture", str(REPO / "disassembly-beam-frame.png"),
                                "--threads", "2", "--json", str(REPO / "disassembly-beam-frame.json")])
    else:
        print(f"\n({BEAM_FRAME} is not here: the beam frame is left out)")
    return status


if __name__ == "__main__":
    sys.exit(main())
