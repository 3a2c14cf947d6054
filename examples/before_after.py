"""Draws the README's picture: the demo landscape before and after the demo grade.

    python examples/before_after.py [OUTPUT_PNG]     (or: make picture)

Grades the generated sample with tonvik.apply_lut exactly as the demo does,
then sets the original and the graded JPEG side by side, scaled down so that
the PNG stays small enough to keep in the repository.
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

from PIL import Image, ImageDraw, ImageFont

import tonvik

sys.path.insert(0, str(Path(__file__).resolve().parent))
from samples import write_samples  # noqa: E402

DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "docs" / "before-after.png"
SCALE = 0.75  # of the sample's size: the grain of a full-size pair makes a large PNG
GAP = 8  # pixels between and around the two halves
LABEL_HEIGHT = 28
LABEL_SIZE = 18
BACKGROUND = (255, 255, 255)
INK = (40, 40, 40)
# A 256-colour palette keeps the file small; dithering keeps the gradients of
# the sky smooth in it.
PALETTE_COLOURS = 256


def grade_sample(work: Path) -> tuple[Image.Image, Image.Image]:
    """The demo's input and its graded result, both loaded into memory."""
    lut_path, image_path = write_samples(work)
    graded_path = work / "graded.jpg"
    status = tonvik.apply_lut(str(lut_path), str(image_path), str(graded_path))
    if status != "success:ok":
        raise RuntimeError(f"grading the sample returned {status}")
    with Image.open(image_path) as before, Image.open(graded_path) as after:
        return before.convert("RGB"), after.convert("RGB")


def side_by_side(before: Image.Image, after: Image.Image) -> Image.Image:
    width, height = round(before.width * SCALE), round(before.height * SCALE)
    canvas = Image.new("RGB", (2 * width + 3 * GAP, height + LABEL_HEIGHT + GAP), BACKGROUND)
    draw = ImageDraw.Draw(canvas)
    font = ImageFont.load_default(size=LABEL_SIZE)
    for index, (label, image) in enumerate((("before", before), ("after: warm_film.cube", after))):
        left = GAP + index * (width + GAP)
        canvas.paste(image.resize((width, height), Image.Resampling.LANCZOS), (left, LABEL_HEIGHT))
        draw.text((left, LABEL_HEIGHT // 2), label, fill=INK, font=font, anchor="lm")
    return canvas


def main(argv: list[str]) -> int:
    output = Path(argv[1]) if len(argv) > 1 else DEFAULT_OUTPUT
    with tempfile.TemporaryDirectory() as work:
        before, after = grade_sample(Path(work))
    picture = side_by_side(before, after).quantize(colors=PALETTE_COLOURS, method=Image.Quantize.MEDIANCUT)
    output.parent.mkdir(parents=True, exist_ok=True)
    picture.save(output, optimize=True)
    print(f"{output}: {picture.width}x{picture.height}, {output.stat().st_size // 1024} KiB")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
