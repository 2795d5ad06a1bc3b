# Scores that no build and no OpenSSL setting may change: every frame's score of the
# integer-made test signal through the random model, bit for bit against the golden file
# that the C library's test checks too (written by the x86-64 build), in this interpreter
# and in child interpreters whose OpenSSL the host has turned hostile before the module
# loads a model.
import json
import os
import subprocess
import sys

import pytest

from quelt_support import bits, every_frame, golden_scores, make_test_signal

HERE = os.path.dirname(os.path.abspath(__file__))
OPENSSL_CONF = os.path.join(HERE, "..", "support", "openssl")

# Run in a child: the host's OpenSSL is made hostile through ctypes, checked to be broken
# for the host itself, and then the module loads the model and reports every frame's
# score bits.
CHILD = """
import ctypes, json, struct, sys
sys.path[:0] = [{module_dir!r}, {tests_dir!r}]
from quelt_support import make_test_signal
crypto = ctypes.CDLL("libcrypto.so.3")
crypto.EVP_CIPHER_fetch.restype = ctypes.c_void_p
if {action!r} == "load-config":
    OPENSSL_INIT_LOAD_CONFIG = 0x40
    assert crypto.OPENSSL_init_crypto(ctypes.c_uint64(OPENSSL_INIT_LOAD_CONFIG), None) == 1
else:
    assert crypto.EVP_set_default_properties(None, b"fips=yes") == 1
assert crypto.EVP_CIPHER_fetch(None, b"AES-256-GCM", None) is None, "host OpenSSL still works"
import quelt_wake_word
engine = quelt_wake_word.WakeWordEngine.from_path({model!r})
engine.threshold = 0.0
engine.cooldown_frames = 0
found = engine.push_pcm_i16(make_test_signal())
print(json.dumps([struct.unpack("<I", struct.pack("<f", d.score))[0] for d in found]))
"""


def test_scores_match_the_golden_file(make_engine):
    found = every_frame(make_engine).push_pcm_i16(make_test_signal())
    assert [d.frame_index for d in found] == list(range(len(found)))
    assert [bits(d.score) for d in found] == golden_scores()


@pytest.mark.parametrize("config, action", [
    ("null_provider.cnf", "load-config"),
    ("fips_properties.cnf", "load-config"),
    ("legacy_only.cnf", "load-config"),  # with OPENSSL_MODULES naming an empty folder
    (None, "fips-default-properties"),
])
def test_hostile_host_openssl_changes_nothing(qww, model_path, tmp_path, config, action):
    env = dict(os.environ)
    if config is not None:
        env["OPENSSL_CONF"] = os.path.join(OPENSSL_CONF, config)
        env["OPENSSL_MODULES"] = str(tmp_path)
    script = CHILD.format(module_dir=os.path.dirname(qww.__file__), tests_dir=HERE,
                          action=action, model=model_path)
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == golden_scores()
