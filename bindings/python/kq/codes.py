"""Result codes of the KQ library and their names.

The names are those of kq.h's #defines (the binding's tests compare this
table with the header). 1-15 are the reader's own status character read as
a hexadecimal digit; 3 and 10 are also library codes (KQ_ERR_NOBLOCKS from
the multi operations, KQ_ERR_NOREPLY).
"""

from typing import Optional

from ._native import (  # noqa: F401  (re-exported)
    KQ_OK,
    KQ_ERR_NOBLOCKS,
    KQ_ERR_NOREPLY,
    KQ_ERR_USB,
    KQ_ERR_SEND,
    KQ_ERR_RECEIVE,
    KQ_ERR_SERIALNO,
    KQ_ERR_TAG,
    KQ_ERR_WRITE,
    KQ_ERR_UIDCOUNT,
    KQ_ERR_BUZZER,
    KQ_ERR_LOOPSTOP,
    KQ_ERR_PARAM,
    KQ_ERR_CLOSE,
    KQ_ERR_BLOCKSIZE,
)

NAMES = {
    0: "KQ_OK",
    3: "KQ_ERR_NOBLOCKS",
    10: "KQ_ERR_NOREPLY",
    16: "KQ_ERR_USB",
    17: "KQ_ERR_SEND",
    18: "KQ_ERR_RECEIVE",
    19: "KQ_ERR_SERIALNO",
    20: "KQ_ERR_TAG",
    21: "KQ_ERR_WRITE",
    22: "KQ_ERR_UIDCOUNT",
    24: "KQ_ERR_BUZZER",
    28: "KQ_ERR_LOOPSTOP",
    29: "KQ_ERR_PARAM",
    30: "KQ_ERR_CLOSE",
    31: "KQ_ERR_BLOCKSIZE",
}

# Operations whose 3 means "no blocks requested" rather than reader status 3.
_NOBLOCKS_OPERATIONS = ("KQ_MultiRead", "KQ_MultiWrite")


def result_name(code: int, operation: Optional[str] = None) -> str:
    """Name of a result code as the operation that returned it means it."""
    if code == KQ_ERR_NOBLOCKS and operation not in _NOBLOCKS_OPERATIONS:
        return "reader status '3'"
    if code in NAMES:
        return NAMES[code]
    if 1 <= code <= 15:
        return "reader status '%X'" % code
    return "unknown result %d" % code
