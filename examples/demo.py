"""Grades the generated landscape with the generated warm filmic LUT.

Run with `make demo`. Samples and output go to build/demo/.
"""

from __future__ import annotations

import sys
from pathlib import Path

import tonvik

sys.path.insert(0, str(Path(__file__).resolve().parent))
from samples import write_samples  # noqa: E402

DEMO_DIR = Path(__file__).resolve().parent.parent / "build" / "demo"
OUTPUT_NAME = "landscape_warm_film.jpg"


def main() -> int:
    lut_path, image_path = write_samples(DEMO_DIR)
    output_path = DEMO_DIR / OUTPUT_NAME
    status = tonvik.apply_lut(str(lut_path), str(image_path), str(output_path))
    print(f"status: {status}")
    print(f"output: {output_path}")
    return 0 if status == "success:ok" else 1


if __name__ == "__main__":
    sys.exit(main())
