"""qdapi: the client library of the network-attached RFID reader, in Python.

    import qdapi
    with qdapi.Reader("127.0.0.2") as reader:
        for tag in reader.inventory():
            print(tag.hex)

The library is found through the environment variable QDAPI_LIBRARY (the
path of libqdapi.so), else as the installed libqdapi.so.1.  Its version,
library_version(), is checked at import against the binding's,
__version__: a library of another major version is refused (ImportError),
an older one warned of (RuntimeWarning).
"""
from __future__ import annotations

__version__ = "1.1.0"

from . import _version  # after __version__, which it checks

_version.check(__version__)

from . import sim
from ._lib import SearchConfig
from .admin import AntennaStats, Config, FirmwareStatus, Params, SourceStats
from .diag import Diag, privilege_level, unlock
from .errors import (AntennaNotConnectedError, Code, InvalidArgumentError, InvalidHandleError, NoResponseError,
                     OperationTimeoutError, PrivilegeError, ReaderError, RemoteError, TableFullError,
                     UnableToComplyError, VerifyError, last_errno, strerror)
from .inventory import SearchParams, Tag, Watch, unique
from .radio import Hardware, protocol_names
from .reader import Reader, Settings, settings
from .tags import Area, TagMemory
from ._version import library_version

__all__ = [
    "Reader", "settings", "Settings", "Tag", "SearchParams", "SearchConfig", "Watch", "unique", "TagMemory",
    "Area", "Hardware", "protocol_names", "Params", "Config", "AntennaStats", "SourceStats", "FirmwareStatus",
    "Diag", "unlock", "privilege_level", "Code", "strerror", "last_errno", "ReaderError", "InvalidArgumentError",
    "InvalidHandleError", "RemoteError", "UnableToComplyError", "NoResponseError", "AntennaNotConnectedError",
    "VerifyError", "TableFullError", "OperationTimeoutError", "PrivilegeError", "sim", "library_version",
]
