"""Python binding of the KQ RFID reader library (libkq.so / kq.dll).

    import kq
    with kq.Reader() as reader:
        for uid in reader.inventory():
            print(uid, reader.read(uid, 0, 4))

The library is found through KQ_LIBRARY (a path), then the installed
soname (libkq.so.0), then the bin folder of a CMake build below the working
directory. KQ_D2XX chooses the driver as for any client (for example the
simulated reader, with KQSIM_SCENARIO naming its field); KQ_TRACE=stderr
traces the driver traffic.
"""

from ._native import (  # noqa: F401
    KQ_LOOP_MULTIREAD,
    KQ_LOOP_MULTIWRITE,
    KQ_LOOP_TAGCOMMAND,
    KQ_LOOP_UID,
    WM_KQ_DATA,
    WM_KQ_LOOPEND,
    WM_KQ_USBERROR,
)
from .codes import *  # noqa: F401,F403
from .codes import NAMES, result_name  # noqa: F401
from .reader import Event, KqError, Loop, MultiResult, Reader, first_serial, library  # noqa: F401

__version__ = "0.1.0"
