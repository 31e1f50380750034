"""BMP images as NumPy arrays: load, filter, warp and save.

    >>> import bmpfun
    >>> image = bmpfun.load("card.bmp")
    >>> image.sampling = bmpfun.BILINEAR
    >>> disc = image.fun(1)            # a new image
    >>> disc.floyd_steinberg_dither(2) # in place
    >>> disc.pixels[0, 0]              # zero-copy view: r, g, b, a
    >>> disc.save("disc.bmp")

See help(bmpfun.Image) for every operation; bmpfun.operations() lists them.
"""
from collections import namedtuple

from . import _bmpfun
from ._bmpfun import (
    BILINEAR,
    DEFAULT_MAX_PIXELS,
    GAUSSIAN,
    POINT,
    Error,
    Image,
    LayoutWarning,
    TruncatedFileWarning,
    __doc__ as _module_doc,
    __version__,
    info,
    load,
)

Argument = namedtuple("Argument", "name type low high step start extent")
Argument.__doc__ = """One argument of an operation: its keyword, type ('int' or 'float'), the range in
which it is useful (low to high, by step; any value is accepted), a value to start with, and
extent: for crop, the image measure its range follows ('column', 'row', 'width', 'height'),
else ''."""
Operation = namedtuple("Operation", "name method summary arguments values makes_new_image "
                                    "splits_over_threads draws_random_numbers")
Operation.__doc__ = """One operation of the library: its name in a chain ('floyd-steinberg-dither'), its
Image method ('floyd_steinberg_dither'; 'sampling' is the property), a one-line summary
with its formula, its arguments (Argument), the names of its integer argument's values as
(value, name) pairs, whether it returns a new image (else it works in place), whether it may
split its work over the image's threads, and whether it draws from rand()."""

_OPERATIONS = tuple(
    Operation(name, method, summary, tuple(Argument(*a) for a in arguments), values, *flags)
    for name, method, summary, arguments, values, *flags in _bmpfun._operations())


def operations():
    """The library's operations, in the order `bmpfun --help` lists them (a tuple of
    Operation): the same registry the Image methods, the command line and the web page are
    made from."""
    return _OPERATIONS


def _restore(state):
    """Rebuild a pickled Image (named by Image.__reduce__; a plain function pickles by name)."""
    return _bmpfun._restore_image(state)


__doc__ = (__doc__ or "") + "\n" + (_module_doc or "")
__all__ = [
    "Argument",
    "BILINEAR",
    "DEFAULT_MAX_PIXELS",
    "GAUSSIAN",
    "POINT",
    "Error",
    "Image",
    "LayoutWarning",
    "Operation",
    "TruncatedFileWarning",
    "info",
    "load",
    "operations",
    "__version__",
]
