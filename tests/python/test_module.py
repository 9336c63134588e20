"""The module boundary: attributes, binding, conversion, results and errors."""

import gc
import resource
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

import sonavert_native as sv

FUNCTIONS = ["transcode", "decode_pcm", "shorten_to_pcm", "g711_expand"]


def test_module_attributes():
    assert sv.__version__ == "0.1.0"
    assert sv.__all__ == ["__version__", *FUNCTIONS]
    assert sv.__doc__ == ""
    for name in FUNCTIONS:
        assert getattr(sv, name).__module__ == "sonavert_native"
        assert getattr(sv, name).__self__ is sv


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("transcode", "(sph)", "Transcode a NIST SPHERE file (bytes) to RIFF/WAV bytes."),
        ("decode_pcm", "(sph)",
         "Decode the payload to interleaved little-endian PCM (the WAV data chunk)."),
        ("shorten_to_pcm", "(stream)",
         "Codec-level kernels, so the Python streaming API accelerates too. These do\n"
         "the heavy number-crunching only and return PCM bytes; the Python codecs keep\n"
         "their (typed) header cross-checks around these.\n"
         "Decode an embedded-shorten stream to LE 16-bit PCM (no header cross-checks).\n"
         "Returns `(channel_count, is_ulaw, pcm_bytes)`."),
        ("g711_expand", "(data, alaw)",
         "Expand G.711 companded bytes to LE 16-bit PCM (`alaw` = a-law, else mu-law)."),
    ],
)
def test_signatures_and_docstrings(name, signature, doc):
    function = getattr(sv, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: sv.transcode(), "transcode() missing 1 required positional argument: 'sph'"),
        (lambda: sv.g711_expand(),
         "g711_expand() missing 2 required positional arguments: 'data' and 'alaw'"),
        (lambda: sv.g711_expand(1), "g711_expand() missing 1 required positional argument: 'alaw'"),
        (lambda: sv.g711_expand(alaw=1),
         "g711_expand() missing 1 required positional argument: 'data'"),
        (lambda: sv.transcode(b"", b""), "transcode() takes 1 positional arguments but 2 were given"),
        (lambda: sv.g711_expand(b"", False, 3),
         "g711_expand() takes 2 positional arguments but 3 were given"),
        (lambda: sv.decode_pcm(b"", sph=b""), "decode_pcm() got multiple values for argument 'sph'"),
        (lambda: sv.g711_expand(b"", False, data=b""),
         "g711_expand() got multiple values for argument 'data'"),
        (lambda: sv.transcode(data=b""), "transcode() got an unexpected keyword argument 'data'"),
        (lambda: sv.shorten_to_pcm(b"", Stream=b""),
         "shorten_to_pcm() got an unexpected keyword argument 'Stream'"),
        # Keywords are taken in the dictionary's order: the first bad one is reported.
        (lambda: sv.g711_expand(zz=1, data=b"", alaw=False),
         "g711_expand() got an unexpected keyword argument 'zz'"),
        (lambda: sv.transcode(bytearray(b"x")),
         "argument 'sph': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda: sv.decode_pcm(memoryview(b"x")),
         "argument 'sph': 'memoryview' object cannot be converted to 'PyBytes'"),
        (lambda: sv.shorten_to_pcm("ajkg"),
         "argument 'stream': 'str' object cannot be converted to 'PyBytes'"),
        (lambda: sv.shorten_to_pcm(None),
         "argument 'stream': 'NoneType' object cannot be converted to 'PyBytes'"),
        (lambda: sv.g711_expand(b"\x00", 1),
         "argument 'alaw': 'int' object cannot be converted to 'PyBool'"),
        (lambda: sv.g711_expand(b"\x00", 0),
         "argument 'alaw': 'int' object cannot be converted to 'PyBool'"),
        (lambda: sv.g711_expand(b"\x00", None),
         "argument 'alaw': 'NoneType' object cannot be converted to 'PyBool'"),
        # Conversion runs in parameter order and stops at the first failure.
        (lambda: sv.g711_expand(1, "x"),
         "argument 'data': 'int' object cannot be converted to 'PyBytes'"),
        (lambda: sv.g711_expand(alaw="x", data=1),
         "argument 'data': 'int' object cannot be converted to 'PyBytes'"),
    ],
)
def test_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_nested_qualname_is_reported():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"^argument 'sph': 'test_nested_qualname_is_reported"
                                        r"\.<locals>\.Outer\.Inner' object cannot be converted"):
        sv.transcode(Outer.Inner())


def test_keywords_in_any_order_and_bytes_subclasses():
    class Blob(bytes):
        pass

    expected = sv.g711_expand(b"\xd5\x55", True)
    assert sv.g711_expand(alaw=True, data=b"\xd5\x55") == expected
    assert sv.g711_expand(Blob(b"\xd5\x55"), alaw=True) == expected
    assert sv.g711_expand(data=b"\xd5\x55", alaw=True) == bytes.fromhex("0800f8ff")


def test_numpy_booleans_accepted_numpy_integers_and_arrays_rejected():
    np = pytest.importorskip("numpy")
    assert sv.g711_expand(b"\xd5", np.bool_(True)) == bytes.fromhex("0800")
    assert sv.g711_expand(b"\xd5", np.bool_(False)) == sv.g711_expand(b"\xd5", False)
    for value in (np.int64(1), np.uint8(0), np.array([True])):
        with pytest.raises(TypeError, match=r"^argument 'alaw': '\w+' object cannot be converted "
                                            r"to 'PyBool'$"):
            sv.g711_expand(b"\xd5", value)
    with pytest.raises(TypeError, match="^argument 'data': 'ndarray' object cannot be converted"):
        sv.g711_expand(np.zeros(4, dtype=np.uint8), False)


def test_lookalike_bool_type_must_come_from_numpy():
    fake = type("bool_", (), {"__bool__": lambda self: True, "__module__": "notnumpy"})
    with pytest.raises(TypeError, match="'bool_' object cannot be converted to 'PyBool'"):
        sv.g711_expand(b"", fake())


def test_errors_raised_by_a_numpy_bool_dunder():
    # A type that passes the numpy check: a TypeError from its __bool__ is renamed
    # for the parameter and keeps its cause; any other exception passes unchanged.
    def raising(exc):
        def __bool__(self):
            raise exc
        return type("bool_", (), {"__bool__": __bool__, "__module__": "numpy"})()

    cause = KeyError("k")
    inner = TypeError("broken bool")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        sv.g711_expand(b"", raising(inner))
    assert info.value.args == ("argument 'alaw': broken bool",)
    assert info.value.__cause__ is cause
    with pytest.raises(ZeroDivisionError):
        sv.g711_expand(b"", raising(ZeroDivisionError("x")))


def test_value_error_has_exactly_the_message():
    with pytest.raises(ValueError) as info:
        sv.transcode(b"")
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    assert isinstance(info.value.args[0], str)


def mulaw(c):
    u = ~c & 0xFF
    t = (((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4)
    return 0x84 - t if u & 0x80 else t - 0x84


def alaw(c):
    a = c ^ 0x55
    t = (a & 0x0F) << 4
    seg = (a & 0x70) >> 4
    t = t + 8 if seg == 0 else (t + 0x108) << (seg - 1)
    return t if a & 0x80 else -t


@pytest.mark.parametrize("law, formula", [(False, mulaw), (True, alaw)])
def test_g711_all_code_words(law, formula):
    out = sv.g711_expand(bytes(range(256)), law)
    assert len(out) == 512
    values = [int.from_bytes(out[2 * i:2 * i + 2], "little", signed=True) for i in range(256)]
    assert values == [formula(c) for c in range(256)]
    assert all(values[c] == -values[c ^ 0x80] for c in range(256))


def test_g711_examples_and_lengths():
    assert sv.g711_expand(b"\xff\x80\x00", False) == bytes.fromhex("00007c7d8482")
    assert sv.g711_expand(b"\xd5\x55\xaa\x2a", True) == bytes.fromhex("0800f8ff007e0082")
    for law in (False, True):
        assert sv.g711_expand(b"", law) == b""
        assert len(sv.g711_expand(bytes(12345), law)) == 24690


def _calls():
    """Good and failing calls of every function."""
    return [
        lambda: sv.g711_expand(b"\x01\x02\x03", True),
        lambda: sv.transcode(b"NIST_1A\n"),
        lambda: sv.decode_pcm(b"junk"),
        lambda: sv.shorten_to_pcm(b"ajkg\x02"),
        lambda: sv.g711_expand(b"", 1),
        lambda: sv.transcode(),
        lambda: sv.decode_pcm(sph=b"", extra=1),
        lambda: sv.shorten_to_pcm(bytearray()),
    ]


def test_repeated_calls_do_not_grow_memory():
    calls = _calls()

    def run(n):
        for _ in range(n):
            for call in calls:
                try:
                    call()
                except (TypeError, ValueError):
                    pass

    run(2000)
    gc.collect()
    tracemalloc.start()
    before_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    snapshot = tracemalloc.take_snapshot()
    run(100_000 // len(calls))
    gc.collect()
    growth = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(snapshot, "filename"))
    tracemalloc.stop()
    after_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert growth < 64 * 1024
    assert after_rss - before_rss < 8 * 1024  # KiB


def _run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_memory_exhaustion_raises_memory_error():
    result = _run_python("""
        import resource, sonavert_native as sv
        data = bytes(300 << 20)
        limit = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 + (400 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            sv.g711_expand(data, False)
        except MemoryError:
            print("MemoryError")
    """)
    assert result.stdout.strip() == "MemoryError", result.stderr


def test_second_initialisation_fails_with_import_error():
    result = _run_python("""
        import importlib.util, sys
        import sonavert_native
        spec = importlib.util.spec_from_file_location("sonavert_native", sonavert_native.__file__)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as e:
            print("ImportError:", e)
    """)
    assert result.stdout.startswith("ImportError: "), result.stdout + result.stderr
    assert "once" in result.stdout
