"""BMP images as NumPy arrays: load, filter, warp and save.

    >>> import bmpfun
    >>> image = bmpfun.load("card.bmp")
    >>> image.sampling = bmpfun.BILINEAR
    >>> disc = image.fun(1)            # a new image
    >>> disc.floyd_steinberg_dither(2) # in place
    >>> disc.pixels[0, 0]              # zero-copy view: r, g, b, a
    >>> disc.save("disc.bmp")

See help(bmpfun.Image) for every operation.
"""
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



def _restore(state):
    """Rebuild a pickled Image (named by Image.__reduce__; a plain function pickles by name)."""
    return _bmpfun._restore_image(state)


__doc__ = (__doc__ or "") + "\n" + (_module_doc or "")
__all__ = [
    "BILINEAR",
    "DEFAULT_MAX_PIXELS",
    "GAUSSIAN",
    "POINT",
    "Error",
    "Image",
    "LayoutWarning",
    "TruncatedFileWarning",
    "info",
    "load",
    "__version__",
]
