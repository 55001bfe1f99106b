"""Python binding of the KQ RFID reader library (libkq.so.0 / kq.dll).

    import kq
    print(kq.list_readers())                    # ['KQSIM0001', ...]
    with kq.Reader() as reader:                 # the first reader
        for uid in reader.inventory():
            print(uid, reader.read(uid, 0, 4))

The library is found through KQ_LIBRARY (a path), then the installed
soname (libkq.so.0), then the bin folder of a CMake build below the working
directory; it must have this binding's MAJOR version and at least its
MINOR (kq.LibraryVersionError otherwise). KQ_D2XX chooses the driver as for
any client (for example the simulated reader, with KQSIM_SCENARIO naming
its field); KQ_TRACE=stderr traces the driver traffic.
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
from ._version import __version__  # noqa: F401
from .codes import *  # noqa: F401,F403
from .codes import NAMES, result_name  # noqa: F401
from .errors import (  # noqa: F401
    ArgumentError,
    ArgumentTypeError,
    BuzzerError,
    CloseWarning,
    DeviceError,
    DeviceLostError,
    KqError,
    LibraryVersionError,
    NotOpenError,
    ReaderStatusError,
    TagError,
)
from .reader import (  # noqa: F401
    Event,
    EventKind,
    Loop,
    MultiResult,
    Reader,
    first_serial,
    library,
    library_version,
    list_readers,
)
