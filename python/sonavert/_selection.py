"""What part of a file a call selects: frame ranges given as frame indices
or times in seconds, and channels given as an index or a sequence of them.
Shared by the reading API, ``info``/``convert``, ``batch`` and the command
line, so that each rounds a time and checks a channel the same way.
"""

from __future__ import annotations

import math
import numbers
from decimal import Decimal
from fractions import Fraction
from typing import Any, List, Optional, Tuple, Union

Position = Union[int, float, Decimal, Fraction, None]


class ChannelError(ValueError):
    """A selected channel that the file does not have (channels count from 0)."""

    def __init__(self, channel: int, channels: int):
        self.channel = channel
        self.channels = channels
        super().__init__(self.text(0))

    def text(self, base: int) -> str:
        """The message with channels numbered from ``base`` (0 or 1)."""
        plural = "s" if self.channels != 1 else ""
        hint = " (numbered from 0)" if base == 0 else ""
        return (f"channel {self.channel + base} out of range: "
                f"the file has {self.channels} channel{plural}{hint}")


def exact_seconds(value: Any, name: str) -> Fraction:
    """A time in seconds as an exact fraction; a float counts as the decimal
    number that it prints as (0.9 is nine tenths, not the binary double)."""
    if isinstance(value, bool) or not isinstance(value, (numbers.Real, Decimal)):
        raise TypeError(f"{name} must be a time in seconds (a number), got {type(value).__name__}")
    if isinstance(value, Decimal):
        if not value.is_finite():
            raise ValueError(f"{name} must be a finite time, got {value}")
        exact = Fraction(value)
    elif isinstance(value, numbers.Rational):
        exact = Fraction(int(value.numerator), int(value.denominator))
    else:
        number = float(value)
        if not math.isfinite(number):
            raise ValueError(f"{name} must be a finite time, got {number}")
        exact = Fraction(repr(number))
    if exact < 0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return exact


def frame_at(seconds: Fraction, rate: int) -> int:
    """The frame a time selects: the first frame at or after it."""
    return math.ceil(seconds * rate)


def _position(value: Position, rate: int, name: str) -> Optional[int]:
    """A frame index from a frame index (int) or a time in seconds (float,
    Decimal, Fraction): the first frame at or after that time."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (numbers.Real, Decimal)):
        raise TypeError(
            f"{name} must be a frame index (int) or a time in seconds (float), "
            f"got {type(value).__name__}"
        )
    if isinstance(value, numbers.Integral):
        frame = int(value)
        if frame < 0:
            raise ValueError(f"{name} must not be negative, got {frame}")
        return frame
    return frame_at(exact_seconds(value, name), rate)


def frame_range(start: Position, stop: Position, rate: int, frames: int) -> Tuple[int, int]:
    """[first, end) frames of the file that a start/stop pair selects; ends
    past the last frame are clipped, so the range may be empty."""
    given_first = _position(start, rate, "start")
    given_end = _position(stop, rate, "stop")
    first = 0 if given_first is None else given_first
    end = frames if given_end is None else given_end
    if given_end is not None and first > end:
        raise ValueError(f"start (frame {first}) is after stop (frame {end})")
    return min(first, frames), min(end, frames)


def validate_range(start: Position, stop: Position) -> None:
    """Checks a start/stop pair before any file is read: their types, their
    signs and, when both are frames or both are times, their order."""
    first = _position(start, 1, "start")
    end = _position(stop, 1, "stop")
    if start is None or stop is None:
        return
    frames = [isinstance(v, numbers.Integral) for v in (start, stop)]
    if all(frames) and first is not None and end is not None and first > end:
        raise ValueError(f"start (frame {first}) is after stop (frame {end})")
    if not any(frames) and exact_seconds(start, "start") > exact_seconds(stop, "stop"):
        raise ValueError(f"start ({start} s) is after stop ({stop} s)")


def _index(value: Any) -> Optional[int]:
    """``value`` as a channel index, or None when it is no integer."""
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        return int(value)
    return None


def channel_list(channels: Any, count: int) -> Tuple[Optional[List[int]], bool]:
    """(channel indices or None for all, whether a single int was given)."""
    if channels is None:
        return None, False
    one = _index(channels)
    if one is not None:
        picked, single = [one], True
    else:
        try:
            given = [_index(c) for c in channels]
        except TypeError:
            given = [None]
        picked = [c for c in given if c is not None]
        if len(picked) != len(given):
            raise TypeError("channels must be a channel index or a sequence of channel indices")
        if not picked:
            raise ValueError("channels must select at least one channel")
        single = False
    for channel in picked:
        if not 0 <= channel < count:
            raise ChannelError(channel, count)
    return picked, single
