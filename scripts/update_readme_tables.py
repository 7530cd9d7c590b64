"""Rewrites the README's option tables from the option table, in order: the
velmar command's, then velmar batch's. tests/test_options.py checks them."""

from pathlib import Path

from velmar import options
from velmar.cli import common, record_command, reference

README = Path(__file__).resolve().parent.parent / "README.md"
TABLES = [reference.markdown(record_command.FLAGS),
          reference.markdown((*options.BATCH_OPTIONS, *common.REPORTING))]


def main() -> None:
    lines, out, tables = README.read_text().split("\n"), [], iter(TABLES)
    i = 0
    while i < len(lines):
        if lines[i] == reference.HEADER.split("\n")[0]:
            while i < len(lines) and lines[i].startswith("|"):
                i += 1
            out.extend(next(tables).split("\n"))
            continue
        out.append(lines[i])
        i += 1
    README.write_text("\n".join(out))


if __name__ == "__main__":
    main()
