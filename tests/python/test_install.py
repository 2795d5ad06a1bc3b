# `pip install` ships the bundled model where `cmake --install` puts it, and a program in the
# installed environment opens it as the README shows. The install is a real pip install
# into a fresh virtual environment of a copy of the files setup.py packs; it packs this
# build's module (QWW_PREBUILT_MODULE) rather than building the module a second time.
import os
import shutil
import subprocess
import sys

import pytest

REPO = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
MODEL = os.path.join("share", "quelt_wake_word", "computer.qelt")

OPEN_BUNDLED = """
import os, sysconfig
from quelt_wake_word import WakeWordEngine
path = os.path.join(sysconfig.get_path("data"), "share", "quelt_wake_word", "computer.qelt")
engine = WakeWordEngine.from_path(path)
import quelt_wake_word
print(path)
print(quelt_wake_word.__file__)
"""


def clean_environment(**extra):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "PIP_", "QWW_"))}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1", PYTHONDONTWRITEBYTECODE="1",
               **extra)
    return env


@pytest.fixture(scope="module")
def module_binary():
    module_dir = os.environ.get("QWW_PYTHON_MODULE_DIR")
    if not module_dir:
        pytest.skip("QWW_PYTHON_MODULE_DIR is not set (CTest sets it)")
    return os.path.join(module_dir, "quelt_wake_word.abi3.so")


def test_pip_install_ships_the_bundled_model(tmp_path, module_binary):
    if subprocess.run([sys.executable, "-m", "pip", "--version"],
                      capture_output=True).returncode != 0:
        pytest.skip("pip is not installed")
    # What setup.py reads: itself, the project file, CMakeLists.txt (the module's version),
    # the stubs and the model.
    source = tmp_path / "source"
    (source / "python").mkdir(parents=True)
    (source / "models").mkdir()
    for name in ("setup.py", "pyproject.toml", "CMakeLists.txt"):
        shutil.copy(os.path.join(REPO, name), source / name)
    shutil.copytree(os.path.join(REPO, "python", "quelt_wake_word-stubs"),
                    source / "python" / "quelt_wake_word-stubs")
    shutil.copy(os.path.join(REPO, "models", "computer.qelt"), source / "models")

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip",
                    str(venv)], check=True)
    python = str(venv / "bin" / "python")
    install = subprocess.run(
        [sys.executable, "-m", "pip", "--python", python, "install", "--no-build-isolation",
         "--no-deps", "--no-index", str(source)],
        capture_output=True, text=True, cwd=tmp_path,
        env=clean_environment(QWW_PREBUILT_MODULE=module_binary))
    assert install.returncode == 0, install.stdout + install.stderr

    installed = venv / MODEL
    with open(installed, "rb") as got, open(os.path.join(REPO, "models", "computer.qelt"),
                                             "rb") as want:
        assert got.read() == want.read()
    # The README's way to open it, run by the environment's own interpreter.
    opened = subprocess.run([python, "-c", OPEN_BUNDLED], capture_output=True, text=True,
                            cwd=tmp_path, env=clean_environment())
    assert opened.returncode == 0, opened.stderr
    path, module = opened.stdout.splitlines()
    assert os.path.samefile(path, installed)
    assert module.startswith(str(venv)), module


def test_cmake_install_puts_the_model_in_the_same_place(tmp_path):
    build = os.environ.get("QWW_BUILD_DIR")
    if not build or not os.path.exists(os.path.join(build, "tools", "cli", "quelt-wake-word")):
        pytest.skip("needs the build folder (QWW_BUILD_DIR) with the command-line tool")
    subprocess.run(["cmake", "--install", build, "--prefix", str(tmp_path), "--component",
                    "cli"], check=True, capture_output=True)
    assert (tmp_path / MODEL).is_file()
    assert (tmp_path / "bin" / "quelt-wake-word").is_file()
