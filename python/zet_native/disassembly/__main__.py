"""python -m zet_native.disassembly DIR [DIR ...] [--json OUT.json] [--picture OUT.png]
[--threads N] [--scheduler ADDRESS] [--allowance F]

Plans the disassembly of each folder (its mesh files the parts, named by their stems) and
prints the sequence. Exit status 0 when every assembly was planned (whether or not every
part came out); 2 with a one-line reason on bad input or a failed assembly; 130 on Ctrl-C,
after printing the steps done so far.
"""

import argparse
import json
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from .cluster import Stopped, plan_many
from .parts import AssemblyError, checked_parts
from .planner import DEFAULT_ALLOWANCE, Interrupted, describe, plan


class Progress:
    """A tqdm bar over parts analysed (or assemblies planned) that shows itself only once the
    work has taken a second; nothing when tqdm is not installed."""

    def __init__(self, unit: str, total: int | None = None) -> None:
        try:
            from tqdm import tqdm  # type: ignore[import-untyped]
        except ImportError:
            self.bar: Any = None
            return
        self.bar = tqdm(total=total, unit=unit, delay=1.0, file=sys.stderr, leave=False)

    def __call__(self, n: int) -> None:
        if self.bar is not None:
            self.bar.update(n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# What matplotlib writes without further packages.
PICTURE_SUFFIXES = (".png", ".pdf", ".svg", ".jpg", ".jpeg", ".eps", ".ps", ".tif", ".tiff", ".webp")


def picture_path(base: str | Path, name: str, several: bool) -> Path:
    base = Path(base)
    return base.with_name(f"{base.stem}-{name}{base.suffix}") if several else base


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m zet_native.disassembly",
                                     description="Plan the disassembly of assemblies (folders of mesh files).")
    parser.add_argument("folders", nargs="+", metavar="DIR")
    parser.add_argument("--json", metavar="OUT.json", help="write the plans as JSON")
    parser.add_argument("--picture", metavar="OUT.png", help="draw each plan, one panel per step")
    parser.add_argument("--threads", type=int, default=1, help="parts of a step analysed at once")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="plan on this Dask scheduler (tcp://host:port)")
    parser.add_argument("--allowance", type=float, default=DEFAULT_ALLOWANCE,
                        help="overlap depth that does not block, as a fraction of the assembly's diagonal")
    args = parser.parse_args(argv)
    names = [Path(f).resolve().name for f in args.folders]
    if len(set(names)) != len(names):
        twice = next(n for n in names if names.count(n) > 1)
        print(f"error: two folders are named {twice!r} (the plans are keyed by the folders' names)", file=sys.stderr)
        return 2
    if args.threads < 1:
        print(f"error: --threads {args.threads}: at least 1", file=sys.stderr)
        return 2
    # Output that could not be written is found before the planning, not after it.
    inputs = {p.resolve() for f in args.folders if Path(f).is_dir() for p in Path(f).iterdir()}
    for flag, path in (("--json", args.json), ("--picture", args.picture)):
        if path is None:
            continue
        where = Path(path).resolve()
        reason = ("a folder" if where.is_dir() else f"no folder {where.parent}" if not where.parent.is_dir()
                  else "a file of an assembly being planned" if where in inputs else None)
        if reason is None and flag == "--picture" and where.suffix.lower() not in PICTURE_SUFFIXES:
            reason = f"not a picture file ({', '.join(PICTURE_SUFFIXES)})"
        if reason is not None:
            print(f"error: {flag} {path}: {reason}", file=sys.stderr)
            return 2
    options = {"allowance": args.allowance, "threads": args.threads}
    start = time.perf_counter()
    try:
        loaded = {n: checked_parts(f) for n, f in zip(names, args.folders)}
    except AssemblyError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("interrupted while reading the folders", file=sys.stderr)
        return 130
    if len(loaded) == 1 and not args.scheduler:
        name, parts = next(iter(loaded.items()))
        bar = Progress("parts", len(parts) * (len(parts) + 1) // 2)  # at most, when all come out
        try:
            plans = {name: plan(parts, progress=bar, **options).to_json()}
        except AssemblyError as error:
            print(f"error: {error}", file=sys.stderr)
            return 2
        except Interrupted as stop:
            bar.close()
            print("\n".join(describe(stop.plan.to_json(), name)))
            print("interrupted", file=sys.stderr)
            return 130
        finally:
            bar.close()
    else:
        client: Any = None
        if args.scheduler:
            try:
                from dask.distributed import Client
            except ImportError:
                print("error: --scheduler needs dask.distributed (pip install zet-native[cluster])", file=sys.stderr)
                return 2
            try:
                client = Client(args.scheduler)  # type: ignore[no-untyped-call]
            except KeyboardInterrupt:
                print("interrupted while connecting to the scheduler", file=sys.stderr)
                return 130
            except Exception as error:  # a malformed address, a refused or timed-out connection
                print(f"error: --scheduler {args.scheduler}: {error}".splitlines()[0], file=sys.stderr)
                return 2
        bar = Progress("assemblies", len(loaded))
        try:
            plans = plan_many(loaded, client, progress=bar, **options)
        except Stopped as stop:
            bar.close()
            for name, result in stop.plans.items():
                print("\n".join(describe(result, name)))
            print("interrupted", file=sys.stderr)
            return 130
        finally:
            bar.close()
            if client is not None:
                client.close()
    for name, result in plans.items():
        print("\n".join(describe(result, name)))
    print(f"planned in {time.perf_counter() - start:.1f} s")
    if args.json:
        try:
            Path(args.json).write_text(json.dumps(plans, indent=1))
        except OSError as error:
            print(f"error: --json {args.json}: {error.strerror or error}", file=sys.stderr)
            return 2
    if args.picture:
        try:
            from .picture import draw_plan
        except ImportError:
            pass
        for name, result in plans.items():
            if "failed" in result:
                continue
            try:
                draw_plan(picture_path(args.picture, name, len(plans) > 1), result, loaded[name], name)
            except ImportError:
                print("no picture: it needs matplotlib (pip install zet-native[picture])", file=sys.stderr)
                break
            except OSError as error:
                print(f"error: --picture {args.picture}: {error.strerror or error}", file=sys.stderr)
                return 2
    failed = [n for n, r in plans.items() if "failed" in r]
    if failed:
        print(f"error: {failed[0]}: {plans[failed[0]]['failed']}", file=sys.stderr)
        return 2
    return 0


def run() -> int:
    """main(), with a Ctrl-C outside the planning (while the cluster's libraries are imported,
    say) ending the command as one inside it does."""
    try:
        return main()
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(run())
