# Module metadata: version, __all__, class identity, docstrings and text signatures, the
# members' descriptors, no public constructors, import rules (same module on re-import,
# no subinterpreters), the exported symbols, and the type stub's agreement with the module.
import ast
import importlib
import inspect
import os
import shutil
import subprocess
import sys
import textwrap

import pytest


def test_version_and_all(qww):
    assert qww.__version__ == "0.1.5"
    assert qww.__all__ == ["__version__", "WakeWordEngine", "Detection"]


def test_classes_are_named_after_the_module(qww):
    for cls, name in ((qww.WakeWordEngine, "WakeWordEngine"), (qww.Detection, "Detection")):
        assert cls.__module__ == "quelt_wake_word"
        assert cls.__name__ == name
        assert cls.__qualname__ == name


@pytest.mark.parametrize("name", ["WakeWordEngine", "Detection"])
def test_classes_cannot_be_instantiated_or_subclassed(qww, name):
    cls = getattr(qww, name)
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()
    # object.__new__ must not hand out an engine without a session either.
    with pytest.raises(TypeError):
        object.__new__(cls)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_docstrings_and_text_signatures(qww):
    engine = qww.WakeWordEngine
    assert engine.__doc__.startswith("Streaming wake-word inference engine.\n\nConstruct via")
    assert engine.__doc__.endswith("change them at any time, including between chunks.")
    assert "properties \u2014 change" in engine.__doc__
    assert engine.push_pcm_i16.__doc__.startswith(
        "Push a chunk of i16 PCM (mono, 16 kHz, native endian). Returns\n")
    assert engine.push_pcm_i16.__doc__.endswith('\n"no wake-phrase heard" state.')
    assert engine.threshold.__doc__.startswith("Sigmoid-space detection threshold.")
    assert engine.cooldown_frames.__doc__.startswith("Post-detection cooldown in frames")
    assert qww.Detection.__doc__.startswith("One wake-word detection event.\n\n")
    assert qww.Detection.score.__doc__ == (
        "Sigmoid score in `[0, 1]`. Caller can read this directly\n"
        "without re-running sigmoid on a logit.")

    signatures = {
        "from_path": "(path)", "from_bytes": "(bytes)", "push_pcm_i16": "(self, /, pcm)",
        "push_pcm_f32": "(self, /, pcm)", "current_score": "(self, /)", "reset": "(self, /)",
    }
    for name, expected in signatures.items():
        member = getattr(engine, name)
        assert str(inspect.signature(member)) == expected, name
        assert not member.__doc__.startswith(name), "text signature left in __doc__"


def test_members_look_like_the_interpreters_descriptors(qww):
    cls = qww.WakeWordEngine
    assert repr(cls.reset) == "<method 'reset' of 'quelt_wake_word.WakeWordEngine' objects>"
    assert repr(cls.threshold) == (
        "<attribute 'threshold' of 'quelt_wake_word.WakeWordEngine' objects>")
    for name in ("push_pcm_i16", "push_pcm_f32", "current_score", "reset", "threshold",
                 "cooldown_frames"):
        member = getattr(cls, name)
        assert member.__name__ == name
        assert member.__qualname__ == f"WakeWordEngine.{name}"
        assert member.__objclass__ is cls
        assert inspect.getattr_static(cls, name) is member
    assert inspect.ismethoddescriptor(cls.reset) and inspect.isdatadescriptor(cls.threshold)
    assert cls.push_pcm_i16.__text_signature__ == "($self, pcm)"
    with pytest.raises(TypeError):
        type(cls.reset)()


def test_reimport_returns_the_same_module(qww):
    saved = sys.modules.pop("quelt_wake_word")
    try:
        again = importlib.import_module("quelt_wake_word")
        assert again is qww
        assert again.WakeWordEngine is qww.WakeWordEngine
    finally:
        sys.modules["quelt_wake_word"] = saved


def test_subinterpreter_is_refused(qww):
    if sys.version_info >= (3, 13):
        pytest.skip("the private subinterpreter module changed its interface in 3.13")
    folder = os.path.dirname(qww.__file__)
    script = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {folder!r})
        import quelt_wake_word
        import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        code = (
            "import sys\\n"
            "sys.path.insert(0, {folder!r})\\n"
            "try:\\n"
            "    import quelt_wake_word\\n"
            "    print('imported')\\n"
            "except ImportError as error:\\n"
            "    print('ImportError:', error)\\n")
        sys.stdout.flush()
        interpreters.run_string(sub, code)
        print('main still works:', quelt_wake_word.__version__)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("ImportError:") and "subinterpreters" in lines[0], lines
    assert lines[1] == "main still works: 0.1.5"


def test_only_the_init_function_is_exported(qww):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", qww.__file__], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_quelt_wake_word"]


def test_imports_without_numpy_loaded(qww):
    # The buffer path looks numpy up only if something already imported it.
    script = (f"import sys; sys.path.insert(0, {os.path.dirname(qww.__file__)!r}); "
              "import quelt_wake_word; assert 'numpy' not in sys.modules")
    subprocess.run([sys.executable, "-c", script], check=True, timeout=60)


# ---- the type stub ----

def _stub_path(qww):
    path = os.path.join(os.path.dirname(qww.__file__), "quelt_wake_word.pyi")
    if not os.path.exists(path):
        pytest.skip("no stub beside the module")
    return path


def _stub_members(path):
    tree = ast.parse(open(path, encoding="utf-8").read())
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    args = [a.arg for a in item.args.posonlyargs + item.args.args]
                    members.setdefault(item.name, args)
            classes[node.name] = members
    return classes


def test_stub_matches_the_module(qww):
    stub = _stub_members(_stub_path(qww))
    assert set(stub) == {"WakeWordEngine", "Detection"}
    for name, members in stub.items():
        runtime = {m for m in dir(getattr(qww, name)) if not m.startswith("_")}
        assert set(members) == runtime, name
        for member, args in members.items():
            attribute = inspect.getattr_static(getattr(qww, name), member)
            if isinstance(attribute, staticmethod) or callable(attribute):
                runtime_args = list(inspect.signature(getattr(getattr(qww, name), member))
                                    .parameters)
                if args[:1] == ["self"] and runtime_args[:1] != ["self"]:
                    args = args[1:]
                assert args == runtime_args, f"{name}.{member}"


def test_stub_type_checks_typical_use(qww, tmp_path):
    try:
        from mypy import api
    except ImportError:
        pytest.skip("mypy is not installed")
    stub_dir = tmp_path / "stubs"
    stub_dir.mkdir()
    shutil.copy(_stub_path(qww), stub_dir / "quelt_wake_word.pyi")
    sample = tmp_path / "sample.py"
    sample.write_text(textwrap.dedent("""
        import array
        import numpy as np
        from quelt_wake_word import Detection, WakeWordEngine
        engine = WakeWordEngine.from_path("model.qelt")
        engine.threshold = 0.5
        engine.cooldown_frames = 10
        found: list[Detection] = engine.push_pcm_i16(np.zeros(160, np.int16))
        found += engine.push_pcm_i16(array.array("h", [0, 1]))
        found += engine.push_pcm_i16(b"\\x01\\x02")
        found += engine.push_pcm_f32([0.0, 0.5])
        found += engine.push_pcm_f32(np.zeros(160, np.float32))
        frames: int = found[0].frame_index if found else 0
        score: float = engine.current_score()
    """))
    bad = tmp_path / "bad.py"
    bad.write_text("from quelt_wake_word import WakeWordEngine\n"
                   "WakeWordEngine.from_path(b'model.qelt')\n"
                   "WakeWordEngine.from_bytes(b'').push_pcm_i16(5)\n")
    env_args = ["--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                "--python-version", "3.9"]
    os.environ["MYPYPATH"] = str(stub_dir)
    try:
        out, err, status = api.run(env_args + [str(sample)])
        assert status == 0, out + err
        out, err, status = api.run(env_args + [str(bad)])
        assert status == 1 and "Found 2 errors" in out, out + err
    finally:
        del os.environ["MYPYPATH"]
