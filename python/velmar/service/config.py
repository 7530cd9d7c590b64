"""The file of `velmar run`: a `[defaults]` table and a `[[camera]]` table
per camera, each holding a `name` and any option of the `velmar` command
under its name in the option table, with `http` and `http_password` for the
live view and `mqtt` and `mqtt_topic` for an MQTT broker. Every error of
the file is found before any camera starts: each is a line naming the
camera and the key."""

from __future__ import annotations

import os
import sys
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from velmar import value_checks
from velmar import options as table
from velmar.recording import sources

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

TOP_KEYS = (*table.LIVE_VIEW_BY_NAME, *table.MQTT_BY_NAME, "defaults", "camera")
CAMERA_KEYS: dict[str, table.Option] = {option.name: option for option in table.COMMAND}
# A flag's words as a key ("timestamp" for --timestamp) -> the option's name.
FLAG_WORDS = {name.lstrip("-").replace("-", "_"): option.name
              for option in table.COMMAND for flag in option.flags for name in flag.names
              if name.startswith("--")}
# A box without a screen: no camera opens a window unless its table asks.
# Every camera is copied where its stream fits the output's container.
RUN_DEFAULTS = {"preview": False, "codec": table.AUTO}


@dataclass(frozen=True)
class Camera:
    name: str
    options: dict[str, Any]  # record()'s, source and output among them
    live: bool = True  # a camera, a device or a stream; else a file, recorded once


@dataclass(frozen=True)
class Config:
    cameras: tuple[Camera, ...]
    http: tuple[str, int] | None
    http_password: str | None
    mqtt: str | None = None  # the broker's URL
    mqtt_topic: str = table.MQTT_BY_NAME["mqtt_topic"].default


class ConfigError(Exception):
    """The file's errors, a line each."""

    def __init__(self, problems: list[str]):
        super().__init__("\n".join(problems))
        self.problems = problems


def load(path: str, overrides: Mapping[str, Any] | None = None) -> Config:
    """The cameras of the file at `path`, every one checked; `overrides`
    (the command's --http, --http-password, --mqtt and --mqtt-topic) win
    over the file's."""
    document = _read(path)
    problems = [f"{key}: unknown key; the file holds {', '.join(TOP_KEYS)}"
                for key in document if key not in TOP_KEYS]
    address, password = _live_view(document, overrides or {}, problems)
    broker = _mqtt(document, overrides or {}, problems)
    defaults = _table(document.get("defaults", {}), "defaults", problems)
    in_defaults = [f"defaults: {problem}" for problem in _key_problems(defaults)]
    problems += in_defaults
    tables = _camera_tables(document, problems)
    cameras = [_camera(number, camera, defaults, problems, whole=not in_defaults)
               for number, camera in enumerate(tables, 1)]
    _check_apart([camera for camera in cameras if camera is not None], problems)
    if problems:
        raise ConfigError([f"{path}: {problem}" for problem in problems])
    return Config(tuple(cameras), address, password, **broker)


def _read(path: str) -> dict[str, Any]:
    try:
        with open(path, "rb") as file:
            return tomllib.load(file)
    except OSError as error:
        raise ConfigError([f"{path}: cannot read: {error.strerror or error}"]) from None
    except tomllib.TOMLDecodeError as error:
        raise ConfigError([f"{path}: not TOML: {error}"]) from None
    except UnicodeDecodeError:
        raise ConfigError([f"{path}: not TOML: not UTF-8 text"]) from None


def _table(value: Any, where: str, problems: list[str]) -> dict[str, Any]:
    if not isinstance(value, dict):
        problems.append(f"{where}: must be a table, not {value!r}")
        return {}
    return value


def _camera_tables(document: dict[str, Any], problems: list[str]) -> list[dict[str, Any]]:
    tables = document.get("camera")
    if tables is None:
        problems.append("camera: no [[camera]] table: one is needed per camera")
        return []
    if not isinstance(tables, list) or not all(isinstance(t, dict) for t in tables):
        problems.append("camera: must be [[camera]] tables, one per camera")
        return []
    return tables


def _live_view(document, overrides, problems) -> tuple[tuple[str, int] | None, str | None]:
    given = {name: document.get(name) for name in table.LIVE_VIEW_BY_NAME}
    given.update({name: value for name, value in overrides.items() if value is not None})
    for option in table.LIVE_VIEW_OPTIONS:  # what neither gives: the environment's
        if given[option.name] is None and option.command_default is not None:
            given[option.name] = option.command_default(given)
    try:
        return table.check_live_view(given)
    except value_checks.OptionError as error:
        problems.append(f"{error.option}: {error.problem}")
        return None, None


def _mqtt(document, overrides, problems) -> dict[str, Any]:
    """The broker's URL and the topics' prefix, checked."""
    chosen = {}
    for name, option in table.MQTT_BY_NAME.items():
        value = overrides.get(name)
        value = document.get(name, option.default) if value is None else value
        try:
            chosen[name] = option.checked(value)
        except value_checks.OptionError as error:
            problems.append(f"{name}: {error.problem}")
    return chosen


def _key_problems(values: Mapping[str, Any]) -> list[str]:
    """Each key's own problem: unknown, or a value its check refuses."""
    problems = []
    for key, value in values.items():
        option = CAMERA_KEYS.get(key)
        if option is None:
            known = FLAG_WORDS.get(key)
            problems.append(f"{key}: unknown key; " + (
                f"--{key.replace('_', '-')} is {known!r} here" if known is not None
                else "the keys are the names of velmar.record()'s options"))
            continue
        try:
            option.checked(value)
        except value_checks.OptionError as error:
            problems.append(f"{key}: {error.problem}")
    return problems


def _camera(number: int, own: dict[str, Any], defaults: dict[str, Any],
            problems: list[str], whole: bool) -> Camera | None:
    """A camera's options, checked key by key, then, when its defaults are
    sound (`whole`), together."""
    name = own.get("name")
    where = f"camera {name!r}" if isinstance(name, str) else f"camera {number}"
    found = [f"{where}: {problem}" for problem in _key_problems(own)]
    given = {**defaults, **own}
    for required in ("name", "source"):
        if required not in given:
            found.append(f"{where}: {required}: missing")
    if found or not whole:
        problems += found
        return None
    chosen = _with_defaults(given)
    found = [f"{where}: {problem}" for problem in _whole_problems(chosen)]
    problems += found
    if found:
        return None
    return Camera(name, chosen, sources.source(chosen["source"]).live)


def _with_defaults(given: dict[str, Any]) -> dict[str, Any]:
    """The options of a camera: its own, else the command's default from
    the others, else record()'s."""
    chosen = {"output": f"{given['name']}.mp4", **RUN_DEFAULTS, **given}
    for option in table.COMMAND:
        if option.name not in chosen:
            chosen[option.name] = (option.command_default(chosen) if option.command_default
                                   else option.default)
    return chosen


def _whole_problems(chosen: dict[str, Any]) -> list[str]:
    """What record() would refuse of these options together, found without recording."""
    from velmar.recording import check_options
    try:
        check_options(**chosen)
    except value_checks.OptionError as error:
        return [f"{error.option}: {error.problem}"]
    except (ValueError, TypeError, OSError) as error:
        return [str(error)]
    return []


def _check_apart(cameras: list[Camera], problems: list[str]) -> None:
    """No two cameras share a name or an output (its folder and name without extension)."""
    names: dict[str, int] = {}
    outputs: dict[str, str] = {}
    for camera in cameras:
        if camera.name in names:
            problems.append(f"camera {camera.name!r}: name: taken by another camera")
        names[camera.name] = 1
        output = os.fspath(camera.options["output"])
        key = os.path.normcase(os.path.abspath(os.path.splitext(output)[0]))
        if key in outputs:
            problems.append(f"camera {camera.name!r}: output: {output!r} is the output of "
                            f"camera {outputs[key]!r} too")
        outputs.setdefault(key, camera.name)
