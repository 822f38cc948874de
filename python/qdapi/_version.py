"""The version of the loaded library against the binding's own."""
from __future__ import annotations

import ctypes
import warnings

from ._lib import lib


def _numbers(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in version.split(".")[:3])


def library_version() -> str:
    """The version of the libqdapi that was loaded ("1.0.0"); "" for a library
    that predates qdapi_version()."""
    function = getattr(lib, "qdapi_version", None)
    if function is None:
        return ""
    major, minor, patch = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
    version = function(ctypes.byref(major), ctypes.byref(minor), ctypes.byref(patch))
    # The numbers are what a program compares; the text must say the same.
    numbered = f"{major.value}.{minor.value}.{patch.value}"
    text = (version or b"").decode(errors="replace")
    return text if text == numbered else numbered


def mismatch(package: str, library: str) -> tuple[str, str] | None:
    """What a library of version `library` means to this binding of version
    `package`: None when it serves it, else ("error" or "warning", why)."""
    if not library:
        return "warning", (f"the loaded libqdapi is 1.0.0 or older (it tells no version), the binding {package} expects "
                           "functions that it lacks")
    have, want = _numbers(library), _numbers(package)
    if have[0] != want[0]:
        # Records and prototypes change with the major version: calls would
        # pass records the library reads otherwise.
        return "error", f"the loaded libqdapi is {library}, the binding {package} needs version {want[0]}.x"
    if have < want:
        return "warning", (f"the loaded libqdapi {library} is older than the binding {package}: "
                           "functions added since are missing (AttributeError when used)")
    return None


def check(package: str) -> None:
    """At import: ImportError for a library of another major version, a
    RuntimeWarning for an older one."""
    found = mismatch(package, library_version())
    if found is None:
        return
    kind, why = found
    if kind == "error":
        raise ImportError(why)
    warnings.warn(why, RuntimeWarning, stacklevel=3)
