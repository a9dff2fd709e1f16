"""Runs every benchmark script in this directory (bench_*.py) at its full size.

A failing script is reported and the others still run; the exit status says whether all passed.
"""

import importlib
import pathlib
import sys
import traceback

HERE = pathlib.Path(__file__).resolve().parent


def main():
    sys.path.insert(0, str(HERE))
    failed = []
    for path in sorted(HERE.glob("bench_*.py")):
        print(f"== {path.stem}", flush=True)
        try:
            importlib.import_module(path.stem).run()
        except Exception:
            traceback.print_exc()
            failed.append(path.stem)
        print(flush=True)
    if failed:
        print("failed: " + ", ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
