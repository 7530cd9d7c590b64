"""The option table and what is derived from it: record()'s signature, the
README's tables, errors that name the command's flag, and a package whose
modules import one another in one direction only."""

import ast
import inspect
from pathlib import Path

import pytest

import velmar
from velmar import options
from velmar.cli import main, reference

ROOT = Path(__file__).parent.parent
PACKAGE = ROOT / "python" / "velmar"


def test_record_signature_is_the_table():
    parameters = inspect.signature(velmar.record).parameters.values()
    assert [(p.name, p.annotation, p.default) for p in parameters] == [
        (o.name, o.annotation, inspect.Parameter.empty if o.default is options.REQUIRED
         else o.default) for o in options.OPTIONS]


@pytest.mark.parametrize("expected", reference.readme_tables())
def test_readme_tables_are_the_table(expected):
    assert expected in (ROOT / "README.md").read_text(), expected


@pytest.mark.parametrize("argv, message", [
    (["{clip}", "--frames-per-file", "0"], "--frames-per-file must be at least 1, got 0"),
    (["{clip}", "--fps", "2000"], "--fps must be a positive number of frames per second"),
    (["{clip}", "--before", "1"], "--before applies to keep='motion'"),
    (["batch", "{clip}", "--output-dir", "{tmp}/out", "--threshold", "300"],
     "--threshold must be from 0 to 255, got 300"),
])
def test_errors_name_the_flag(argv, message, tmp_path, capsys):
    clip = tmp_path / "in.avi"
    clip.write_bytes((PACKAGE / "data" / "sample.avi").read_bytes())
    assert main([a.format(clip=clip, tmp=tmp_path) for a in argv]) == 2
    prog = "velmar batch" if argv[0] == "batch" else "velmar"
    assert capsys.readouterr().err.startswith(f"{prog}: error: {message}")


def test_help_groups_and_defaults_read_right():
    from velmar.cli import batch_command, record_command
    text = " ".join(record_command.build_parser().format_help().split())
    assert "(default: on)" not in text and "(default: light guard on)" in text
    motion = text.split("motion detection (with --motion):")[1].split("motion events")[0]
    assert all(flag in motion for flag in ("--threshold", "--min-area", "--kernel-width"))
    assert batch_command.build_parser().format_help().count("input and output:") == 1


def module_name(path: Path) -> str:
    return ".".join(path.relative_to(PACKAGE.parent).with_suffix("").parts).removesuffix(
        ".__init__")


def imported(path: Path, modules) -> set[str]:
    """The velmar modules a module imports, at its top or inside functions;
    its own packages, which every import of it runs first, left out."""
    name, found = module_name(path), set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            for alias in node.names:
                inner = f"{node.module}.{alias.name}"
                found.add(inner if inner in modules else node.module)
    return {m for m in found if m in modules and not name.startswith(m + ".") and m != name}


def test_no_module_imports_one_that_imports_it_back():
    modules = {module_name(path): path for path in PACKAGE.rglob("*.py")}
    graph = {name: imported(path, modules) for name, path in modules.items()}

    def reaches(start, goal, seen):
        return any(after == goal or (after not in seen and not seen.add(after)
                                     and reaches(after, goal, seen)) for after in graph[start])

    assert [name for name in graph if reaches(name, name, set())] == []


# Each part of velmar and the parts it may import: dependencies run one way,
# from the commands down to what every part shares.
LAYERS = {
    "shared": set(),
    "value_checks": set(),
    "parent_death": set(),
    "area_checks": {"value_checks"},
    "options": {"value_checks", "area_checks"},
    "detection": {"value_checks", "area_checks", "options"},
    "checking": {"shared"},
    "recording": {"shared", "value_checks", "detection", "options", "_engine"},
    "export": {"shared", "recording"},
    "mqtt": {"shared", "options", "recording"},
    "live": {"shared", "recording", "export"},
    "reporting": {"shared", "value_checks", "options", "recording"},
    "batch": {"shared", "options", "recording", "parent_death", "reporting"},
    "service": {"shared", "value_checks", "options", "recording", "live", "reporting",
                "parent_death", "mqtt"},
    "cli": {"shared", "value_checks", "options", "recording", "checking", "live", "reporting",
            "batch", "service", "export", "mqtt"},
}


def part(module: str) -> str:
    return module.split(".")[1] if module.count(".") else module


def test_parts_import_only_the_parts_below_them():
    modules = {module_name(path): path for path in PACKAGE.rglob("*.py")}
    wrong = sorted(f"{name} imports {other}" for name, path in modules.items()
                   if part(name) in LAYERS for other in imported(path, modules)
                   if part(other) != part(name) and part(other) not in LAYERS[part(name)])
    assert wrong == []
