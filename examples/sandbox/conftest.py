"""Simulated KYT readers for a pytest session, behind a private pcscd.

The session-wide fixture ``kyt_sandbox`` starts ``kyt_sandbox`` once and
points this process's PC/SC library (pyscard, or anything else built on
pcsc-lite) at its pcscd; it stops the sandbox when the session ends.  When
pytest already runs inside a sandbox (``kyt_sandbox -- pytest``), it uses
that one.

pcsc-lite reads PCSCLITE_CSOCK_NAME once, at a process's first PC/SC call:
let the fixture run before any test talks PC/SC (``autouse`` below does).

    KYT_SANDBOX       the kyt_sandbox program (default: the one on PATH)
    KYT_SANDBOX_ARGS  its options, e.g. "--readers 2 --card 0:rules:my.rules"
"""
import os
import shlex
import shutil
import socket
import subprocess

import pytest

# The sandbox's COMMAND: says where the sockets are, then waits until the
# fixture closes its input.
_REPORT_AND_WAIT = 'printf "%s\\n%s\\n" "$PCSCLITE_CSOCK_NAME" "$KYT_SANDBOX_CONTROL"; exec cat >/dev/null'


class Sandbox:
    """The running sandbox: its readers take kyt_sim's console commands."""

    def __init__(self, control_path):
        self.control_path = control_path

    def control(self, line, reader=0):
        """Sends one command ("remove 0", "insert 0 demo-t1", "status") to a
        reader and returns kyt_sim's answer; an "error: ..." raises."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
            connection.settimeout(10)
            connection.connect(self.control_path)
            connection.sendall(f"reader {reader} {line}\n".encode())
            answer = connection.makefile().readline().rstrip("\n")
        if not answer.startswith("ok"):
            raise RuntimeError(f"{line}: {answer or 'no answer'}")
        return answer


@pytest.fixture(scope="session", autouse=True)
def kyt_sandbox():
    if "KYT_SANDBOX_CONTROL" in os.environ:
        yield Sandbox(os.environ["KYT_SANDBOX_CONTROL"])
        return
    program = os.environ.get("KYT_SANDBOX") or shutil.which("kyt_sandbox")
    if not program:
        pytest.exit("kyt_sandbox is not installed (package kyt-tools)", returncode=2)
    args = shlex.split(os.environ.get("KYT_SANDBOX_ARGS", ""))
    process = subprocess.Popen([program, *args, "--", "sh", "-c", _REPORT_AND_WAIT],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    socket_name = process.stdout.readline().rstrip("\n")
    control_path = process.stdout.readline().rstrip("\n")
    if not control_path:
        pytest.exit(f"kyt_sandbox did not start (exit status {process.wait()})", returncode=2)
    saved = {name: os.environ.get(name) for name in ("PCSCLITE_CSOCK_NAME", "KYT_SANDBOX_CONTROL")}
    os.environ["PCSCLITE_CSOCK_NAME"] = socket_name
    os.environ["KYT_SANDBOX_CONTROL"] = control_path
    try:
        yield Sandbox(control_path)
    finally:
        process.stdin.close()
        status = process.wait(timeout=30)
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        assert status == 0, f"kyt_sandbox ended with status {status}"
