"""Python binding of the KQ reader library (pure Python, ctypes).

Plain setup.py without pyproject.toml on purpose: pip then builds with the
setuptools it finds (Debian's python3-setuptools) instead of fetching one
into an isolated build environment, so `pip install ./bindings/python`
works offline.
"""

import pathlib

from setuptools import setup

setup(
    name="kq",
    version="0.1.0",
    description="Python binding of the KQ desktop RFID reader library (ctypes)",
    long_description=pathlib.Path(__file__).with_name("README.md").read_text(),
    long_description_content_type="text/markdown",
    packages=["kq"],
    python_requires=">=3.8",
)
