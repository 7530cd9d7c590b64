"""velmar: record video from a camera or a file into timestamped video files."""

__version__ = "0.1.0"
