"""A lhotse audio backend that reads SPHERE files with sonavert.

Two lines in a recipe::

    import sonavert.lhotse
    sonavert.lhotse.use()

put it ahead of lhotse's default chain of backends, in place of the one
that runs an ``sph2pipe`` process per cut. Cuts of a file come out as the
``sph2pipe`` backend gives them (float32, shaped (channels, samples), the
same frames for the same times, the same result at the file's end), and a
recording's shape comes from its header, without decoding. Shorten files
are decoded in this process, resuming from seek points that sonavert keeps
per file, so a cut costs about its own length. Needs the optional extra
``sonavert[lhotse]``.

Worker processes started by fork (the default of lhotse's and PyTorch's
DataLoader on Linux) inherit the choice; processes started otherwise (spawn,
Dask workers) call ``use()`` themselves, e.g. with
``worker_init_fn=sonavert.lhotse.worker_init`` or ``client.run(sonavert.lhotse.use)``.
"""

from __future__ import annotations

from typing import Any, Optional, Tuple

from lhotse.audio.backend import (  # type: ignore[import-not-found, unused-ignore]
    AudioBackend,
    CompositeAudioBackend,
    LibsndfileCompatibleAudioInfo,
    Sph2pipeSubprocessBackend,
    get_default_audio_backend,
    set_current_audio_backend,
)

from ._cuts import cut_info, is_sphere, read_cut

__all__ = ["SonavertBackend", "use", "worker_init"]


class SonavertBackend(AudioBackend):  # type: ignore[misc, unused-ignore]
    """Reads SPHERE files (``.sph``, ``.wv1``, ``.wv2``, and any path or file
    object that starts with the SPHERE magic, NIST ``.WAV`` files included)."""

    def read_audio(self, path_or_fd: Any, offset: float = 0.0, duration: Optional[float] = None,
                   force_opus_sampling_rate: Optional[int] = None) -> Tuple[Any, int]:
        return read_cut(path_or_fd, offset, duration)

    def handles_special_case(self, path_or_fd: Any) -> bool:
        return is_sphere(path_or_fd)

    def is_applicable(self, path_or_fd: Any) -> bool:
        return is_sphere(path_or_fd)

    def supports_info(self) -> bool:
        return True

    def info(self, path_or_fd: Any, force_opus_sampling_rate: Optional[int] = None) -> LibsndfileCompatibleAudioInfo:
        channels, frames, rate, duration = cut_info(path_or_fd)
        return LibsndfileCompatibleAudioInfo(channels=channels, frames=frames, samplerate=rate, duration=duration)


def use() -> CompositeAudioBackend:
    """Makes lhotse read audio with SonavertBackend first, then its default
    chain without the sph2pipe backend (lhotse refuses two backends that
    both claim a file). Returns the backend set."""
    chain = [b for b in get_default_audio_backend().backends if not isinstance(b, Sph2pipeSubprocessBackend)]
    backend = CompositeAudioBackend([SonavertBackend(), *chain])
    set_current_audio_backend(backend)
    return backend


def worker_init(worker_id: int = 0) -> None:
    """use(), for a DataLoader's ``worker_init_fn``."""
    use()
