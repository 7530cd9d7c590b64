"""Rewrites the README's option tables from the option table, in the README's
order. tests/test_options.py checks them."""

from pathlib import Path

from velmar.cli import reference

README = Path(__file__).resolve().parent.parent / "README.md"


def main() -> None:
    lines, out, tables = README.read_text().split("\n"), [], iter(reference.readme_tables())
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
