"""Builds the extension module bumpweld._bumpweld with the project's CMake build (the option
BUMPWELD_PYTHON), for the interpreter that runs pip. Everything else is in pyproject.toml."""
import os
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

PROJECT = Path(__file__).resolve().parent.parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        package_dir = Path(self.get_ext_fullpath(ext.name)).resolve().parent
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
