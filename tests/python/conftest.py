# Fixtures of the Python module's test suite.
#
# CTest runs this suite with Debian's /usr/bin/python3 and passes, through the
# environment, the folder of the built module (QWW_PYTHON_MODULE_DIR) and the tools that
# make artefacts (QWW_MAKE_RANDOM_MODEL, QWW_QELT_WRITE), and for a cross build the
# emulator command that runs them (QWW_TOOL_RUNNER). No artefact is checked in.
import json
import os
import shlex
import subprocess
import sys

import pytest

MODULE_DIR = os.environ.get("QWW_PYTHON_MODULE_DIR")
if MODULE_DIR:
    sys.path.insert(0, MODULE_DIR)

import quelt_wake_word  # noqa: E402  (after the path is set)


def _tool(variable):
    """The command that runs the build's tool named by the environment variable."""
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set (CTest sets it)")
    if not os.access(path, os.X_OK):
        pytest.fail(f"{variable}={path} is not an executable: build the tool first")
    return [*shlex.split(os.environ.get("QWW_TOOL_RUNNER", "")), path]


@pytest.fixture(scope="session")
def qww():
    return quelt_wake_word


@pytest.fixture(scope="session")
def model_path(tmp_path_factory):
    """A valid artefact with random weights (fixed seed)."""
    path = tmp_path_factory.mktemp("models") / "random.qelt"
    subprocess.run([*_tool("QWW_MAKE_RANDOM_MODEL"), "--seed", "7", "-o", str(path)],
                   check=True, capture_output=True)
    return str(path)


@pytest.fixture(scope="session")
def model_bytes(model_path):
    with open(model_path, "rb") as f:
        return f.read()


@pytest.fixture(scope="session")
def tensorless_model_path(tmp_path_factory):
    """An artefact that reads fine but holds no tensor: its model build fails."""
    folder = tmp_path_factory.mktemp("tensorless")
    manifest = folder / "manifest.json"
    manifest.write_text(json.dumps(
        {"format_version": 2, "model_type": "wake_word", "config": None, "tensors": {}}))
    path = folder / "tensorless.qelt"
    subprocess.run([*_tool("QWW_QELT_WRITE"), "--manifest", str(manifest), "-o", str(path)],
                   check=True, capture_output=True)
    return str(path)


@pytest.fixture
def make_engine(model_bytes):
    """Factory of fresh engines over the random model."""
    def make(threshold=None, cooldown_frames=None):
        engine = quelt_wake_word.WakeWordEngine.from_bytes(model_bytes)
        if threshold is not None:
            engine.threshold = threshold
        if cooldown_frames is not None:
            engine.cooldown_frames = cooldown_frames
        return engine
    return make


@pytest.fixture
def engine(make_engine):
    return make_engine()
