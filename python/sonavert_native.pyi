"""Types of the sonavert_native extension module.

Every function takes the file or stream as ``bytes`` (or a subclass), reads it
in place, and raises ``ValueError`` with one message naming what is wrong when
it cannot be converted. Parameters may be given by position or keyword.
"""

from typing import Final

__version__: Final[str]
__all__ = ["__version__", "transcode", "decode_pcm", "shorten_to_pcm", "g711_expand"]

def transcode(sph: bytes) -> bytes:
    """Transcode a NIST SPHERE file (bytes) to RIFF/WAV bytes."""

def decode_pcm(sph: bytes) -> bytes:
    """Decode the payload to interleaved little-endian PCM (the WAV data chunk)."""

def shorten_to_pcm(stream: bytes) -> tuple[int, bool, bytes]:
    """Decode a bare Shorten stream to 16-bit little-endian PCM.

    Returns ``(channel_count, is_ulaw, pcm_bytes)``.
    """

def g711_expand(data: bytes, alaw: bool) -> bytes:
    """Expand G.711 bytes to 16-bit little-endian PCM (A-law when ``alaw``, else mu-law).

    ``alaw`` is ``True`` or ``False`` (a numpy boolean scalar is also accepted).
    """
