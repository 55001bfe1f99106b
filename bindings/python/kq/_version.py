"""The binding's version: the one place it is written.

pyproject.toml reads it (``[tool.setuptools.dynamic]``), ``kq.__version__``
is it, and the library that is loaded must have the same MAJOR and at least
this MINOR (``KQ_GetVersion``), since the binding calls functions added in
that minor version.
"""

__version__ = "0.2.0"
