"""BMP images as NumPy arrays: load, filter, warp and save.

    >>> import bmpfun
    >>> image = bmpfun.load("card.bmp")
    >>> image.sampling = bmpfun.BILINEAR
    >>> disc = image.fun(1)            # a new image
    >>> disc.floyd_steinberg_dither(2) # in place
    >>> disc.pixels[0, 0]              # zero-copy view: r, g, b, a (a: a stored byte, not opacity)
    >>> rgb = np.asarray(disc)         # r, g, b, read-only and zero-copy: the picture as saved
    >>> disc.save("disc.bmp")          # 24 bits; save("disc8.bmp", bits=8) as `bmpfun convert`
    >>> disc.apply("blur=3 sharpen=3") # a chain as `bmpfun apply` takes it, on a copy

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
    Sampling,
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


def _pillow(what):
    try:
        from PIL import Image as PILImage
    except ImportError as e:
        raise ImportError(f"{what} needs Pillow, which is not installed (Debian: apt-get install "
                          "python3-pil; elsewhere: pip install Pillow)") from e
    return PILImage


def _to_pil(self, mode="RGB", *, alpha="stored"):
    """A new Pillow image with a copy of the pixels: mode "RGB" (the default: the picture as
    save writes it) or "RGBA" with alpha "stored" (the image's alpha bytes, which are not
    opacity: a 24-bit file loads with 0 and would show transparent) or "opaque" (255).
    ImportError when Pillow is not installed."""
    PILImage = _pillow("Image.to_pil")
    return PILImage.fromarray(self.to_array(mode, alpha=alpha), mode)


def from_pil(image, *, alpha=None, max_pixels=DEFAULT_MAX_PIXELS, threads=1):
    """A new Image from a Pillow image. An image with transparency (modes RGBA, LA, PA, or a
    palette with a transparent entry) keeps its opacity as the alpha byte; any other mode is
    taken as RGB, whose alpha is the alpha keyword, 0 unless given (what a 24-bit file loads
    with; alpha=255 for opaque). ImportError when Pillow is not installed; TypeError for
    anything but a Pillow image."""
    PILImage = _pillow("from_pil")
    if not isinstance(image, PILImage.Image):
        raise TypeError(f"from_pil takes a PIL.Image.Image, not {type(image).__name__}")
    transparent = image.mode in ("RGBA", "LA", "PA", "RGBa", "La") or "transparency" in image.info
    wanted = "RGBA" if transparent else "RGB"
    if image.mode != wanted:
        image = image.convert(wanted)
    return Image.from_array(image, alpha=alpha, max_pixels=max_pixels, threads=threads)


Image.to_pil = _to_pil
Image.from_pil = staticmethod(from_pil)


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
    "Sampling",
    "TruncatedFileWarning",
    "from_pil",
    "info",
    "load",
    "operations",
    "__version__",
]
