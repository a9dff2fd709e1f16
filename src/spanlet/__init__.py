"""spanlet: one-dimensional function bases with exact inner products.

The numerical core lives in the native module ``spanlet._spanlet``; this package re-exports it.
"""

from spanlet import _spanlet
from spanlet._spanlet import *  # noqa: F401,F403
from spanlet._spanlet import __version__

__all__ = [name for name in dir(_spanlet) if not name.startswith("_")] + ["__version__"]
