"""A Python module implemented in C++."""

__all__ = ["apply_lut"]

def apply_lut(lut_path: str, image_path: str, output_path: str) -> str:
    """Apply the 3D LUT in the cube file `lut_path` to the image at `image_path`
    and write the result as a JPEG to `output_path` (whatever its extension).

    Returns a status string:
      "success:ok"               the JPEG was written completely;
      "error:image_not_found"    the image could not be opened or decoded;
      "error:image_too_large"    a side above 65500 or more than 178,956,970
                                 pixels; refused before decoding;
      "error:output_not_written" the output could not be created or written;
                                 an existing file keeps its old contents.

    Raises TypeError for arguments that are not str, ValueError for an
    embedded NUL, a malformed LUT or a LUT smaller than 2 points, an OSError
    subclass when the LUT file cannot be opened, and MemoryError.
    """
    ...
