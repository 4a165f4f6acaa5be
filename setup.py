"""Builds the extension through CMake, the project's one build description."""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve()
        with tempfile.TemporaryDirectory() as build_dir:
            package_dir = pathlib.Path(build_dir) / "python"
            subprocess.check_call(
                [
                    "cmake", "-S", str(ROOT), "-B", build_dir,
                    "-DCMAKE_BUILD_TYPE=Release",
                    "-DVELARIX_TESTS=OFF",
                    f"-DPython3_EXECUTABLE={sys.executable}",
                    f"-DVELARIX_PACKAGE_DIR={package_dir}",
                ]
            )
            jobs = str(os.cpu_count() or 1)
            subprocess.check_call(
                ["cmake", "--build", build_dir, "--target", "_velarix", "-j", jobs]
            )
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(package_dir / "velarix" / "_velarix.abi3.so", target)


setup(
    ext_modules=[Extension("velarix._velarix", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    options={"bdist_wheel": {"py_limited_api": "cp311"}},
)
