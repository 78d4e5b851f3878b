"""Schedulers that cannot be used: one that accepts connections but never answers, one that
needs TLS. The command reports them on one line instead of waiting or failing inside Dask,
and Ctrl-C ends the wait at any moment."""

from __future__ import annotations

import importlib.util
import os
import signal
import socket
import threading

import pytest

from _cluster_support import write_inputs
from tovel_mesk import cli
from tovel_mesk.config import ConfigError, load_settings
from tovel_mesk.pipeline import run_search

pytestmark = pytest.mark.skipif(importlib.util.find_spec("distributed") is None,
                                reason="needs tovel-mesk[distributed]")


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    return write_inputs(tmp_path_factory.mktemp("inputs"), runs=1)


@pytest.fixture
def silent_scheduler():
    """The address of a port that accepts TCP connections and never says a word."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    accepted: list[socket.socket] = []
    stop = threading.Event()

    def serve() -> None:
        server.settimeout(0.1)
        while not stop.is_set():
            try:
                accepted.append(server.accept()[0])
            except OSError:
                continue

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    yield f"tcp://127.0.0.1:{server.getsockname()[1]}", accepted
    stop.set()
    thread.join()
    for connection in accepted:
        connection.close()
    server.close()


def test_a_scheduler_that_never_answers_is_reported(inputs, silent_scheduler, monkeypatch, tmp_path, capsys):
    from tovel_mesk.search import cluster

    fasta, runs = inputs
    address, accepted = silent_scheduler
    monkeypatch.setattr(cluster, "CONNECT_TIMEOUT", "1s")
    settings = load_settings({"fasta": fasta, "spectra": runs, "quiet": True, "scheduler": address})
    with pytest.raises(ConfigError, match=f"--scheduler {address}: no answer from a Dask scheduler within 1 s"):
        run_search(settings)
    assert accepted  # the connection itself was made: the handshake is what never came

    status = cli.main(["search", "--quiet", "--fasta", str(fasta), "--output", str(tmp_path / "out"),
                       "--scheduler", address, str(runs[0])])
    err = capsys.readouterr().err
    assert status == 2 and err.count("\n") == 1 and "no answer from a Dask scheduler within 1 s" in err
    assert not (tmp_path / "out").exists()


def test_ctrl_c_ends_the_wait_for_a_scheduler(inputs, silent_scheduler, tmp_path, capsys):
    fasta, runs = inputs
    address, accepted = silent_scheduler
    # Interrupted once the scheduler took the connection, in the wait for its handshake;
    # the client's own timeout (20 s) is far off: the interrupt must end the wait by itself.
    def interrupt() -> None:
        while not accepted:
            threading.Event().wait(0.05)
        os.kill(os.getpid(), signal.SIGINT)

    sender = threading.Thread(target=interrupt, daemon=True)
    sender.start()
    status = cli.main(["search", "--quiet", "--fasta", str(fasta), "--output", str(tmp_path / "out"),
                       "--scheduler", address, str(runs[0])])
    sender.join()
    assert status == 130
    assert capsys.readouterr().err == "tovel-mesk: error: interrupted; nothing was written\n"


def test_a_tls_scheduler_without_certificates(inputs, tmp_path, capsys):
    fasta, runs = inputs
    status = cli.main(["search", "--quiet", "--fasta", str(fasta), "--output", str(tmp_path / "out"),
                       "--scheduler", "tls://127.0.0.1:8786", str(runs[0])])
    err = capsys.readouterr().err
    assert status == 2
    assert err == ("tovel-mesk: error: --scheduler tls://127.0.0.1:8786: a TLS scheduler needs certificates, "
                   "which are set in Dask's configuration (distributed.comm.tls.ca-file, "
                   "distributed.comm.tls.client.cert and .key); none are set\n")
