"""Calls that the types of the installed package must refuse. Each line
carries the error it has to raise; mypy --strict reports an ignore that
matches no error, so this file passes only while every misuse is caught
(an untyped module, seen as Any, would let them all through)."""

from __future__ import annotations

import sonavert
import sonavert_native


def misuse(data: bytes) -> None:
    sonavert_native.transcode(bytearray(data))  # type: ignore[arg-type]
    sonavert_native.decode_pcm("file.sph")  # type: ignore[arg-type]
    sonavert_native.g711_expand(data, 1.0)  # type: ignore[arg-type]
    sonavert_native.g711_expand(data)  # type: ignore[call-arg]
    sonavert_native.shorten_to_pcm(stream=data, extra=True)  # type: ignore[call-arg]
    channels, ulaw, pcm = sonavert_native.shorten_to_pcm(data)
    channels.upper()  # type: ignore[attr-defined]
    text: str = sonavert_native.transcode(data)  # type: ignore[assignment]
    sonavert.read(data, start="1s")  # type: ignore[arg-type]
    frames: str = sonavert.info(data).frames  # type: ignore[assignment]
    sonavert.batch("in", "out", jobs="4")  # type: ignore[arg-type]
