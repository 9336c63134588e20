"""The module boundary: attributes, binding, conversion, results and errors."""

import concurrent.futures
import gc
import resource
import subprocess
import sys
import textwrap
import threading
import tracemalloc

import pytest

import sonavert_native as sv
from boundary_cases import (UNREACHED, catalogue, catalogued, good_calls, outcome, type_error_calls,
                            under_address_sanitizer, value_error_calls)

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


@pytest.mark.parametrize("name, args, kwargs, message", type_error_calls())
def test_type_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(sv, name)(*args, **kwargs)
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


def test_every_catalogued_message_is_raised_as_value_error():
    patterns = catalogue()
    reached = set()
    for name, args, message in value_error_calls():
        assert outcome(name, args) == ("ValueError", (message,)), (name, message)
        matched = catalogued(message, patterns)
        assert len(matched) == 1, message
        reached.update(matched)
    assert set(patterns) - reached == UNREACHED


def _all_calls():
    """Every good call, every ValueError and every TypeError, grouped by function."""
    calls = {name: [] for name in FUNCTIONS}
    for name, args in good_calls():
        calls[name].append((args, {}))
    for name, args, _ in value_error_calls():
        calls[name].append((args, {}))
    for name, args, kwargs, _ in type_error_calls():
        calls[name].append((args, kwargs))
    return calls


def test_repeated_calls_do_not_grow_memory():
    """Each function 100,000 times over all its good and failing calls. The
    one with megabytes of input (the runaway unary code) comes 50 times less
    often than the others, so that it does not take all the time."""
    calls = {}
    for name, cases in _all_calls().items():
        heavy = [c for c in cases if any(isinstance(a, bytes) and len(a) > 1 << 20 for a in c[0])]
        calls[name] = [c for c in cases if c not in heavy] * 50 + heavy

    def run(per_function):
        for name, cases in calls.items():
            function = getattr(sv, name)
            for i in range(per_function):
                args, kwargs = cases[i % len(cases)]
                try:
                    function(*args, **kwargs)
                except (TypeError, ValueError):
                    pass

    run(2000)
    gc.collect()
    tracemalloc.start()
    before_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    snapshot = tracemalloc.take_snapshot()
    run(100_000)
    gc.collect()
    growth = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(snapshot, "filename"))
    tracemalloc.stop()
    after_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert growth < 64 * 1024
    assert after_rss - before_rss < 8 * 1024  # KiB


def test_calls_from_several_threads_match_sequential_calls():
    cases = [(name, args, kwargs) for name, group in _all_calls().items() for args, kwargs in group]
    expected = [outcome(name, args, kwargs) for name, args, kwargs in cases]
    barrier = threading.Barrier(8)

    def worker(offset):
        barrier.wait()
        results = {}
        for round_ in range(20):
            for i in range(len(cases)):
                j = (i + offset + round_) % len(cases)
                name, args, kwargs = cases[j]
                results.setdefault(j, []).append(outcome(name, args, kwargs))
        return results

    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        for results in pool.map(worker, range(8)):
            for j, seen in results.items():
                assert all(r == expected[j] for r in seen), cases[j][0]


def _run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


@pytest.mark.skipif(under_address_sanitizer(),
                    reason="AddressSanitizer maps its shadow memory beyond any address-space limit")
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
        found = importlib.util.spec_from_file_location("sonavert_native", sonavert_native.__file__)
        try:
            importlib.util.module_from_spec(found)
        except ImportError as e:
            print("ImportError:", e)
    """)
    assert result.stdout.startswith("ImportError: "), result.stdout + result.stderr
    assert "once" in result.stdout
