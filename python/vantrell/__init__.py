"""Read, write and check PowerPoint (PPTX) presentations.

Everything lives in the extension module ``vantrell._vantrell``; this package
re-exports it so that ``vantrell.Document``, ``vantrell.PptxError`` and
``vantrell.__version__`` work, and makes ``import vantrell.write`` find the
writing submodule.
"""

import sys as _sys

from . import _vantrell
from ._vantrell import *  # noqa: F401,F403

__version__ = _vantrell.__version__
__all__ = list(_vantrell.__all__)

if hasattr(_vantrell, "write"):
    write = _vantrell.write
    _sys.modules.setdefault(__name__ + ".write", write)

del _sys
