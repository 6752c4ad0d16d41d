import gzip
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import textwrap
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
    for cut in range(0, len(data), 97):  # never on a 512-byte block boundary past 0
        try:
            loaded = load(io.BytesIO(data[:cut]))
        except (tarfile.ReadError, zipfile.BadZipFile, ValueError, EOFError):
            continue
        assert values(loaded) == (YAML, "{}", None, images), cut
