"""bumpweld.tree: the library's plan of a manifest run in this process, skipping what its records
show up to date; the same files as the command line's --tree; problems raised before anything
is written."""
import os
import shutil

import pytest

import bumpweld

MANIFEST = """output = "out"
[[root]]
path = "assets"
[[rule]]
base = "{name}_n.tga"
second = "{name}_detail.tga"
flags = "m"
output = "{dir}/{name}.tga"
"""


def make_tree(folder, maps):
    os.makedirs(folder / "assets" / "sub")
    for name in ("a", "sub/b"):
        shutil.copy(maps["dir"] / "base.tga", folder / "assets" / (name + "_n.tga"))
        shutil.copy(maps["dir"] / "detail.tga", folder / "assets" / (name + "_detail.tga"))
    (folder / "tree.toml").write_text(MANIFEST)
    return str(folder / "tree.toml")


def test_tree_runs_the_plan_and_skips_what_is_up_to_date(cli, maps, tmp_path):
    manifest = make_tree(tmp_path / "py", maps)
    reports = bumpweld.tree(manifest)
    assert [(r["status"], len(r["outputs"])) for r in reports] == [("ok", 6), ("ok", 6)]
    assert reports[1]["args"][1] == str(tmp_path / "py/assets/sub/b_n.tga")
    # The command line's --tree writes the same files.
    make_tree(tmp_path / "cli", maps)
    assert cli(["--tree", "tree.toml"], tmp_path / "cli").returncode == 0
    for report in reports:
        for name in report["outputs"]:
            assert open(name, "rb").read() == open(name.replace("/py/", "/cli/"), "rb").read()
    again = bumpweld.tree(manifest, jobs=1)
    assert [r["status"] for r in again] == ["skipped", "skipped"]
    assert [r["outputs"] for r in again] == [r["outputs"] for r in reports]
    shutil.copy(maps["dir"] / "base.tga", tmp_path / "py/assets/sub/b_detail.tga")
    assert [r["status"] for r in bumpweld.tree(manifest)] == ["skipped", "ok"]


def test_tree_problems_raise_before_anything_is_written(maps, tmp_path):
    manifest = make_tree(tmp_path, maps)
    os.remove(tmp_path / "assets/a_detail.tga")
    with open(manifest, "a") as f:
        f.write('[[rule]]\nbase = "{name}_n.tga"\nsecond = "x.tga"\noutput = "{name}.tga"\n')
    with pytest.raises(bumpweld.Error) as raised:
        bumpweld.tree(manifest)
    assert str(raised.value).splitlines() == [
        f"ERROR: No second map for {tmp_path}/assets/a_n.tga: {tmp_path}/assets/a_detail.tga is missing (rule 1)",
        f"ERROR: {tmp_path}/assets/a_n.tga is a base of rules 1 and 2",
        f"ERROR: {tmp_path}/assets/sub/b_n.tga is a base of rules 1 and 2"]
    assert not os.path.exists(tmp_path / "out")
