"""Builds the extension module quelt_wake_word.abi3.so through the project's CMake build.

CMake, not setuptools, compiles the sources: the engine's numerics depend on its flags
(C++20, -ffp-contract=off on every unit, the AArch64 kernels), and the model key is built in
at configure time. This script configures a build of the module target alone under
setuptools' temporary folder, with the interpreter running it, and copies the result and
the type stubs into the wheel. One binary serves CPython 3.9 and later (stable ABI), hence
the cp39-abi3 wheel tag.

QWW_PREBUILT_MODULE=/path/to/quelt_wake_word.abi3.so skips the build and packs that module
instead: one the project's CMake build has made already (the test suite's install test
uses its own build's).

The bundled model goes in as data, to <prefix>/share/quelt_wake_word/computer.qelt, where
`cmake --install` puts it too; <prefix> is the environment's sysconfig "data" path (a
virtual environment's root, /usr/local for Debian's interpreter, or pip's --prefix).
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def module_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"^set\(QWW_PYTHON_MODULE_VERSION ([^\s)]+)\)", text, re.M).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[], py_limited_api=True)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        # Beside the module for editors that look there; the -stubs package serves mypy.
        shutil.copyfile(ROOT / "python" / "quelt_wake_word-stubs" / "__init__.pyi",
                        target.parent / "quelt_wake_word.pyi")
        prebuilt = os.environ.get("QWW_PREBUILT_MODULE")
        if prebuilt:
            shutil.copyfile(prebuilt, target)
            return
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            "-DQWW_BUILD_PYTHON=ON", "-DQWW_BUILD_TESTS=OFF", "-DQWW_BUILD_TOOLS=OFF",
            "-DQWW_BUILD_BENCHMARKS=OFF", "-DQWW_BUILD_FUZZERS=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "quelt_wake_word_python",
                        "--parallel", jobs], check=True)
        shutil.copyfile(build_dir / "python" / "quelt_wake_word.abi3.so", target)


setup(
    version=module_version(),
    ext_modules=[CMakeExtension("quelt_wake_word")],
    cmdclass={"build_ext": CMakeBuild},
    # The stubs also ship as the stub-only package quelt_wake_word-stubs (PEP 561): type
    # checkers do not read stubs beside a top-level extension module in site-packages.
    packages=["quelt_wake_word-stubs"],
    package_dir={"": "python"},
    package_data={"quelt_wake_word-stubs": ["__init__.pyi", "py.typed"]},
    # The same relative place as the CMake install's (tools/cli/CMakeLists.txt), so that
    # the command-line tool and Python programs find the model the same way. A top-level
    # extension module has no package folder to carry it as package data.
    data_files=[("share/quelt_wake_word", ["models/computer.qelt"])],
    options={"bdist_wheel": {"py_limited_api": "cp39"}},
)
