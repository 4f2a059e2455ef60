"""Builds the extension module bumpweld._bumpweld with the project's CMake build (the option
BUMPWELD_PYTHON), for the interpreter that runs pip. Everything else is in pyproject.toml.

A build tree that already holds the module for this interpreter is reused instead of compiling
the library again: the one named by BUMPWELD_BUILD_DIR, else the repository's build/."""
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

PROJECT = Path(__file__).resolve().parent.parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


def _cache(build_dir):
    """The CMake cache of a build tree as a dict of names to values; {} when there is none."""
    try:
        lines = (build_dir / "CMakeCache.txt").read_text().splitlines()
    except OSError:
        return {}
    entries = (line.split("=", 1) for line in lines if "=" in line and not line.startswith(("//", "#")))
    return {name.split(":", 1)[0]: value for name, value in entries}


def _built_module(build_dir):
    """The extension module of an existing build tree brought up to date, when that tree builds
    it for this interpreter without sanitizers; otherwise None."""
    cache = _cache(build_dir)
    if cache.get("BUMPWELD_PYTHON") != "ON" or cache.get("BUMPWELD_SANITIZE") == "ON":
        return None
    module = Path(cache["BUMPWELD_PYTHON_OUTPUT_DIR"]) / "bumpweld" / ("_bumpweld" + sysconfig.get_config_var("EXT_SUFFIX"))
    if subprocess.run(["cmake", "--build", str(build_dir), "--target", "_bumpweld"]).returncode != 0:
        return None
    return module if module.is_file() else None


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        package_dir = target.parent
        reuse = Path(os.environ.get("BUMPWELD_BUILD_DIR", PROJECT / "build")).resolve()
        module = _built_module(reuse)
        if module:
            print(f"bumpweld: reusing the extension module of {reuse}")
            package_dir.mkdir(parents=True, exist_ok=True)
            shutil.copy2(module, target)
            return
        build_dir = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(PROJECT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBUMPWELD_PYTHON=ON",
            "-DBUMPWELD_TESTS=OFF",
            "-DPython3_EXECUTABLE=" + sys.executable,
            # The package directory is one level below the output directory.
            "-DBUMPWELD_PYTHON_OUTPUT_DIR=" + str(package_dir.parent),
        ]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_bumpweld", "-j", jobs], check=True)


setup(ext_modules=[CMakeExtension("bumpweld._bumpweld")], cmdclass={"build_ext": CMakeBuild})
