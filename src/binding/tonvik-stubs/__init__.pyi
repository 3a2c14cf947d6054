"""A Python module implemented in C++."""

__all__ = ["apply_lut"]

def apply_lut(lut_path: str, image_path: str, output_path: str) -> str:
    """Formats the sum of two numbers as string."""
    ...
