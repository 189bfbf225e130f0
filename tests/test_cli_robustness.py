"""`orvel` when things go wrong around it: closed or full streams, interrupts,
hostile params, other locales. Every case ends in one line and a documented
exit status, never a traceback."""

from __future__ import annotations

import json
import os
import platform
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import orvel_core
from test_cli import EXAMPLES, ROOT, command_env, orvel


def shell(command: str, **env: str) -> subprocess.CompletedProcess[bytes]:
    """`command` run by sh, `orvel` standing for this interpreter's orvel."""
    script = command.replace("orvel ", f"{sys.executable} -m orvel ", 1)
    return subprocess.run(["sh", "-c", script], capture_output=True, env=command_env(**env), cwd=ROOT, timeout=60)


@pytest.mark.parametrize(
    "command, message",
    [
        ("orvel hash - <&-", "orvel: error: standard input is closed"),
        ("orvel hash abc >&-", "orvel: error: standard output is closed"),
        ("orvel tokenize hello >/dev/full", "orvel: error: cannot write the output: No space left on device"),
        (
            "orvel validate --json examples/pack_valid.json >/dev/full",
            "orvel: error: cannot write the output: No space left on device",
        ),
        ("orvel --help >/dev/full", "orvel: error: cannot write the output: No space left on device"),
        ("orvel --version >/dev/full", "orvel: error: cannot write the output: No space left on device"),
    ],
)
def test_closed_and_full_streams(command, message):
    if "/dev/full" in command and not Path("/dev/full").exists():
        pytest.skip("no /dev/full here")
    done = shell(command)
    assert (done.returncode, done.stderr.decode()) == (2, message + "\n")


def test_closed_standard_error_sends_nothing_to_standard_output():
    done = shell("orvel hash - <&- 2>&-")
    assert (done.returncode, done.stdout) == (2, b"")


@pytest.mark.parametrize(
    "params, message",
    [
        ("[" * 100_000, "orvel: error: params: not valid JSON: arrays or objects nested too deeply"),
        ('{"weight": ' + "9" * 5000 + "}", f"orvel: error: params: not valid JSON: a number of more than {sys.get_int_max_str_digits()} digits"),
    ],
)
def test_hostile_params_are_usage_errors(params, message):
    run = orvel("curate", "-", stdin=params.encode())
    assert (run.code, run.out, run.err) == (2, "", message + "\n")


@pytest.mark.parametrize("args", [["tokenize", "数据 库"], ["hash", "Ünïcode"], ["curate", '{"content": "数据"}']])
def test_utf8_arguments_are_accepted_in_the_c_locale(args):
    env = {"LC_ALL": "C", "LANG": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}
    run = orvel(*args, "--json", **env)
    assert run.code == 0, run.err
    expected = {
        "tokenize": lambda: orvel_core.tokenize(args[1]),
        "hash": lambda: orvel_core.canonical_hash(args[1]),
        "curate": lambda: orvel_core.calculate_curation_score(json.loads(args[1])),
    }[args[0]]()
    assert json.loads(run.out) == expected


@pytest.mark.parametrize(
    "params, key",
    [('{"weight": NaN}', "score"), ('{"weight": Infinity}', "score"), ('{"disputeDecay": -Infinity}', "score")],
)
def test_json_output_is_always_json(params, key):
    run = orvel("curate", params, "--json", PYTHONIOENCODING="ascii")

    def refuse(constant: str) -> None:
        raise AssertionError(f"{constant} is not JSON")

    result = json.loads(run.out, parse_constant=refuse)
    assert result[key] is None
    assert result.keys() == orvel_core.calculate_curation_score(json.loads(params)).keys()


def test_json_output_is_utf8_whatever_the_encoding_says():
    for encoding in ("ascii", "latin-1", "utf-16"):
        run = orvel("tokenize", "--json", "我们 café", PYTHONIOENCODING=encoding)
        assert json.loads(run.out) == ["我", "们", "café"]


def shadowing(tmp_path: Path, module: str) -> dict[str, str]:
    """An environment in which importing `module` is interrupted by Ctrl-C."""
    (tmp_path / f"{module}.py").write_text("raise KeyboardInterrupt\n")
    return {"PYTHONPATH": os.pathsep.join([str(tmp_path), command_env()["PYTHONPATH"]])}


@pytest.mark.parametrize(
    "module, args",
    [
        ("orvel_core", ["hash", "x"]),  # while the module loads
        ("difflib", ["valdate", "x"]),  # while the arguments are parsed
        ("json", ["curate", "{}"]),  # while a sub-command starts
    ],
)
def test_interrupt_during_imports_and_parsing(tmp_path, module, args):
    run = orvel(*args, **shadowing(tmp_path, module))
    assert (run.code, run.err) == (130, "")


READ_SYSCALL = {"x86_64": 0, "aarch64": 63}.get(platform.machine())


def wait_until_reading_stdin(process: subprocess.Popen[bytes]) -> None:
    """Waits until the process sits in read(0, ...), so that the signal meets
    the read and not the interpreter's start-up, however loaded the machine."""
    syscall = Path(f"/proc/{process.pid}/syscall")
    deadline = time.monotonic() + 60
    while READ_SYSCALL is not None and time.monotonic() < deadline:
        try:
            if syscall.read_text().startswith(f"{READ_SYSCALL} 0x0 "):
                return
        except OSError:
            break  # no /proc to look at
        time.sleep(0.01)
    time.sleep(1.0)


def test_interrupt_while_reading():
    process = subprocess.Popen(
        [sys.executable, "-m", "orvel", "hash", "-"],
        stdin=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=command_env(),
        cwd=ROOT,
        # A shell that starts the tests in the background ignores SIGINT, and
        # children inherit that; a user at a terminal has the default.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    wait_until_reading_stdin(process)
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (130, b"")


def test_control_characters_in_file_names_and_tokens_are_shown_not_sent(tmp_path):
    name = tmp_path / "a\x1b[31mred.json"
    name.write_bytes((EXAMPLES / "pack_errors.json").read_bytes())
    run = orvel("validate", name)
    assert run.code == 1 and "\x1b" not in run.out
    assert run.lines[0].startswith(str(tmp_path / "a\u241b[31mred.json"))
    missing = orvel("validate", tmp_path / "gone\x1b]0;title\x07.json")
    assert missing.code == 2 and "\x1b" not in missing.err and "\x07" not in missing.err


def test_long_one_line_pack_reports_the_error_at_its_end(tmp_path):
    # A pack of several megabytes on one line, with a trailing comma at the
    # very end: the excerpt is a window around it.
    memory = json.dumps({"content": "a" * 100, "level": "fact", "weight": 1})
    pack = tmp_path / "big.json"
    pack.write_text('{"pack": {"name": "x", "version": "1.0.0"}, "memories": [' + ",".join([memory] * 30_000) + ",]}")
    run = orvel("validate", pack)
    assert run.code == 2
    lines = run.err.splitlines()
    assert lines[0].endswith(" trailing comma at line 1 column " + str(pack.stat().st_size - 1))
    assert lines[1].startswith("  1 | …") and lines[1].endswith('"weight": 1},]}')
    assert lines[2].endswith("^") and len(lines[2]) == len(lines[1]) - 1
