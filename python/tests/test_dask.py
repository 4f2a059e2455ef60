"""bumpweld.dask.run_batch on a LocalCluster of two worker processes: reports in input order
that match the command line's files and messages, batch-file lines, retries."""
import logging
import os

import pytest

distributed = pytest.importorskip("distributed")

import bumpweld.dask  # noqa: E402
from bumpweld.commandline import run_command  # noqa: E402

from conftest import write_tga  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=logging.ERROR) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def flaky_run(args, threads):
    """Fails the first attempt of each job (a marker file beside its output), then runs it."""
    marker = args[-1] + ".tried"
    if not os.path.exists(marker):
        open(marker, "w").close()
        return {"status": "failed", "message": "first attempt", "seconds": 0.0, "outputs": []}
    return run_command(args, threads)


def test_batch_reports_match_the_command_line(cli, maps, tmp_path, client):
    d, out = str(maps["dir"]), str(tmp_path / "out")
    for folder in ("out", "cli"):
        os.makedirs(tmp_path / folder)
    write_tga(tmp_path / "height map.tga", maps["height"])
    jobs = [
        ["-m", d + "/base.tga", d + "/detail.tga", out + "/m.tga"],
        f"-i {d}/base.tga '{tmp_path}/height map.tga' 2.5 {out}/h.kep  # a comment",
        "   # a line with only a comment",
        [d + "/base.tga", d + "/none.tga", out + "/x.tga"],
        [d + "/base.tga", d + "/detail.tga"],
        [d + "/base.tga", d + "/height.tga", "1e39", out + "/y.tga"],
        f"--flip-green=second {d}/base.tga {d}/detail.tga {out}/f.png --bits=16",
        ["-m", d + "/base.tga", d + "/detail.tga", out + "/c.dds", "--format=bc5"],
        [d + "/base.tga", d + "/detail.tga", out + "/z.tga", "--rond"],
    ]
    reports = bumpweld.dask.run_batch(jobs, client, retries=1)
    assert [r["status"] for r in reports] == ["ok", "ok", "failed", "failed", "failed", "ok", "ok", "failed"]
    assert reports[7]["message"] == "ERROR: Unknown option --rond"
    assert reports[6]["outputs"] == [out + "/c.dds"]
    assert reports[1]["args"][2] == f"{tmp_path}/height map.tga"
    assert reports[3]["message"] == "Usage: Bumpweld [-BeEgGhHimMqQ] normalmap1 bump/normalMap2 [heightscale] outputname"
    assert reports[0]["outputs"] == [out + "/m%02d.tga" % n for n in range(6)]
    for report in reports[:3] + reports[4:]:
        assert set(report) == {"args", "status", "message", "seconds", "outputs"}
        assert report["status"] == "failed" or (report["seconds"] > 0 and report["message"] == "")
        # The same command line again, writing beside the batch's outputs.
        run = cli([a.replace("/out/", "/cli/") for a in report["args"]], tmp_path)
        assert run.returncode == (0 if report["status"] == "ok" else 255)
        assert report["status"] == "ok" or run.stdout.endswith(report["message"] + "\n")
        for name in report["outputs"]:
            assert open(name, "rb").read() == open(name.replace("/out/", "/cli/"), "rb").read()


def test_failed_jobs_are_sent_again(maps, tmp_path, client):
    d = str(maps["dir"])
    jobs = [[d + "/base.tga", d + "/detail.tga", str(tmp_path / ("r%d.tga" % n))] for n in range(3)]
    assert [r["message"] for r in bumpweld.dask.run_batch(jobs, client, retries=0, _run=flaky_run)] == ["first attempt"] * 3
    for n in range(3):
        os.remove(tmp_path / ("r%d.tga.tried" % n))
    again = bumpweld.dask.run_batch(jobs, client, retries=1, _run=flaky_run)
    assert [r["status"] for r in again] == ["ok"] * 3 and [r["args"] for r in again] == jobs
    assert bumpweld.dask.run_batch([], client) == []


def test_tree_runs_on_the_cluster_from_the_library_plan(maps, tmp_path, client):
    from test_tree import make_tree

    manifest = make_tree(tmp_path, maps)
    assert [r["status"] for r in bumpweld.dask.run_tree(manifest, client)] == ["ok", "ok"]
    os.remove(tmp_path / "out/a00.tga")
    reports = bumpweld.dask.run_tree(manifest, client)
    assert [r["status"] for r in reports] == ["ok", "skipped"]
    assert reports[1]["outputs"] == [str(tmp_path / "out/sub/b%02d.tga") % n for n in range(6)]
