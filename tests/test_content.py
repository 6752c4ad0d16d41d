import bz2
import gzip
import io
import lzma
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import textwrap
import tracemalloc
import types
import zipfile

import pytest

from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent

Content = AugmentedPredictiveModelContent
YAML = "name: scorecard\nnote: \u00e9t\u00e9 \u2713\n"
PNG = b"\x89PNG\r\n\x1a\n\x00\xff"


def bundle(json=None, pmml=None, images=None, yaml=YAML):
    as_text = lambda t: None if t is None else io.StringIO(t)
    images = {k: io.BytesIO(v) for k, v in (images or {}).items()}
    return Content(io.StringIO(yaml), as_text(json), as_text(pmml), images)


def values(content):
    """The bundle's four values read whole: texts, None and image bytes."""
    read = lambda s: None if s is None else s.getvalue()
    images = {k: v.getvalue() for k, v in content.attached_images.items()}
    return (
        read(content.augmented_predictive_model_yaml),
        read(content.external_model_json),
        read(content.external_model_pmml),
        images,
    )


def tar_of(members, mode="w"):
    """A tar made by the standard library: name -> bytes, or a prepared TarInfo."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode=mode) as archive:
        for name, data in members:
            if isinstance(data, tarfile.TarInfo):
                archive.addfile(data)
                continue
            info = tarfile.TarInfo(name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
    return buffer


def zip_of(members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, data in members:
            archive.writestr(name, data)
    return buffer


def round_trip(container, content, tmp_path):
    if container == "tar":
        return Content.load_from_tar(content.save_to_tar())
    if container == "zip":
        return Content.load_from_zip(content.save_to_zip())
    content.save_to_directory(tmp_path / "bundle")
    return Content.load_from_directory(tmp_path / "bundle")


CONTAINERS = ["directory", "tar", "zip"]


@pytest.mark.parametrize("container", CONTAINERS)
def test_round_trip_keeps_every_part(container, tmp_path):
    images = {"chart.png": PNG, ".hidden": b"", "notes.txt": b"a\r\nb"}
    loaded = round_trip(container, bundle('{"a": 1}', None, images), tmp_path)
    assert type(loaded) is Content
    assert values(loaded) == (YAML, '{"a": 1}', None, images)
    if container != "directory":  # a directory lists in the file system's order
        assert list(loaded.attached_images) == list(images)


@pytest.mark.parametrize("container", CONTAINERS)
def test_model_document_alone(container, tmp_path):
    assert values(round_trip(container, bundle(), tmp_path)) == (YAML, None, None, {})
    if container == "directory":
        assert os.listdir(tmp_path / "bundle") == ["extended_model.yaml"]


def test_construction_by_name_keeps_the_very_values():
    yaml, images = io.StringIO("a: 1"), {"x.png": io.BytesIO(PNG)}
    content = Content(attached_images=images, augmented_predictive_model_yaml=yaml)
    assert content.augmented_predictive_model_yaml is yaml and content.attached_images is images
    assert content.external_model_json is None and content.external_model_pmml is None
    first, second = Content(yaml), Content(yaml)
    assert first.attached_images == {} and first.attached_images is not second.attached_images
    with pytest.raises(TypeError):
        Content()


@pytest.mark.parametrize(
    "images, message",
    [
        ([("x.png", io.BytesIO())], "Argument 'attached_images' has incorrect type"),
        (types.MappingProxyType({}), "Argument 'attached_images' has incorrect type"),
        ({1: io.BytesIO()}, "(expected str, got int)"),
    ],
)
def test_attached_images_must_be_a_mapping_of_names(images, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        Content(io.StringIO(YAML), attached_images=images)


@pytest.mark.parametrize(
    "arguments, name, expected",
    [
        ((YAML,), "augmented_predictive_model_yaml", "text stream, got str"),
        ((b"a: 1",), "augmented_predictive_model_yaml", "text stream, got bytes"),
        ((None,), "augmented_predictive_model_yaml", "text stream, got NoneType"),
        ((io.StringIO(YAML), "{}"), "external_model_json", "text stream or None, got str"),
        ((io.StringIO(YAML), None, "<PMML/>"), "external_model_pmml", "text stream or None, got str"),
        ((io.StringIO(YAML), None, None, {"x.png": PNG}), "attached_images value", "binary stream, got bytes"),
    ],
)
def test_bundle_parts_must_be_streams(arguments, name, expected):
    message = f"Argument '{name}' has incorrect type (expected {expected})"
    with pytest.raises(TypeError, match=re.escape(message)):
        Content(*arguments)


@pytest.mark.parametrize("save", ["save_to_tar", "save_to_zip", "save_to_directory"])
def test_parts_replaced_by_plain_values_are_refused_before_writing(save, tmp_path):
    content = bundle(images={"x.png": PNG})
    content.augmented_predictive_model_yaml = YAML
    args = (tmp_path / "bundle",) if save == "save_to_directory" else ()
    with pytest.raises(TypeError, match=re.escape("Argument 'augmented_predictive_model_yaml' has incorrect type (expected text stream, got str)")):  # fmt: skip
        getattr(content, save)(*args)
    content = bundle(images={"x.png": PNG})
    content.attached_images["y.png"] = PNG
    with pytest.raises(TypeError, match=re.escape("Argument 'attached_images value' has incorrect type")):
        getattr(content, save)(*args)
    assert not (tmp_path / "bundle").exists()


@pytest.mark.parametrize("load", ["load_from_tar", "load_from_zip"])
@pytest.mark.parametrize("content", [b"PK\x03\x04", bytearray(b"x"), 3, None, io.StringIO("x")])
def test_archive_loaders_want_a_binary_stream_or_a_path(load, content):
    name = "tar_content" if load == "load_from_tar" else "zip_content"
    message = re.escape(f"Argument '{name}' has incorrect type (expected binary stream or path, got ")
    with pytest.raises(TypeError, match=message + rf"(_io\.)?{type(content).__name__}\)"):
        getattr(Content, load)(content)


@pytest.mark.parametrize("container", ["tar", "zip"])
@pytest.mark.parametrize("as_path", [str, lambda p: p], ids=["str", "PathLike"])
def test_archive_loaders_read_a_file_by_path(container, as_path, tmp_path):
    original = bundle(json="{}", images={"x.png": PNG})
    path = tmp_path / f"bundle.{container}"
    path.write_bytes(getattr(original, f"save_to_{container}")().getvalue())
    loaded = getattr(Content, f"load_from_{container}")(as_path(path))
    assert values(loaded) == values(original)
    with pytest.raises(FileNotFoundError):
        getattr(Content, f"load_from_{container}")(as_path(tmp_path / "missing"))


@pytest.mark.parametrize("save", ["save_to_directory", "save_to_zip"])
@pytest.mark.parametrize("pmml_filename", [3, b"x.pmml"])
def test_pmml_filename_type_checked_before_writing(save, pmml_filename, tmp_path):
    target = tmp_path / "bundle"
    args = (target,) if save == "save_to_directory" else ()
    expected = "Argument 'pmml_filename' has incorrect type (expected str"
    with pytest.raises(TypeError, match=re.escape(expected)):
        getattr(bundle(pmml="<PMML/>"), save)(*args, pmml_filename=pmml_filename)
    assert not target.exists()


@pytest.mark.parametrize(
    "container, pmml_filename, member, image",
    [
        ("tar", None, "external_model.pmml", False),
        ("zip", "scorecard.pmml", "scorecard.pmml", False),
        ("zip", "model.xml", "model.xml", True),
        ("directory", "scorecard.pmml", "scorecard.pmml", False),
        ("directory", "model.xml", "model.xml", True),
    ],
)
def test_pmml_file_names(container, pmml_filename, member, image, tmp_path):
    content = bundle(pmml="<PMML/>")
    if container == "tar":
        saved = content.save_to_tar()
        names = tarfile.open(fileobj=io.BytesIO(saved.getvalue())).getnames()
        loaded = Content.load_from_tar(tar_content=saved)
    elif container == "zip":
        saved = content.save_to_zip(pmml_filename=pmml_filename)
        names, loaded = zipfile.ZipFile(saved).namelist(), Content.load_from_zip(saved)
    else:
        content.save_to_directory(directory=tmp_path, pmml_filename=pmml_filename)
        names, loaded = sorted(os.listdir(tmp_path)), Content.load_from_directory(tmp_path)
    assert names == ["extended_model.yaml", member]
    # Only a ".pmml" name is recognised as the PMML text when loading.
    expected = (None, {member: b"<PMML/>"}) if image else ("<PMML/>", {})
    assert values(loaded)[2:] == expected


def test_directory_recognition_rules(tmp_path):
    files = {"extended_model.yaml": "m: 1", "external_model.json": "{}", "a.pmml": "<P/>",
             "notes.txt": "n", "chart.png": "c", "extra.yml": "e", "backup_yaml": "b",
             "notes_json": "j"}  # fmt: skip
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    loaded = Content.load_from_directory(str(tmp_path))
    assert values(loaded) == ("m: 1", "{}", None, {"notes.txt": b"n", "chart.png": b"c",
                                                   "extra.yml": b"e"})  # fmt: skip
    (tmp_path / "external_model.json").unlink()
    assert Content.load_from_directory(tmp_path).external_model_pmml.getvalue() == "<P/>"


@pytest.mark.parametrize("container", ["tar", "zip"])
def test_archive_recognition_rules(container):
    members = [("x/old_extended_model.yaml", b"first"), ("external_model.json", b"{}"),
               ("a.pmml", b"<P/>"), ("new_extended_model.yaml", b"second"),
               ("a/roc.png", b"A"), ("b/roc.png", b"B")]  # fmt: skip
    if container == "tar":
        loaded = Content.load_from_tar(tar_of(members))
        images = {"a/roc.png": b"A", "b/roc.png": b"B"}
    else:
        loaded = Content.load_from_zip(zip_of([*members, ("plots/", b"")]))
        images = {"roc.png": b"B"}  # keyed after the last "/": the later entry wins
    assert values(loaded) == ("second", "{}", "<P/>", images)


@pytest.mark.parametrize("container", CONTAINERS)
def test_line_ends(container, tmp_path):
    loaded = round_trip(container, bundle(json="{\r\n}\r", yaml="a: 1\r\nb: 2\r"), tmp_path)
    if container == "directory":  # text read from disk has its line ends normalised
        expected = ("a: 1\nb: 2\n", "{\n}\n")
    else:
        expected = ("a: 1\r\nb: 2\r", "{\r\n}\r")
    assert values(loaded)[:2] == expected


def test_text_is_stored_as_utf8_without_bom_and_byte_streams_are_accepted():
    content = Content(io.StringIO(YAML), io.BytesIO(b'{"raw": 1}'))
    with zipfile.ZipFile(content.save_to_zip()) as archive:
        assert archive.read("extended_model.yaml") == YAML.encode("utf-8")
        assert archive.read("external_model.json") == b'{"raw": 1}'
        assert archive.getinfo("extended_model.yaml").compress_type == zipfile.ZIP_DEFLATED


def test_saving_again_leaves_other_files(tmp_path):
    bundle(images={"a.png": b"a", "b.png": b"b"}).save_to_directory(tmp_path)
    bundle(images={"a.png": b"A"}).save_to_directory(tmp_path)
    assert values(Content.load_from_directory(tmp_path))[3] == {"a.png": b"A", "b.png": b"b"}


def test_image_keys_with_subdirectories(tmp_path):
    (tmp_path / "plots").mkdir()
    bundle(images={"plots/roc.png": PNG, "plots/../top.png": b"t"}).save_to_directory(tmp_path)
    assert (tmp_path / "plots" / "roc.png").read_bytes() == PNG
    assert (tmp_path / "top.png").read_bytes() == b"t"


@pytest.mark.parametrize("key", ["../x.png", "a/../../x.png", "/tmp/x.png", "out/x.png", ""])
def test_image_keys_leaving_the_directory_are_refused_before_writing(key, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    target = tmp_path / "bundle"
    target.mkdir()
    (target / "out").symlink_to(outside)  # a subdirectory that leads elsewhere
    content = bundle(json="{}", images={"first.png": PNG, key: PNG})
    with pytest.raises(ValueError, match=re.escape(repr(key))):
        content.save_to_directory(target)
    assert sorted(os.listdir(target)) == ["out"] and os.listdir(outside) == []


def test_pmml_filename_leaving_the_directory_is_refused(tmp_path):
    with pytest.raises(ValueError, match="pmml_filename"):
        bundle(pmml="<P/>").save_to_directory(tmp_path / "bundle", "../model.pmml")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("load", ["load_from_tar", "load_from_zip"])
@pytest.mark.parametrize("members", [[], [("notes.txt", b"n"), ("plots/", b"")]])
def test_archive_without_model_document(load, members):
    archive = tar_of(members) if load == "load_from_tar" else zip_of(members)
    with pytest.raises(ValueError, match="augmented_predictive_model_yaml"):
        getattr(Content, load)(archive)


@pytest.mark.parametrize(
    "load, data, error",
    [
        ("load_from_tar", b"", tarfile.ReadError),
        ("load_from_tar", b"not an archive" * 100, tarfile.ReadError),
        ("load_from_tar", lambda: bundle(images={"x": PNG * 200}).save_to_tar().getvalue()[:1100],
         tarfile.ReadError),
        ("load_from_zip", b"", zipfile.BadZipFile),
        ("load_from_zip", lambda: bundle().save_to_zip().getvalue()[:-30], zipfile.BadZipFile),
        ("load_from_tar", lambda: tar_of([("extended_model.yaml", b"\xff\xfe")]).getvalue(),
         UnicodeDecodeError),
        ("load_from_zip", lambda: zip_of([("extended_model.yaml", b"\xc3")]).getvalue(),
         UnicodeDecodeError),
    ],
)  # fmt: skip
def test_bad_archives_raise_typed_errors(load, data, error):
    data = data() if callable(data) else data
    with pytest.raises(error):
        getattr(Content, load)(io.BytesIO(data))


def test_bad_directories_raise_typed_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        Content.load_from_directory(tmp_path / "missing")
    with pytest.raises(FileNotFoundError):
        Content.load_from_directory(tmp_path)
    (tmp_path / "extended_model.yaml").write_bytes(b"\xff")
    with pytest.raises(UnicodeDecodeError):
        Content.load_from_directory(tmp_path)
    (tmp_path / "extended_model.yaml").write_text("m: 1")
    os.mkfifo(tmp_path / "pipe")  # reading it would block forever
    with pytest.raises(ValueError, match="not a regular file"):
        Content.load_from_directory(tmp_path)


def test_tar_links_and_directories_are_skipped():
    directory = tarfile.TarInfo("plots")
    directory.type = tarfile.DIRTYPE
    symlink = tarfile.TarInfo("passwd.png")
    symlink.type, symlink.linkname = tarfile.SYMTYPE, "/etc/passwd"
    hardlink = tarfile.TarInfo("copy.png")
    hardlink.type, hardlink.linkname = tarfile.LNKTYPE, "plots/a.png"
    archive = tar_of([("plots", directory), ("extended_model.yaml", b"m"),
                      ("plots/a.png", b"a"), ("", symlink), ("", hardlink)])  # fmt: skip
    assert values(Content.load_from_tar(archive)) == ("m", None, None, {"plots/a.png": b"a"})


def test_zip_symlink_entries_are_skipped():
    archive = zip_of([("extended_model.yaml", "m")])
    with zipfile.ZipFile(archive, "a") as writer:
        link = zipfile.ZipInfo("shadow.png")
        link.create_system, link.external_attr = 3, (0o120777 << 16)
        writer.writestr(link, "/etc/shadow")
    assert values(Content.load_from_zip(archive)) == ("m", None, None, {})


@pytest.mark.parametrize("mode", ["w:gz", "w:bz2", "w:xz"])
def test_compressed_tars_load(mode):
    archive = tar_of([("extended_model.yaml", b"m"), ("x.png", PNG)], mode=mode)
    assert values(Content.load_from_tar(archive)) == ("m", None, None, {"x.png": PNG})


def test_loading_on_a_subclass_gives_a_plain_bundle():
    class Derived(Content):
        pass

    loaded = Derived.load_from_tar(bundle().save_to_tar())
    assert type(loaded) is Content


def test_standard_library_reads_saved_archives():
    content = bundle("{}", "<P/>", {"plots/roc.png": PNG})
    with tarfile.open(fileobj=io.BytesIO(content.save_to_tar().getvalue())) as archive:
        assert archive.extractfile("plots/roc.png").read() == PNG
        assert archive.extractfile("external_model.pmml").read() == b"<P/>"
    with zipfile.ZipFile(content.save_to_zip()) as archive:
        assert archive.testzip() is None and archive.read("plots/roc.png") == PNG


def needs(command):
    return pytest.mark.skipif(shutil.which(command) is None, reason=f"{command} not installed")


@pytest.mark.parametrize(
    "save, command",
    [
        pytest.param("save_to_tar", ["tar", "-xf"], marks=needs("tar")),
        pytest.param("save_to_zip", ["unzip", "-q"], marks=needs("unzip")),
    ],
)
def test_system_tools_extract_saved_archives(save, command, tmp_path):
    archive = tmp_path / "bundle.archive"
    archive.write_bytes(getattr(bundle("{}", None, {"chart.png": PNG}), save)().getvalue())
    subprocess.run([*command, str(archive)], cwd=tmp_path, check=True)
    assert (tmp_path / "extended_model.yaml").read_bytes() == YAML.encode("utf-8")
    assert (tmp_path / "chart.png").read_bytes() == PNG


@pytest.mark.parametrize(
    "command, load",
    [
        pytest.param(["tar", "-cf"], "load_from_tar", marks=needs("tar")),
        pytest.param(["tar", "-czf"], "load_from_tar", marks=needs("tar")),
        pytest.param(["zip", "-qr"], "load_from_zip", marks=needs("zip")),
    ],
)
def test_archives_made_by_system_tools_load(command, load, tmp_path):
    source = tmp_path / "model"
    (source / "plots").mkdir(parents=True)
    (source / "extended_model.yaml").write_bytes(b"a: 1\r\n")
    (source / "plots" / "roc.png").write_bytes(PNG)
    archive = tmp_path / "bundle.archive"
    subprocess.run([*command, str(archive), "model"], cwd=tmp_path, check=True)
    loaded = getattr(Content, load)(io.BytesIO(archive.read_bytes()))
    key = "model/plots/roc.png" if load == "load_from_tar" else "roc.png"
    assert values(loaded) == ("a: 1\r\n", None, None, {key: PNG})


def test_interpreter_exits_without_leaks(tmp_path):
    code = f"""
        import io
        from zelvora_analytics_utils.predictive_models.content import (
            AugmentedPredictiveModelContent as Content)
        c = Content(io.StringIO("m: 1"), io.StringIO("{{}}"), None, {{"x.png": io.BytesIO(b"x")}})
        Content.load_from_tar(c.save_to_tar())
        Content.load_from_zip(c.save_to_zip("s.pmml"))
        c.save_to_directory({str(tmp_path)!r})
        kept = Content.load_from_directory({str(tmp_path)!r})
        kept.cycle = kept
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=120)  # fmt: skip
    assert result.returncode == 0, result.stderr
    assert "nanobind: leaked" not in result.stderr


@pytest.mark.parametrize("kind", ["tar", "tar.gz", "zip"])
def test_truncated_archives_fail_or_load_whole(kind):
    images = {"a.png": PNG * 300, "b.png": bytes(range(256)) * 9}
    content = bundle("{}", None, images)
    if kind == "zip":
        data, load = content.save_to_zip().getvalue(), Content.load_from_zip
    else:
        data, load = content.save_to_tar().getvalue(), Content.load_from_tar
        data = gzip.compress(data) if kind == "tar.gz" else data
    for cut in sorted({*range(0, len(data), 97), *range(0, len(data), 512)}):
        try:
            loaded = load(io.BytesIO(data[:cut]))
        except (tarfile.ReadError, zipfile.BadZipFile, ValueError, EOFError):
            continue
        assert values(loaded) == (YAML, "{}", None, images), cut


# --- bounded loading -------------------------------------------------------------------

MiB = 1 << 20
DEFAULT_MAX_SIZE = 512 * MiB


def zip_with(name, data, compression):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("extended_model.yaml", "m: 1")
        archive.writestr(name, data, compress_type=compression)
    return buffer


def declaring(zip_buffer, file_size):
    """The zip with the last central-directory entry declaring another uncompressed size."""
    data = bytearray(zip_buffer.getvalue())
    entry = data.rfind(b"PK\x01\x02")
    data[entry + 24 : entry + 28] = file_size.to_bytes(4, "little")
    return io.BytesIO(bytes(data))


def tar_with(members, compression=""):
    return tar_of([("extended_model.yaml", b"m: 1"), *members], mode=f"w:{compression}")


def directory_with(tmp_path, name, data):
    (tmp_path / "extended_model.yaml").write_text("m: 1")
    (tmp_path / name).write_bytes(data)
    return tmp_path


@pytest.mark.parametrize(
    "load, make, member",
    [
        ("load_from_zip", lambda _: zip_with("a/chart.png", bytes(8 * MiB), zipfile.ZIP_BZIP2),
         "a/chart.png"),
        ("load_from_zip", lambda _: zip_with("chart.png", bytes(8 * MiB), zipfile.ZIP_DEFLATED),
         "chart.png"),
        ("load_from_zip", lambda _: zip_with("chart.png", bytes(8 * MiB), zipfile.ZIP_LZMA),
         "chart.png"),
        ("load_from_tar", lambda _: tar_with([("plots/a.png", bytes(8 * MiB))], "gz"),
         "plots/a.png"),
        ("load_from_tar", lambda _: tar_with([("a.png", bytes(8 * MiB))], "xz"), "a.png"),
        ("load_from_tar", lambda _: tar_with([(f"p{i}.png", bytes(MiB // 4)) for i in range(6)]),
         "p3.png"),  # the member that passes the total
        ("load_from_directory", lambda d: directory_with(d, "chart.png", bytes(2 * MiB)),
         "chart.png"),
    ],
)  # fmt: skip
def test_loading_past_max_size_names_the_member(load, make, member, tmp_path):
    with pytest.raises(ValueError, match=re.escape(repr(member)) + ".*max_size"):
        getattr(Content, load)(make(tmp_path), max_size=MiB)


@pytest.mark.parametrize("container", CONTAINERS)
def test_max_size_bounds_the_total_exactly(container, tmp_path):
    content = bundle("{}", None, {"chart.png": PNG * 100})
    total = len(YAML.encode()) + len("{}") + len(PNG) * 100
    if container == "directory":
        content.save_to_directory(tmp_path)
        saved, load = tmp_path, Content.load_from_directory
    else:
        saved = getattr(content, f"save_to_{container}")()
        load = getattr(Content, f"load_from_{container}")
    assert values(load(saved, max_size=total))[1] == "{}"
    with pytest.raises(ValueError, match="max_size"):
        load(saved, max_size=total - 1)


@pytest.mark.parametrize("load", ["load_from_directory", "load_from_tar", "load_from_zip"])
@pytest.mark.parametrize(
    "max_size, error", [("1", TypeError), (1.0, TypeError), (None, TypeError), (-1, ValueError)]
)
def test_max_size_is_checked(load, max_size, error, tmp_path):
    with pytest.raises(error, match="max_size"):
        getattr(Content, load)(tmp_path, max_size=max_size)


def test_max_size_is_keyword_only_and_may_be_huge():
    with pytest.raises(TypeError):
        Content.load_from_tar(bundle().save_to_tar(), 10)
    assert values(Content.load_from_zip(bundle().save_to_zip(), max_size=2**200))[0] == YAML


def test_lying_bzip2_zip_entry_is_never_expanded_whole():
    # The entry declares 16 bytes and expands to 64 MiB.
    archive = declaring(zip_with("x.png", bytes(64 * MiB), zipfile.ZIP_BZIP2), 16)
    tracemalloc.start()
    try:
        with pytest.raises(zipfile.BadZipFile, match="CRC"):
            Content.load_from_zip(archive)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 16 * MiB


def sparse_tar_with_data(real_size):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for name, data, pax in [("extended_model.yaml", b"m", {}),
                                ("disk.png", b"x", {"GNU.sparse.map": f"{real_size - 1},1",
                                                    "GNU.sparse.size": str(real_size)})]:
            info = tarfile.TarInfo(name)
            info.size, info.pax_headers = len(data), pax
            archive.addfile(info, io.BytesIO(data))
    return buffer


def forged_header(name, size_field, type=tarfile.REGTYPE):
    """A ustar header whose size field holds `size_field` as written, checksum fixed."""
    info = tarfile.TarInfo(name)
    info.type = type
    block = bytearray(info.tobuf(format=tarfile.USTAR_FORMAT))
    block[124:136] = size_field
    block[148:156] = b" " * 8
    block[148:156] = b"%06o\0 " % sum(block)
    return bytes(block)


MODEL_MEMBER = tarfile.TarInfo("extended_model.yaml")
MODEL_MEMBER.size = 4
MODEL_MEMBER = MODEL_MEMBER.tobuf(format=tarfile.USTAR_FORMAT) + b"m: 1".ljust(512, b"\0")
HUGE = b"\x80" + b"\xff" * 11  # base-256: about 3e26 bytes


@pytest.mark.parametrize("compress", [bytes, gzip.compress], ids=["tar", "tar.gz"])
@pytest.mark.parametrize(
    "members, error, message",
    [
        # Found by the fuzz smoke: the model document itself declaring the huge size.
        (forged_header("extended_model.yaml", HUGE), ValueError, "'extended_model.yaml'.*max_size"),
        (MODEL_MEMBER + forged_header("a.png", HUGE), ValueError, "'a.png'.*max_size"),
        (MODEL_MEMBER + forged_header("a.png", HUGE, b"A"), tarfile.ReadError, "runs past the end"),
        (MODEL_MEMBER + forged_header("a.png", b"\xff" * 12), tarfile.ReadError, "negative"),
        (MODEL_MEMBER + forged_header("a.png", b"\xff" * 10 + b"\xf0\0", b"A"), tarfile.ReadError,
         "negative"),
        (MODEL_MEMBER + forged_header("p", HUGE, tarfile.XHDTYPE), ValueError, "extended header"),
    ],
)  # fmt: skip
@pytest.mark.parametrize("limit", [{}, {"max_size": 2**100}], ids=["default", "unlimited"])
def test_forged_member_sizes_fail_with_the_loading_errors(members, error, message, compress, limit):
    with pytest.raises(error, match=message):
        Content.load_from_tar(io.BytesIO(compress(members + bytes(1024))), **limit)


def zip64_declaring(file_size):
    """A zip whose last entry declares `file_size` through a zip64 extra field."""
    data = bytearray(zip_with("chart.png", b"x", zipfile.ZIP_STORED).getvalue())
    entry = data.rfind(b"PK\x01\x02")
    extra = struct.pack("<HHQ", 1, 8, file_size)
    data[entry + 24 : entry + 28] = b"\xff" * 4  # the size is in the zip64 field
    name_length, extra_length = struct.unpack("<HH", data[entry + 28 : entry + 32])
    data[entry + 30 : entry + 32] = struct.pack("<H", extra_length + len(extra))
    at = entry + 46 + name_length + extra_length
    data[at:at] = extra
    end = data.rfind(b"PK\x05\x06")
    directory_size = struct.unpack("<I", data[end + 12 : end + 16])[0]
    data[end + 12 : end + 16] = struct.pack("<I", directory_size + len(extra))
    return io.BytesIO(bytes(data))


@pytest.mark.parametrize("limit", [{}, {"max_size": 2**100}], ids=["default", "unlimited"])
def test_zip_entry_declaring_a_size_past_the_machine_range_is_past_max_size(limit):
    with pytest.raises(ValueError, match="'chart.png'.*max_size"):
        Content.load_from_zip(zip64_declaring(2**64 - 1), **limit)


def test_sparse_tar_members_are_refused():
    with pytest.raises(ValueError, match="'disk.png' is a sparse file"):
        Content.load_from_tar(sparse_tar_with_data(4 * MiB), max_size=64 * MiB)


def gzip_bomb_tar(path, size, type=tarfile.REGTYPE):
    """A tar.gz whose second header declares `size` zero bytes, built from repeated gzip
    members so it is never held whole (a reader decompresses every member in turn)."""
    chunk = 64 * MiB
    assert size % chunk == 0
    info = tarfile.TarInfo("plots/huge.png")
    info.size, info.type = size, type
    header = tarfile.TarInfo("extended_model.yaml").tobuf() + info.tobuf()
    zeros = gzip.compress(bytes(chunk))
    with open(path, "wb") as out:
        out.write(gzip.compress(header))
        for _ in range(size // chunk):
            out.write(zeros)
        out.write(gzip.compress(bytes(1024)))  # end-of-archive marker


def bzip2_zip_declaring(path, size):
    path.write_bytes(declaring(zip_with("plots/huge.png", bytes(MiB), zipfile.ZIP_BZIP2), size)
                     .getvalue())  # fmt: skip


def sparse_tar_file(path, size):
    path.write_bytes(sparse_tar_with_data(size).getvalue())


@pytest.mark.parametrize(
    "make, load, refusal",
    [
        (lambda p: gzip_bomb_tar(p, 3 << 30), "load_from_tar", "'plots/huge.png'"),
        (lambda p: gzip_bomb_tar(p, 2 << 30, tarfile.XHDTYPE), "load_from_tar", "extended header"),
        (lambda p: gzip_bomb_tar(p, 2 << 30, tarfile.GNUTYPE_LONGNAME), "load_from_tar",
         "extended header"),
        (lambda p: bzip2_zip_declaring(p, 2 << 30), "load_from_zip", "'plots/huge.png'"),
        (lambda p: sparse_tar_file(p, 2 << 30), "load_from_tar", "'disk.png'"),
    ],
)  # fmt: skip
def test_bombs_fail_under_the_default_limit_before_memory_is_spent(make, load, refusal, tmp_path):
    archive = tmp_path / "bomb"
    make(archive)
    assert archive.stat().st_size < 8 * MiB
    # Address space capped at 1 GiB: holding the expansion would raise MemoryError.
    code = f"""
        import io, os, resource
        from zelvora_analytics_utils.predictive_models.content import (
            AugmentedPredictiveModelContent as Content)
        data = io.BytesIO(open({str(archive)!r}, "rb").read())
        # AddressSanitizer reserves far more address space than the cap: there the load
        # runs uncapped and only the refusal is checked.
        if not os.environ.get("ZELVORA_SANITIZED"):
            resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            Content.{load}(data)
        except Exception as error:
            print(type(error).__name__, error)
        else:
            print("loaded")
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=600)  # fmt: skip
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ValueError") and refusal in result.stdout, result.stdout


# --- tar archives must end with their end-of-archive marker ----------------------------


def member_ends(data):
    with tarfile.open(fileobj=io.BytesIO(data)) as archive:
        return [m.offset_data + -(-m.size // 512) * 512 for m in archive.getmembers()]


COMPRESS = {"": lambda d: d, "gz": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress}


@pytest.mark.parametrize("compression", list(COMPRESS))
def test_tar_cut_at_a_member_boundary_fails(compression):
    data = bundle("{}", "<P/>", {"chart.png": PNG}).save_to_tar().getvalue()
    for end in member_ends(data):  # the last cut drops only the end-of-archive marker
        with pytest.raises(tarfile.ReadError, match="end-of-archive"):
            Content.load_from_tar(io.BytesIO(COMPRESS[compression](data[:end])))
    assert values(Content.load_from_tar(io.BytesIO(COMPRESS[compression](data))))[1] == "{}"


# --- saves stay inside their directory, and are atomic -----------------------------------


@pytest.mark.parametrize(
    "name", ["extended_model.yaml", "external_model.json", "external_model.pmml", "chart.png"]
)
@pytest.mark.parametrize("link", [os.symlink, os.link])
def test_saves_replace_links_instead_of_writing_through_them(name, link, tmp_path):
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    target = tmp_path / "bundle"
    target.mkdir()
    link(victim, target / name)
    bundle("{}", "<P/>", {"chart.png": PNG}).save_to_directory(target)
    assert victim.read_bytes() == b"precious"
    saved = target / name
    assert not saved.is_symlink() and saved.stat().st_nlink == 1
    expected = {"extended_model.yaml": YAML.encode(), "external_model.json": b"{}",
                "external_model.pmml": b"<P/>", "chart.png": PNG}  # fmt: skip
    assert saved.read_bytes() == expected[name]
    assert sorted(os.listdir(target)) == sorted(expected)


def test_saving_over_a_file_keeps_its_permissions(tmp_path):
    bundle().save_to_directory(tmp_path)
    os.chmod(tmp_path / "extended_model.yaml", 0o600)
    bundle().save_to_directory(tmp_path)
    assert (tmp_path / "extended_model.yaml").stat().st_mode & 0o777 == 0o600


class SwapOnRead(io.BytesIO):
    """A byte stream that runs `swap` when first read, in the middle of a save."""

    def __init__(self, data, swap):
        super().__init__(data)
        self.swap = swap

    def read(self, *args):
        swap, self.swap = self.swap, None
        if swap:
            swap()
        return super().read(*args)


def test_subdirectory_swapped_for_a_link_during_a_save_keeps_files_inside(tmp_path):
    outside, target = tmp_path / "outside", tmp_path / "bundle"
    outside.mkdir()
    (target / "plots").mkdir(parents=True)

    def swap():
        (target / "plots").rename(target / "moved")
        (target / "plots").symlink_to(outside)

    images = {"first.png": SwapOnRead(b"1", swap), "plots/roc.png": io.BytesIO(PNG)}
    Content(io.StringIO(YAML), None, None, images).save_to_directory(target)
    assert os.listdir(outside) == []
    assert (target / "moved" / "roc.png").read_bytes() == PNG


class BufferStream(io.BytesIO):
    def __init__(self, data, wrap):
        super().__init__(data)
        self.wrap = wrap

    def read(self, *args):
        return self.wrap(super().read(*args))


@pytest.mark.parametrize("wrap", [bytearray, memoryview])
def test_images_read_as_mutable_buffers_are_saved_whole(wrap, tmp_path):
    image = BufferStream(PNG * 1000, wrap)
    Content(io.StringIO(YAML), None, None, {"a.png": image}).save_to_directory(tmp_path)
    assert (tmp_path / "a.png").read_bytes() == PNG * 1000


class FailingText(io.StringIO):
    def read(self, *args):
        raise OSError("the source went away")


def test_failed_save_keeps_the_existing_files(tmp_path):
    bundle("{}").save_to_directory(tmp_path)
    with pytest.raises(OSError, match="went away"):
        Content(FailingText("new"), io.StringIO("[]")).save_to_directory(tmp_path)
    assert values(Content.load_from_directory(tmp_path)) == (YAML, "{}", None, {})
    (tmp_path / "sub").mkdir()
    with pytest.raises(IsADirectoryError):  # a directory stands where the image goes
        bundle("[]", None, {"sub": PNG}).save_to_directory(tmp_path)
    assert sorted(os.listdir(tmp_path)) == ["extended_model.yaml", "external_model.json", "sub"]


@pytest.mark.parametrize("entry", ["extended_model.yaml", "chart.png"])
@pytest.mark.parametrize("kind", ["symlink", "fifo"])
def test_loading_reads_only_regular_files_without_following_links(entry, kind, tmp_path):
    (tmp_path / "outside.yaml").write_text("secret: 1")
    target = tmp_path / "bundle"
    target.mkdir()
    if entry != "extended_model.yaml":
        (target / "extended_model.yaml").write_text("m: 1")
    if kind == "symlink":
        (target / entry).symlink_to(tmp_path / "outside.yaml")
    else:
        os.mkfifo(target / entry)  # opening it for reading would block
    with pytest.raises(ValueError, match=re.escape(entry) + "' is not a regular file"):
        Content.load_from_directory(target)


def test_subdirectory_entries_fail_the_load_as_before(tmp_path):
    bundle().save_to_directory(tmp_path)
    (tmp_path / "plots").mkdir()
    with pytest.raises(IsADirectoryError):
        Content.load_from_directory(tmp_path)
