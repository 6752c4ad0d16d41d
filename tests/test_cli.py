"""The `zelvora` command line on bundles made here: in this process through main(argv),
and as a real process where signals, terminals, memory limits or the entry points matter."""

import concurrent.futures
import errno
import io
import json
import os
import pathlib
import pty
import resource
import signal
import stat
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

import pytest
import structlog

from zelvora_analytics_utils.cli import main
from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent
from zelvora_analytics_utils.utils.dump import valid_dumps_yaml

from builders import INF, binning_data, cat, num

AGE_BINNING = binning_data(
    [num(2, -INF, 25, -0.4), num(3, 25, 60, 0.3), num(1, value=0.0, name="1_null"), num(0, value=0.05, name="0_system_default")],
    "age",
)
CITY_BINNING = binning_data([cat(2, ["Brno", "Praha"], 0.7), cat(1, value=-0.1, name="1_null")], "city", "CATEGORICAL")
MODEL = {
    "attributes": ["age", "city"],
    "predictive_model_type": "LOGISTIC_REGRESSION",
    "target": "default",
    "feature_preprocessing": {"binning": [AGE_BINNING, CITY_BINNING]},
    "description": {
        "predictive_model_name": "scorecard",
        "attached_images": [{"type": "png", "filename": "roc.png"}],
    },
}
# Every binning under monitoring, none for the binning engine; the last binning of an
# attribute is the one monitoring uses.
MONITORED = dict(
    MODEL,
    feature_preprocessing={"binning": []},
    monitoring={
        "binning": [AGE_BINNING, CITY_BINNING, dict(CITY_BINNING, attribute="home")],
        "predictive_model_output_binning": dict(AGE_BINNING, attribute="score"),
    },
)
EXTERNAL = {"feature_names": ["age", "city"], "intercept": -2.5, "model": {"coef_": [[0.031, -0.75]]}}
IMAGE = b"\x89PNG\r\n\x1a\n-not-really-an-image"


def make_content(document=MODEL, external=EXTERNAL):
    text = document if isinstance(document, str) else valid_dumps_yaml(document)
    return AugmentedPredictiveModelContent(
        io.StringIO(text),
        external_model_json=io.StringIO(json.dumps(external)),
        attached_images={"roc.png": io.BytesIO(IMAGE)},
    )


def store(content, path: pathlib.Path, kind: str) -> pathlib.Path:
    if kind == "directory":
        content.save_to_directory(path)
    elif kind == "zip":
        path.write_bytes(content.save_to_zip().getvalue())
    else:
        path.write_bytes(content.save_to_tar().getvalue())
    return path


@pytest.fixture(params=["directory", "tar", "zip"])
def bundle(request, tmp_path):
    """A valid model bundle of each kind; archive names carry no telling suffix."""
    return store(make_content(), tmp_path / f"model-{request.param}", request.param)


@pytest.fixture
def zip_bundle(tmp_path):
    return store(make_content(), tmp_path / "model.zip", "zip")


def zelvora(*args, stdin=None):
    """Runs the command line in this process through main(argv): standard input from
    `stdin` (text or bytes, through a real file, as the command reads its descriptor),
    standard output and error captured; the process's logging set up as it was."""
    if isinstance(stdin, str):
        stdin = stdin.encode("utf-8")
    saved = sys.stdin, sys.stdout, sys.stderr, structlog.is_configured() and structlog.get_config()
    with tempfile.TemporaryFile() as source:
        source.write(stdin or b"")
        source.seek(0)
        sys.stdin, sys.stdout, sys.stderr = source, io.StringIO(), io.StringIO()
        out, err = sys.stdout, sys.stderr
        try:
            status = main([str(arg) for arg in args])
        except SystemExit as exit:  # argparse: --help, usage errors
            status = exit.code
        finally:
            sys.stdin, sys.stdout, sys.stderr = saved[:3]
            structlog.reset_defaults()
            if saved[3]:
                structlog.configure(**saved[3])
    return subprocess.CompletedProcess(args, status, out.getvalue(), err.getvalue())


def capped(*args, stdin=subprocess.DEVNULL):
    """The command line in 512 MiB of address space (it needs about 200 MiB).

    AddressSanitizer reserves far more address space than the cap: there it runs uncapped
    and only the outcome is checked."""
    limit = 512 << 20
    sanitized = os.environ.get("ZELVORA_SANITIZED") == "1"
    return subprocess.run(
        [sys.executable, "-m", "zelvora_analytics_utils", *map(str, args)],
        stdin=stdin,
        capture_output=True,
        text=True,
        timeout=120,
        preexec_fn=None if sanitized else lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)),
    )


def assert_one_line_error(result, *fragments):
    assert result.returncode == 1, result
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert "Traceback" not in result.stderr
    for fragment in fragments:
        assert fragment in lines[0]


def files_of(path: pathlib.Path) -> dict[str, bytes]:
    """The files of a bundle, read with the standard library's own readers."""
    if path.is_dir():
        return {p.name: p.read_bytes() for p in path.iterdir()}
    if zipfile.is_zipfile(path):
        with zipfile.ZipFile(path) as archive:
            return {name: archive.read(name) for name in archive.namelist()}
    with tarfile.open(path) as archive:
        return {m.name: archive.extractfile(m).read() for m in archive.getmembers() if m.isfile()}


# --- the command framework -------------------------------------------------------------------


@pytest.mark.parametrize("command", [[], ["validate"], ["inspect"], ["convert"], ["bin"], ["report"], ["schema"]])
def test_every_command_has_help(command):
    result = zelvora(*command, "--help")
    assert result.returncode == 0
    assert result.stdout.startswith("usage: zelvora")
    assert result.stderr == ""


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["frobnicate"],
        ["validate"],
        ["schema"],
        ["schema", "--graphql", "--json-schema"],
        ["bin", "m", "age", "--dtype", "numerical"],  # --dtype is for --monitoring
    ],
)
def test_usage_errors_exit_2_on_stderr(args):
    result = zelvora(*args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert "usage: zelvora" in result.stderr


@pytest.mark.parametrize(
    "command",
    [[pathlib.Path(sys.executable).parent / "zelvora"], [sys.executable, "-m", "zelvora_analytics_utils"]],
    ids=["console script", "python -m"],
)
def test_entry_points_run_the_command_line(command, tmp_path):
    result = subprocess.run([*command, "--help"], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0
    assert "validate" in result.stdout and "convert" in result.stdout
    result = subprocess.run([*command, "validate", tmp_path / "none"], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr) == (1, f"zelvora validate: error: {tmp_path / 'none'}: no such file or directory\n")


# --- validate and inspect --------------------------------------------------------------------


def test_validate_accepts_every_kind(bundle):
    result = zelvora("validate", bundle)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{bundle}: valid\n"
    report = json.loads(zelvora("validate", "--json", bundle).stdout)
    assert report == {"bundle": str(bundle), "valid": True, "errors": []}


def test_validate_lists_errors_with_locations(tmp_path):
    document = dict(MODEL, target=5, attributes=["age"])
    path = store(make_content(document), tmp_path / "bad.tar", "tar")
    result = zelvora("validate", "--json", path)
    assert result.returncode == 1
    report = json.loads(result.stdout)
    assert report["valid"] is False
    locations = {error["location"] for error in report["errors"]}
    assert "target" in locations
    assert result.stderr == f"zelvora validate: {path}: invalid model, {len(report['errors'])} error(s)\n"
    text = zelvora("validate", path)
    assert text.returncode == 1
    assert [line.split(": ")[0] for line in text.stdout.splitlines()] == [e["location"] for e in report["errors"]]


def test_inspect_shows_the_model(zip_bundle):
    result = zelvora("inspect", zip_bundle)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "type:        LOGISTIC_REGRESSION" in out
    assert "category:    STATIC" in out
    assert "formula:     -2.5000 + 0.0310 * age - 0.7500 * city" in out
    assert "binning of age (NUMERICAL)" in out
    table = out.split("binning of age (NUMERICAL)\n")[1].split("\n\n")[0].splitlines()
    assert table[0].split() == ["id", "name", "value", "frequency", "target", "rate"]
    assert table[1].split() == ["2", "2_(-inf;25)", "-0.4", "-", "-"]
    report = json.loads(zelvora("inspect", "--json", zip_bundle).stdout)
    assert report["name"] == "scorecard"
    assert report["attributes"] == ["age", "city"]
    assert report["trees"]["number_of_trees"] is None
    assert report["binnings"][0]["bins"][0]["lower_bound"] == "-inf"
    assert [b["attribute"] for b in report["binnings"]] == ["age", "city"]


def test_inspect_shows_tree_figures(tmp_path):
    learner = {
        "attributes": {"best_iteration": "41", "best_score": "0.8125"},
        "gradient_booster": {"model": {"gbtree_model_param": {"num_trees": "100"}}},
        "learner_model_param": {"num_feature": "2"},
    }
    document = dict(MODEL, predictive_model_type="XGB")
    path = store(make_content(document, {"xgb_model": {"learner": learner}}), tmp_path / "xgb", "directory")
    report = json.loads(zelvora("inspect", "--json", path).stdout)
    assert report["trees"] == {
        "number_of_trees": 100, "best_iteration": 42, "number_of_attributes": 2, "best_eval_metric": 0.8125,
    }
    assert report["formula"] is None


def test_inspect_shows_monitoring_binnings(tmp_path):
    path = store(make_content(MONITORED), tmp_path / "monitored", "zip")
    text = zelvora("inspect", path)
    assert text.returncode == 0, text.stderr
    headings = [line for line in text.stdout.splitlines() if "binning of" in line]
    assert headings == [
        "monitoring binning of age (NUMERICAL)",
        "monitoring binning of city (CATEGORICAL)",
        "monitoring binning of home (CATEGORICAL)",
        "monitoring binning of model output score (NUMERICAL)",
    ]
    assert "  2   2_{Brno,Praha}  0.7" in text.stdout
    report = json.loads(zelvora("inspect", "--json", path).stdout)
    assert report["binnings"] == []
    monitoring = report["monitoring_binnings"]
    assert [(b["attribute"], b["model_output"]) for b in monitoring] == [
        ("age", False), ("city", False), ("home", False), ("score", True),
    ]
    assert monitoring[0]["bins"][1]["name"] == "3_(25;60)"


def test_a_large_archive_is_read_only_as_far_as_needed(tmp_path):
    # 1 GiB of holes in front of a zip: reading the whole file would pass the memory cap.
    path = tmp_path / "padded"
    with open(path, "wb") as file:
        file.truncate(1 << 30)
        file.seek(1 << 30)
        file.write(make_content().save_to_zip().getvalue())
    result = capped("validate", path)
    assert (result.returncode, result.stdout) == (0, f"{path}: valid\n"), result.stderr


# --- convert ---------------------------------------------------------------------------------


@pytest.mark.parametrize("target", ["copy", "copy.tar", "copy.tgz", "copy.tar.gz", "copy.ZIP"])
def test_convert_keeps_every_file(bundle, tmp_path, target):
    result = zelvora("convert", bundle, tmp_path / target)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""
    converted = files_of(tmp_path / target)
    assert converted == files_of(bundle)
    assert converted["roc.png"] == IMAGE
    if target.endswith(("gz", "tgz")):
        assert (tmp_path / target).read_bytes()[:2] == b"\x1f\x8b"
    assert zelvora("validate", tmp_path / target).returncode == 0
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []


def test_convert_tar_images_in_folders_to_directory(tmp_path):
    content = make_content()
    content.attached_images["plots/lift.png"] = io.BytesIO(b"lift")
    source = store(content, tmp_path / "m.tar", "tar")
    result = zelvora("convert", "--json", source, tmp_path / "out")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["kind"] == "directory"
    assert (tmp_path / "out" / "plots" / "lift.png").read_bytes() == b"lift"


@pytest.mark.parametrize("existing", ["file", "empty directory"])
def test_convert_refuses_to_overwrite(zip_bundle, tmp_path, existing):
    target = tmp_path / "taken.tar"
    if existing == "file":
        target.write_bytes(b"keep me")
    else:
        target.mkdir()
    result = zelvora("convert", zip_bundle, target)
    assert_one_line_error(result, "already exists")
    assert (target.read_bytes() == b"keep me") if existing == "file" else list(target.iterdir()) == []


# --- bad input -------------------------------------------------------------------------------


def bad_bundle(tmp_path: pathlib.Path, case: str) -> pathlib.Path:
    path = tmp_path / "bad"
    good_zip = make_content().save_to_zip().getvalue()
    if case == "missing":
        return tmp_path / "nowhere"
    if case == "not an archive":
        path.write_text("just text\n")
    elif case == "corrupt zip":
        path.write_bytes(good_zip[: len(good_zip) // 2])
    elif case == "corrupt tar":
        path.write_bytes(b"\x1f\x8b" + os.urandom(300))
    elif case == "no model document":
        with zipfile.ZipFile(path, "w") as archive:
            archive.writestr("notes.txt", "nothing here")
    elif case == "bad yaml":
        store(make_content("attributes: [age\n"), path, "tar")
    elif case == "bad json":
        content = make_content()
        content.external_model_json = io.StringIO("{not json")
        store(content, path, "zip")
    elif case == "inconsistent model":
        store(make_content(dict(MODEL, attributes=["city"])), path, "directory")
    return path


BAD_CASES = [
    ("missing", "no such file"),
    ("not an archive", "not a bundle"),
    ("corrupt zip", "cannot read the zip bundle"),
    ("corrupt tar", "cannot read the tar bundle"),
    ("no model document", "cannot read the zip bundle"),
    ("bad yaml", "invalid model: extended_model.yaml: line 2 column 1: expected ',' or ']'"),
    ("bad json", "invalid model: external_model.json: line 1"),
    ("inconsistent model", "Binning defined for unknown attributes"),
]


@pytest.mark.parametrize("case,message", BAD_CASES, ids=[c for c, _ in BAD_CASES])
@pytest.mark.parametrize("command", ["inspect", "convert", "bin"])
def test_bad_bundles_fail_in_one_line(tmp_path, command, case, message):
    path = bad_bundle(tmp_path, case)
    before = sorted(tmp_path.iterdir())
    extra = {"inspect": [], "convert": [tmp_path / "out.zip"], "bin": ["age"]}[command]
    result = zelvora(command, path, *extra, stdin="30\n")
    assert_one_line_error(result, f"zelvora {command}: error:", message)
    assert result.stdout == ""
    assert sorted(tmp_path.iterdir()) == before  # nothing written, no temporary left


@pytest.mark.parametrize("case,message", BAD_CASES[:5], ids=[c for c, _ in BAD_CASES[:5]])
def test_validate_fails_on_unreadable_bundles(tmp_path, case, message):
    result = zelvora("validate", bad_bundle(tmp_path, case))
    assert_one_line_error(result, message)
    assert result.stdout == ""


@pytest.mark.parametrize("case", ["bad yaml", "bad json", "inconsistent model"])
def test_validate_reports_bad_documents(tmp_path, case):
    result = zelvora("validate", "--json", bad_bundle(tmp_path, case))
    assert_one_line_error(result, "invalid model, 1 error(s)")
    assert json.loads(result.stdout)["valid"] is False


def test_a_fifo_is_no_bundle(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    assert_one_line_error(zelvora("validate", fifo), "not a bundle")


def test_convert_no_check_copies_an_invalid_model(tmp_path):
    source = bad_bundle(tmp_path, "inconsistent model")
    result = zelvora("convert", "--no-check", source, tmp_path / "copy.zip")
    assert result.returncode == 0, result.stderr
    assert files_of(tmp_path / "copy.zip") == files_of(source)


def test_convert_into_missing_folder(zip_bundle, tmp_path):
    assert_one_line_error(zelvora("convert", zip_bundle, tmp_path / "no" / "copy.tar"), "no such directory")


@pytest.mark.parametrize("target,hook", [("copy.zip", "write_file"), ("copy", "image_subdirectories")])
def test_convert_stopped_by_sigterm_leaves_nothing(zip_bundle, tmp_path, run_python, target, hook):
    # The signal comes from within, once the target's temporary exists.
    result = run_python(
        f"""
        import os, signal, sys
        from zelvora_analytics_utils import cli
        setattr(cli.bundles, {hook!r}, lambda *args: os.kill(os.getpid(), signal.SIGTERM))
        sys.exit(cli.main(["convert", {str(zip_bundle)!r}, {str(tmp_path / target)!r}]))
        """
    )
    assert result.returncode == 128 + signal.SIGTERM, result.stderr
    assert [p.name for p in tmp_path.iterdir()] == ["model.zip"]


# --- bin -------------------------------------------------------------------------------------


def test_bin_csv_column(zip_bundle, tmp_path):
    data = tmp_path / "data.csv"
    data.write_text('id,city,age\n1,Praha,30\n2,"Brno",\n3,Ostrava,20\n')
    result = zelvora("bin", zip_bundle, "city", data)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "0.7\n0.7\n\n"
    ages = zelvora("bin", "--json", zip_bundle, "age", data)
    assert ages.stdout.splitlines() == ["0.3", "0.0", "-0.4"]


def test_bin_standard_input_and_default_bin(zip_bundle):
    result = zelvora("bin", zip_bundle, "age", stdin="30\n\n99\n1e9\n24.5\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["0.3", "0.0", "0.05", "0.05", "-0.4"]
    assert result.stderr == "zelvora bin: 2 of 5 value(s) fell into no bin of their own and took the default bin's value\n"


def test_bin_output_file_appears_only_when_complete(zip_bundle, tmp_path):
    out = tmp_path / "bins.txt"
    out.write_text("old\n")
    out.chmod(0o600)
    if os.geteuid() == 0:
        os.chown(out, 4321, 4321)
    values = "30\n" * 25_000 + "thirty\n"  # the last batch fails
    result = zelvora("bin", "-o", out, zip_bundle, "age", stdin=values)
    assert_one_line_error(result, "<stdin>:25001:", "thirty")
    assert out.read_text() == "old\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bins.txt", "model.zip"]
    before = out.stat()
    assert zelvora("bin", "-o", out, zip_bundle, "age", stdin="30\n").returncode == 0
    assert out.read_text() == "0.3\n"
    after = out.stat()
    assert (stat.S_IMODE(after.st_mode), after.st_uid, after.st_gid) == (0o600, before.st_uid, before.st_gid)


def snapshot(root: pathlib.Path) -> dict[str, object]:
    """Every file and symbolic link under `root`: its content or where it points."""
    return {
        str(p.relative_to(root)): os.readlink(p) if p.is_symlink() else p.read_bytes()
        for p in root.rglob("*")
        if p.is_symlink() or p.is_file()
    }


@pytest.mark.parametrize(
    "output,message",
    [
        ("link", "link: is a symbolic link; not followed"),
        ("dangling", "dangling: is a symbolic link; not followed"),
        ("data.csv", "data.csv: is the input file; not overwritten"),
        ("hardlink", "hardlink: is the input file"),
        ("datalink", "datalink: is the input file"),
        ("model", "model: is the bundle; not overwritten"),
        ("model/extended_model.yaml", "extended_model.yaml: is a file of the bundle"),
    ],
)
def test_bin_output_refuses_links_and_what_it_reads(tmp_path, output, message):
    kind = "directory" if output.startswith("model/") else "zip"
    bundle = store(make_content(), tmp_path / "model", kind)
    data = tmp_path / "data.csv"
    data.write_text("age\n30\n")
    (tmp_path / "other").write_text("keep me\n")
    (tmp_path / "link").symlink_to("other")
    (tmp_path / "dangling").symlink_to("nowhere")
    (tmp_path / "datalink").symlink_to("data.csv")
    os.link(data, tmp_path / "hardlink")
    before = snapshot(tmp_path)
    result = zelvora("bin", "-o", tmp_path / output, bundle, "age", data)
    assert_one_line_error(result, message)
    assert snapshot(tmp_path) == before


def test_bin_output_streams_into_fifos_and_devices(zip_bundle, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # the command's open does not block
    try:
        result = zelvora("bin", "-o", fifo, zip_bundle, "age", stdin="30\n20\nthirty\n30\n")
        received = os.read(reader, 1 << 16)
    finally:
        os.close(reader)
    assert_one_line_error(result, "<stdin>:3:", "thirty")
    assert received == b"0.3\n-0.4\n"  # every line before the failing one
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo", "model.zip"]
    # Only once a FIFO is known to stay one: a broken command would replace /dev/null.
    assert zelvora("bin", "-o", "/dev/null", zip_bundle, "age", stdin="30\n").returncode == 0
    assert stat.S_ISCHR(os.lstat("/dev/null").st_mode)


def open_for_writing(fifo: pathlib.Path, process: subprocess.Popen) -> int:
    """The writing end of a FIFO, once the process has opened it to read."""
    deadline = time.monotonic() + 60
    while True:
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as error:
            if error.errno != errno.ENXIO or process.poll() is not None or time.monotonic() > deadline:
                raise
            time.sleep(0.02)


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_bin_stopped_by_a_signal_leaves_nothing(zip_bundle, tmp_path, signum):
    fifo = tmp_path / "in.csv"
    os.mkfifo(fifo)
    command = [sys.executable, "-m", "zelvora_analytics_utils", "bin", "-o", tmp_path / "out", zip_bundle, "age", fifo]
    with subprocess.Popen(command, stderr=subprocess.PIPE) as process:
        feed = open_for_writing(fifo, process)
        try:
            os.write(feed, b"age\n30\n")  # and then nothing: the command waits for more
            deadline = time.monotonic() + 60
            while not list(tmp_path.glob(".out.*.part")):
                assert process.poll() is None and time.monotonic() < deadline
                time.sleep(0.02)
            process.send_signal(signum)
            assert process.wait(timeout=60) == 128 + signum
        finally:
            os.close(feed)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "model.zip"]


@pytest.mark.parametrize(
    "args,stdin,message",
    [
        (["age", "{data}", "--column", "years"], None, "no column 'years' (columns: id, age)"),
        (["income"], "1\n", "no binning for attribute 'income' (binned: age, city)"),
        (["age", "{tmp}/none.csv"], None, "none.csv: No such file or directory"),
        (["age", "{data}"], None, "data.csv:3: Binning attribute age: "),
        (["age", "{tmp}/latin.csv"], None, "latin.csv:2: cannot read: 'utf-8' codec can't decode"),
        (["age", "{tmp}/empty.csv"], None, "empty.csv: empty; expected a header row"),
        (["-o", "{tmp}/no/out.txt", "age"], "30\n", "/no: no such directory"),
        (["-o", "{tmp}", "age"], "30\n", ": is a directory"),
        (["city"], "Praha\n", ""),
        (["age", "{tmp}/bom.csv"], None, ""),
        (["--monitoring", "age"], "30\n", "no monitoring binning for attribute 'age' (monitored: none)"),
    ],
)
def test_bin_bad_input(zip_bundle, tmp_path, args, stdin, message):
    data = tmp_path / "data.csv"
    data.write_text("id,age\n1,30\n2,old\n")
    (tmp_path / "latin.csv").write_bytes("age\n\xe9t\xe9\n".encode("latin-1"))
    (tmp_path / "empty.csv").write_bytes(b"")
    (tmp_path / "bom.csv").write_bytes(b"\xef\xbb\xbfage\n30\n")
    args = [a.format(data=data, tmp=tmp_path) for a in args]
    result = zelvora("bin", zip_bundle, *args, stdin=stdin)
    if not message:
        assert result.returncode == 0
        return
    assert_one_line_error(result, message)


@pytest.mark.parametrize(
    "line,message",
    [
        (b"x", "<stdin>:10005: Binning attribute age: could not convert string to float: 'x'"),
        (b"\xe9t\xe9", "<stdin>:10005: cannot read: 'utf-8' codec can't decode byte 0xe9"),
        (b"9" * (1 << 20) + b"0", "<stdin>:10005: line longer than 1048576 bytes"),
    ],
)
def test_bin_stdout_holds_every_line_before_a_failure(zip_bundle, line, message):
    result = zelvora("bin", zip_bundle, "age", stdin=b"30\n" * 10_004 + line + b"\n30\n")
    assert_one_line_error(result, message)
    assert result.stdout == "0.3\n" * 10_004


@pytest.mark.parametrize("source", ["<stdin>", "/dev/zero"])
def test_bin_endless_line_fails_in_bounded_memory(zip_bundle, source):
    with open("/dev/zero", "rb") as zero:
        result = capped("bin", zip_bundle, "age", *([source] if source != "<stdin>" else []), stdin=zero)
    assert_one_line_error(result, f"{source}:1: line longer than 1048576 bytes")


def test_bin_csv_record_spanning_lines_is_bounded(zip_bundle, tmp_path):
    data = tmp_path / "data.csv"
    data.write_text('age,note\n30,x\n20,"a\n"' + ',"a\n"' * 250_000 + "\n")
    result = zelvora("bin", zip_bundle, "age", data)
    assert_one_line_error(result, "data.csv:", "record longer than 1048576 bytes")
    assert result.stdout == "0.3\n"


@pytest.mark.parametrize(
    "attribute,options,stdin,output",
    [
        ("age", [], "30\n\n99\n-1\nnan\n", ["3_(25;60)", "1_null", "0_system_default", "2_(-inf;25)", "1_null"]),
        ("city", ["--json"], "Praha\nnan\nOstrava\n", ['"2_{Brno,Praha}"', '"1_null"', "null"]),
        ("age", ["--dtype", "categorical"], "30\n", ["0_system_default"]),  # no bin has categories
        ("home", [], "Brno\n", ["2_{Brno,Praha}"]),
    ],
)
def test_bin_monitoring_writes_bin_names(tmp_path, attribute, options, stdin, output):
    path = store(make_content(MONITORED), tmp_path / "monitored", "tar")
    result = zelvora("bin", "--monitoring", *options, path, attribute, stdin=stdin)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == output
    assert result.stderr == ""


def test_bin_monitoring_errors(tmp_path):
    path = store(make_content(MONITORED), tmp_path / "monitored", "tar")
    result = zelvora("bin", "--monitoring", path, "age", stdin="30\nthirty\n")
    assert_one_line_error(result, "<stdin>:2: monitoring binning of attribute 'age': could not convert")
    assert result.stdout == "3_(25;60)\n"
    result = zelvora("bin", "--monitoring", path, "income", stdin="1\n")
    assert_one_line_error(result, "no monitoring binning for attribute 'income' (monitored: age, city, home)")
    assert_one_line_error(zelvora("bin", path, "age", stdin="1\n"), "no binning for attribute 'age' (binned: none)")


def read_terminal(controller: int) -> bytes:
    shown = b""
    while True:
        try:
            chunk = os.read(controller, 4096)
        except OSError:  # the other side closed
            return shown
        if not chunk:
            return shown
        shown += chunk


@pytest.mark.parametrize("source", ["file", "fifo"])
def test_bin_progress_bar_only_on_a_terminal(zip_bundle, tmp_path, source):
    text = "age\n" + "30\n" * 400_000
    data = tmp_path / "big.csv"
    if source == "fifo":  # no size, so a count without a bar
        os.mkfifo(data)
    else:
        data.write_text(text)
    command = [sys.executable, "-m", "zelvora_analytics_utils", "bin", "-o", tmp_path / "out", zip_bundle, "age", data]
    controller, terminal = pty.openpty()
    with subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=terminal) as process:
        os.close(terminal)
        # Read while it runs: a full terminal buffer would stall the command.
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            if source == "fifo":
                pool.submit(data.write_text, text)
            shown = pool.submit(read_terminal, controller)
            assert process.wait(timeout=300) == 0
            shown = shown.result(timeout=60)
    os.close(controller)
    assert (b"zelvora bin: [" in shown) == (source == "file") and b"000 values" in shown
    assert (tmp_path / "out").read_text() == "0.3\n" * 400_000
    if source == "file":
        piped = zelvora("bin", "-o", tmp_path / "out2", zip_bundle, "age", data)
        assert piped.returncode == 0
        assert piped.stderr == ""


# --- schema ----------------------------------------------------------------------------------


def test_schema_graphql_holds_every_view():
    from graphql import build_schema

    result = zelvora("schema", "--graphql")
    assert result.returncode == 0, result.stderr
    schema = build_schema(result.stdout)
    for name in [
        "AugmentedPredictiveModelType",
        "ExternalPredictiveModelType",
        "FeatureBinningType",
        "AttributeBinNumericalType",
        "PredictiveScorePerformanceType",
        "SubsetPerformanceType",
    ]:
        assert name in schema.type_map, name
    model = schema.type_map["AugmentedPredictiveModelType"]
    assert model.description
    assert schema.type_map["PredictiveModelType"].description == "Kinds of predictive model."
    assert "formula" in model.fields
    assert schema.query_type.fields["augmentedPredictiveModel"].type.name == "AugmentedPredictiveModelType"


def test_schema_json_schema_describes_the_document():
    result = zelvora("schema", "--json-schema")
    assert result.returncode == 0, result.stderr

    def refuse(constant):
        raise ValueError(constant)

    schema = json.loads(result.stdout, parse_constant=refuse)  # strict JSON
    assert schema["$schema"].startswith("https://json-schema.org/")
    assert schema["title"] == "AugmentedPredictiveModel"
    assert "external_model" not in schema["properties"]
    assert set(MODEL) <= set(schema["properties"])
