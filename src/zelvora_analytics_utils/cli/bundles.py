"""Bundles by path: their kind, loading and validating their model, and writing outputs
(bundles, result files) so that nothing partial or unintended is left or replaced."""

from __future__ import annotations

import argparse
import contextlib
import gzip
import json
import os
import shutil
import stat
import sys
import tempfile
import zipfile
from collections.abc import Iterator, Sequence
from typing import Any, Optional, TextIO

from zelvora_analytics_utils.cli.common import (
    EXIT_OK,
    PROG,
    CommandError,
    InvalidModel,
    describe,
    one_line,
    print_json,
    stop_signals_held,
)

__all__ = [
    "command_convert",
    "load_content",
    "load_model",
    "open_output",
    "parse_model",
    "save_content",
]


# --- bundles -------------------------------------------------------------------------------

ARCHIVE_MAGIC = {
    b"PK\x03\x04": "zip",
    b"PK\x05\x06": "zip",  # an empty zip archive
    b"\x1f\x8b": "tar",  # gzip
    b"BZh": "tar",
    b"\xfd7zXZ\x00": "tar",
}


def bundle_kind(path: str) -> str:
    """"directory", "tar" or "zip", from the file's first bytes rather than its name."""
    if not os.path.lexists(path):
        raise CommandError(f"{path}: no such file or directory")
    if os.path.isdir(path):
        return "directory"
    if not os.path.isfile(path):  # a FIFO or a device would block or never end
        raise CommandError(f"{path}: not a bundle (neither a directory nor a regular file)")
    try:
        with open(path, "rb") as file:
            head = file.read(512)
    except OSError as error:
        raise CommandError(f"{path}: {error.strerror}") from error
    for magic, kind in ARCHIVE_MAGIC.items():
        if head.startswith(magic):
            return kind
    if head[257:262] == b"ustar":
        return "tar"
    if zipfile.is_zipfile(path):  # a zip with data in front of it
        return "zip"
    raise CommandError(f"{path}: not a bundle (neither a directory nor a tar or zip archive)")


def load_content(path: str) -> Any:
    """The content bundle stored at `path`, whatever its kind."""
    from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent

    kind = bundle_kind(path)
    try:
        # By path: the loaders bound what they read; reading the file here would not.
        if kind == "directory":
            return AugmentedPredictiveModelContent.load_from_directory(path)
        if kind == "zip":
            return AugmentedPredictiveModelContent.load_from_zip(path)
        return AugmentedPredictiveModelContent.load_from_tar(path)
    except Exception as error:  # the loaders' errors are the user's input errors
        raise CommandError(f"{path}: cannot read the {kind} bundle: {describe(error)}") from error


def location_text(location: Sequence[Any]) -> str:
    return ".".join(str(part) for part in location) or "(model)"


def yaml_problem(error: Exception) -> str:
    """A YAML syntax error as "line L column C: problem (context)"."""
    mark, problem = getattr(error, "problem_mark", None), getattr(error, "problem", None)
    if mark is None or not problem:
        return describe(error)
    context = getattr(error, "context", None)
    where = f"line {mark.line + 1} column {mark.column + 1}"
    return f"{where}: {problem}" + (f" ({context})" if context else "")


def parse_failure(error: Exception) -> list[tuple[str, str]]:
    """The (location, message) pairs of a failed model parse."""
    from pydantic import ValidationError

    if isinstance(error, ValidationError):
        return [
            (location_text(item["loc"]), one_line(item["msg"]))
            for item in error.errors(include_url=False)
        ]
    if isinstance(error, json.JSONDecodeError):
        return [("external_model.json", f"line {error.lineno} column {error.colno}: {error.msg}")]
    if type(error).__module__.startswith("ruamel.yaml"):
        return [("extended_model.yaml", yaml_problem(error))]
    if isinstance(error, KeyError):
        return [("attached_images", f"no file in the bundle for image {error.args[0]!r}")]
    return [("(bundle)", describe(error))]


def parse_model(content: Any, path: str) -> Any:
    """The validated model of a bundle; InvalidModel when it does not validate."""
    from zelvora_analytics_utils.predictive_models.augmented_predictive_model import (
        AugmentedPredictiveModel,
    )

    try:
        # Whatever the model prints while loading is a message, not output.
        with contextlib.redirect_stdout(sys.stderr):
            return AugmentedPredictiveModel.parse_from_content(content)
    except Exception as error:  # every failure here is one of the document
        raise InvalidModel(path, parse_failure(error)) from error


def load_model(path: str) -> Any:
    return parse_model(load_content(path), path)


# --- writing without leaving anything partial ------------------------------------------------


def current_umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def new_path(target: str, directory: bool) -> Iterator[str]:
    """A temporary file or directory beside `target`, moved to `target` when the block
    succeeds and removed when it fails. An existing `target` is never replaced."""
    parent = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(parent):
        raise CommandError(f"{os.path.dirname(target) or '.'}: no such directory")
    prefix = "." + os.path.basename(os.path.normpath(target)) + "."
    temporary: Optional[str] = None
    try:
        with stop_signals_held():
            if directory:
                temporary = tempfile.mkdtemp(prefix=prefix, suffix=".part", dir=parent)
            else:
                handle, temporary = tempfile.mkstemp(prefix=prefix, suffix=".part", dir=parent)
                os.close(handle)
        os.chmod(temporary, (0o777 if directory else 0o666) & ~current_umask())
        yield temporary
        if directory:
            # rename() would replace an empty directory: test first.
            if os.path.lexists(target):
                raise CommandError(f"{target}: already exists; not overwritten")
            os.rename(temporary, target)
        else:
            # link() fails rather than replace what appeared meanwhile.
            try:
                os.link(temporary, target)
            except FileExistsError:
                raise CommandError(f"{target}: already exists; not overwritten") from None
            os.unlink(temporary)
    except BaseException:
        if temporary is None:
            pass
        elif directory:
            shutil.rmtree(temporary, ignore_errors=True)
        else:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
        raise


def write_file(path: str, data: bytes) -> None:
    with open(path, "wb") as file:
        file.write(data)
        file.flush()
        os.fsync(file.fileno())


TARGET_SUFFIXES = ((".tar.gz", "tar.gz"), (".tgz", "tar.gz"), (".tar", "tar"), (".zip", "zip"))


def target_kind(target: str) -> str:
    """The container a target name asks for: by suffix, any case; a directory otherwise."""
    lowered = target.lower()
    for suffix, kind in TARGET_SUFFIXES:
        if lowered.endswith(suffix):
            return kind
    return "directory"


def image_subdirectories(content: Any) -> set[str]:
    """Subdirectories that image names such as plots/roc.png (from a tar) need."""
    needed = set()
    for key in content.attached_images:
        parts = key.split("/")[:-1]
        if parts and not key.startswith("/") and ".." not in parts:
            needed.add(os.path.join(*parts))
    return needed


def save_content(content: Any, target: str, kind: str) -> None:
    if kind == "directory":
        with new_path(target, directory=True) as temporary:
            for subdirectory in sorted(image_subdirectories(content)):
                os.makedirs(os.path.join(temporary, subdirectory), exist_ok=True)
            content.save_to_directory(temporary)
        return
    if kind == "zip":
        data = content.save_to_zip().getvalue()
    else:
        data = content.save_to_tar().getvalue()
        if kind == "tar.gz":
            data = gzip.compress(data, mtime=0)
    with new_path(target, directory=False) as temporary:
        write_file(temporary, data)



def same_file(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def existing_output(
    path: str, protected: Sequence[tuple[str, os.stat_result]], bundle_directory: Optional[str]
) -> Optional[os.stat_result]:
    """What is at an output path (None: nothing), once it is known that it may be written:
    not a file that the command reads, not a symbolic link, not a directory."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise CommandError(describe(error)) from error
    try:
        resolved: Optional[os.stat_result] = os.stat(path)
    except OSError:  # a dangling symbolic link
        resolved = None
    if resolved is not None:
        for what, known in protected:
            if same_file(resolved, known):
                raise CommandError(f"{path}: is the {what}; not overwritten")
        if bundle_directory is not None:
            inside = os.path.realpath(bundle_directory)
            if os.path.commonpath([os.path.realpath(path), inside]) == inside:
                raise CommandError(f"{path}: is a file of the bundle; not overwritten")
    if stat.S_ISLNK(info.st_mode):
        raise CommandError(f"{path}: is a symbolic link; not followed (name the file it points to)")
    if stat.S_ISDIR(info.st_mode):
        raise CommandError(f"{path}: is a directory")
    return info


@contextlib.contextmanager
def stream_output(path: str) -> Iterator[TextIO]:
    """A device or FIFO, written directly as standard output is."""
    try:
        handle = os.open(path, os.O_WRONLY | os.O_NOFOLLOW | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        raise CommandError(describe(error)) from error
    if stat.S_ISREG(os.fstat(handle).st_mode):  # swapped for a file since it was looked at
        os.close(handle)
        raise CommandError(f"{path}: changed while being opened; not written")
    with os.fdopen(handle, "w", encoding="utf-8", newline="\n") as file:
        yield file


@contextlib.contextmanager
def replace_output(path: str, existing: Optional[os.stat_result]) -> Iterator[TextIO]:
    """A temporary beside `path`, renamed to it only when complete; it takes over the
    permission bits (and, where allowed, the owner) of the file it replaces."""
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise CommandError(f"{os.path.dirname(path)}: no such directory")
    prefix = "." + os.path.basename(path) + "."
    temporary: Optional[str] = None
    try:
        with stop_signals_held():
            handle, temporary = tempfile.mkstemp(prefix=prefix, suffix=".part", dir=parent)
        with os.fdopen(handle, "w", encoding="utf-8", newline="\n") as file:
            yield file
            file.flush()
            if existing is None:
                mode = 0o666 & ~current_umask()
            else:
                mode = stat.S_IMODE(existing.st_mode) & 0o777
                for owner in ((existing.st_uid, existing.st_gid), (-1, existing.st_gid)):
                    try:
                        os.fchown(file.fileno(), *owner)
                        break
                    except OSError:  # not ours to give away: the group, if we are in it
                        continue
            os.fchmod(file.fileno(), mode)
            os.fsync(file.fileno())
        with contextlib.suppress(FileNotFoundError):
            if not stat.S_ISREG(os.lstat(path).st_mode):
                raise CommandError(f"{path}: changed while being written; not replaced")
        os.replace(temporary, path)
    except BaseException:
        if temporary is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
        raise


@contextlib.contextmanager
def open_output(
    path: Optional[str],
    protected: Sequence[tuple[str, os.stat_result]],
    bundle_directory: Optional[str],
) -> Iterator[TextIO]:
    """Standard output; or at PATH a device or FIFO written directly, or a regular file
    that is replaced only when the output is complete."""
    if path is None:
        yield sys.stdout
        return
    existing = existing_output(path, protected, bundle_directory)
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        with stream_output(path) as file:
            yield file
    else:
        with replace_output(path, existing) as file:
            yield file


# --- convert ---------------------------------------------------------------------------------


def command_convert(args: argparse.Namespace) -> int:
    """Store a bundle in another container."""
    kind = target_kind(args.target)
    if os.path.lexists(args.target):
        raise CommandError(f"{args.target}: already exists; not overwritten")
    content = load_content(args.source)
    if args.check:
        parse_model(content, args.source)
    try:
        save_content(content, args.target, kind)
    except CommandError:
        raise
    except Exception as error:
        message = f"{args.target}: cannot write the {kind} bundle: {describe(error)}"
        raise CommandError(message) from error
    if args.json:
        print_json({"source": args.source, "target": args.target, "kind": kind})
    else:
        sys.stderr.write(f"{PROG} convert: wrote {kind} bundle {args.target}\n")
    return EXIT_OK
