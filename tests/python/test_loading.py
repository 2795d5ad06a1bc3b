# Construction and load errors: from_bytes and from_path, their argument checks, and the
# messages that carry the reader's and the build's error renderings.
import errno
import os
import pathlib
import subprocess
import sys

import pytest

DESERIALIZE = "quelt_wake_word: .qelt deserialize failed: "
BUILD = "quelt_wake_word: model build failed: "

# An ELF file's first bytes, padded past the header: refused for its magic.
ELF = b"\x7fELF\x02\x01\x01" + bytes(200)


def test_valid_artefact_loads_from_bytes_and_path(qww, model_path, model_bytes):
    class Subclass(bytes):
        pass

    for engine in (qww.WakeWordEngine.from_bytes(model_bytes),
                   qww.WakeWordEngine.from_bytes(bytes=Subclass(model_bytes)),
                   qww.WakeWordEngine.from_path(model_path),
                   qww.WakeWordEngine.from_path(path=model_path)):
        assert type(engine) is qww.WakeWordEngine
        assert engine.threshold == pytest.approx(0.9)
        assert engine.cooldown_frames == 100


# In a child interpreter whose OpenSSL allocator refuses everything while the first load
# sets up the reader's library context: MemoryError from both doors (never a failed
# decryption), and the next load, with memory back, works.
EXHAUSTED_OPENSSL = """
import ctypes, sys
sys.path.insert(0, {module_dir!r})
libc = ctypes.CDLL(None)
libc.malloc.restype = libc.realloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.realloc.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]
refuse = False
malloc = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_int)(
    lambda size, file, line: None if refuse else libc.malloc(size))
realloc = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p,
                           ctypes.c_int)(
    lambda p, size, file, line: None if refuse else libc.realloc(p, size))
free = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int)(
    lambda p, file, line: libc.free(p))
crypto = ctypes.CDLL("libcrypto.so.3")
assert crypto.CRYPTO_set_mem_functions(malloc, realloc, free) == 1, "OpenSSL already in use"
# OpenSSL's own start-up, which cannot recover from a failure, happens with memory.
assert crypto.OPENSSL_init_crypto(ctypes.c_uint64(0), None) == 1
import quelt_wake_word
engine_type = quelt_wake_word.WakeWordEngine
refuse = True
for load in (lambda: engine_type.from_bytes(open({model!r}, "rb").read()),
             lambda: engine_type.from_path({model!r})):
    try:
        load()
        print("loaded")
    except MemoryError:
        print("MemoryError")
refuse = False
print(type(engine_type.from_path({model!r})).__name__)
"""


def test_exhausted_memory_in_openssl_is_memory_error(qww, model_path):
    script = EXHAUSTED_OPENSSL.format(module_dir=os.path.dirname(qww.__file__), model=model_path)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError", "MemoryError", "WakeWordEngine"]


def test_from_path_resolves_relative_paths(qww, model_path, monkeypatch):
    monkeypatch.chdir(os.path.dirname(model_path))
    qww.WakeWordEngine.from_path(os.path.basename(model_path))


def test_from_path_takes_names_the_filesystem_encodes(qww, model_bytes, tmp_path):
    for name in ("modèle.qelt", os.fsdecode(b"raw-\xff.qelt")):  # the latter is not UTF-8
        path = tmp_path / name
        path.write_bytes(model_bytes)
        qww.WakeWordEngine.from_path(str(path))


@pytest.mark.parametrize("data, rendering", [
    (b"", "FormatTruncated { offset: 0, needed: 64, actual: 0 }"),
    (bytes(10), "FormatTruncated { offset: 0, needed: 64, actual: 10 }"),
    (ELF, "FormatBadMagic { found: 1179403647 }"),
])
def test_from_bytes_reports_reader_errors_without_wrapper(qww, data, rendering):
    with pytest.raises(ValueError) as info:
        qww.WakeWordEngine.from_bytes(data)
    assert str(info.value) == DESERIALIZE + rendering
    assert info.value.args == (DESERIALIZE + rendering,)


def test_build_errors_come_wrapped_in_core(qww, tensorless_model_path):
    with open(tensorless_model_path, "rb") as f:
        data = f.read()
    with pytest.raises(ValueError) as info:
        qww.WakeWordEngine.from_bytes(data)
    assert str(info.value).startswith(BUILD + 'Core(MissingTensor { name: "')
    assert str(info.value).endswith('" })')

    with pytest.raises(OSError) as info:
        qww.WakeWordEngine.from_path(tensorless_model_path)
    assert str(info.value).startswith(
        f"quelt_wake_word: cannot open {tensorless_model_path}: Core(MissingTensor {{")


def test_from_path_wraps_reader_errors_in_core(qww, tmp_path):
    path = tmp_path / "elf.qelt"
    path.write_bytes(ELF)
    with pytest.raises(OSError) as info:
        qww.WakeWordEngine.from_path(str(path))
    assert str(info.value) == (
        f"quelt_wake_word: cannot open {path}: Core(FormatBadMagic {{ found: 1179403647 }})")


@pytest.mark.parametrize("make_path, code", [
    (lambda tmp: str(tmp / "missing.qelt"), errno.ENOENT),
    (lambda tmp: str(tmp), errno.EISDIR),  # opens, then the read fails
    (lambda tmp: str(tmp / "missing" / "model.qelt"), errno.ENOENT),
])
def test_from_path_io_errors_show_the_path_twice(qww, tmp_path, make_path, code):
    path = make_path(tmp_path)
    with pytest.raises(OSError) as info:
        qww.WakeWordEngine.from_path(path)
    expected = (f"quelt_wake_word: cannot open {path}: "
                f'Core(Io("{path}: {os.strerror(code)} (os error {code})"))')
    assert str(info.value) == expected
    # Raised with the message alone: no errno or filename attached.
    assert info.value.args == (expected,)
    assert info.value.errno is None and info.value.filename is None


def test_from_path_unreadable_file(qww, model_path, tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root reads files whatever their mode")
    path = tmp_path / "locked.qelt"
    path.write_bytes(b"x")
    path.chmod(0)
    with pytest.raises(OSError, match=r"Permission denied \(os error 13\)"):
        qww.WakeWordEngine.from_path(str(path))


def test_from_path_refuses_nul_in_path(qww):
    with pytest.raises(OSError) as info:
        qww.WakeWordEngine.from_path("model\0.qelt")
    assert str(info.value) == (
        'quelt_wake_word: cannot open model\0.qelt: '
        'Core(Io("model\\0.qelt: file name contained an unexpected NUL byte"))')


def test_argument_types(qww, model_path, model_bytes):
    with pytest.raises(TypeError) as info:
        qww.WakeWordEngine.from_path(pathlib.Path(model_path))
    assert str(info.value) == (
        "argument 'path': 'PosixPath' object cannot be converted to 'PyString'")
    with pytest.raises(TypeError, match="^argument 'path': 'bytes' object cannot be"):
        qww.WakeWordEngine.from_path(model_path.encode())
    with pytest.raises(TypeError) as info:
        qww.WakeWordEngine.from_bytes(bytearray(model_bytes))
    assert str(info.value) == (
        "argument 'bytes': 'bytearray' object cannot be converted to 'PyBytes'")
    with pytest.raises(TypeError, match="^argument 'bytes': 'memoryview' object"):
        qww.WakeWordEngine.from_bytes(memoryview(model_bytes))


@pytest.mark.parametrize("method, name", [
    ("from_path", "path"), ("from_bytes", "bytes"),
    ("push_pcm_i16", "pcm"), ("push_pcm_f32", "pcm"),
])
def test_argument_parsing_messages(qww, engine, method, name):
    static = method.startswith("from_")
    call = getattr(qww.WakeWordEngine if static else engine, method)
    full = f"WakeWordEngine.{method}()"
    cases = [
        (lambda: call(1, 2), f"{full} takes 1 positional arguments but 2 were given"),
        (lambda: call(1, 2, 3), f"{full} takes 1 positional arguments but 3 were given"),
        (lambda: call(), f"{full} missing 1 required positional argument: '{name}'"),
        (lambda: call(**{"other": 1}), f"{full} got an unexpected keyword argument 'other'"),
        (lambda: call(1, **{name: 1}), f"{full} got multiple values for argument '{name}'"),
    ]
    for do, message in cases:
        with pytest.raises(TypeError) as info:
            do()
        assert str(info.value) == message


def test_methods_refuse_foreign_receivers(qww, engine):
    cls = qww.WakeWordEngine
    calls = [
        (lambda: cls.push_pcm_i16(5, [1]), "int"),
        (lambda: cls.push_pcm_f32(object(), pcm=[0.0]), "object"),
        (lambda: cls.current_score(5), "int"),
        (lambda: cls.reset(None), "NoneType"),
        (lambda: cls.threshold.__get__(5), "int"),
        (lambda: cls.threshold.__set__(5, 0.5), "int"),
        (lambda: cls.cooldown_frames.__get__(2.5), "float"),
        (lambda: cls.cooldown_frames.__set__("x", 1), "str"),
        (lambda: cls.cooldown_frames.__delete__(b""), "bytes"),
    ]
    for call, type_name in calls:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"'{type_name}' object cannot be converted to 'WakeWordEngine'"
    # Through the class on an engine, the members work as through the engine.
    assert cls.current_score(engine) == engine.current_score()
    assert cls.push_pcm_i16(engine, pcm=[0] * 400) == []
    cls.threshold.__set__(engine, 0.5)
    assert cls.threshold.__get__(engine) == engine.threshold == 0.5
    assert cls.reset(engine) is None
    with pytest.raises(TypeError, match="^unbound method WakeWordEngine.reset"):
        cls.reset()


def test_no_argument_methods_take_none(engine):
    with pytest.raises(TypeError):
        engine.current_score(1)
    with pytest.raises(TypeError):
        engine.reset(x=1)
