"""A real English corpus that every Python 3.13 installation has: the
docstrings of the standard library.

``collect()`` imports the public standard-library modules (and the public
submodules of its packages), and returns one ``Entry`` per documented module,
class, function and method, identified by its qualified name
("csv.DictReader", "datetime.date.strftime"). Modules that cannot be imported
on this machine, private modules (a leading underscore), test suites, GUI
toolkits and modules that act when imported are left out.
"""

from __future__ import annotations

import contextlib
import importlib
import inspect
import io
import pkgutil
import sys
import warnings
from dataclasses import dataclass

# Modules (and packages, with everything below them) that are not indexed:
# GUI toolkits and demos, test suites, modules that do something as soon as
# they are imported, and installers / command-line entry points.
SKIP = {
    "antigravity", "this", "idlelib", "tkinter", "turtle", "turtledemo", "test",
    "lib2to3", "pydoc_data", "ensurepip", "venv", "readline", "rlcompleter",
    "xxlimited", "xxlimited_35", "xxsubtype", "encodings", "msilib", "winreg",
    "winsound", "msvcrt", "nt", "_winapi", "__phello__", "__hello__",
    # implementation modules whose contents are listed under the public
    # module that exports them (os, os.path)
    "posix", "genericpath", "ntpath", "nturl2path",
}

KIND_MODULE = "module"
KIND_CLASS = "class"
KIND_FUNCTION = "function"
KIND_METHOD = "method"


@dataclass
class Entry:
    id: str        # qualified name, e.g. "csv.DictReader"
    module: str    # the module it is listed under, e.g. "csv"
    kind: str      # "module", "class", "function" or "method"
    doc: str       # the cleaned docstring


def _public(name: str) -> bool:
    return not name.startswith("_")


def _skipped(modname: str) -> bool:
    parts = modname.split(".")
    return parts[0] in SKIP or any(p.startswith("_") for p in parts) or "tests" in parts


def _quiet_import(name: str):
    """Import a module with its output and warnings silenced; None on failure."""
    sink = io.StringIO()
    try:
        with warnings.catch_warnings(), contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
            warnings.simplefilter("ignore")
            return importlib.import_module(name)
    except BaseException:  # noqa: BLE001 - any failure just drops the module
        return None


def _module_names() -> list[str]:
    names = []
    for top in sorted(sys.stdlib_module_names):
        if _skipped(top):
            continue
        mod = _quiet_import(top)
        if mod is None:
            continue
        names.append(top)
        path = getattr(mod, "__path__", None)
        if not path:
            continue
        for info in pkgutil.walk_packages(path, prefix=top + ".", onerror=lambda _name: None):
            if not _skipped(info.name) and info.name.rsplit(".", 1)[-1] != "__main__":
                names.append(info.name)
    return names


def _display_module(name: str) -> str:
    # posixpath is what os.path is on this platform; users know it as os.path.
    return "os.path" if name == "posixpath" else name


def _doc(obj) -> str | None:
    doc = obj.__doc__ if isinstance(getattr(obj, "__doc__", None), str) else None
    if not doc:
        return None
    doc = inspect.cleandoc(doc).strip()
    return doc or None


def _exported(mod) -> list[str]:
    names = getattr(mod, "__all__", None)
    if isinstance(names, (list, tuple)):
        return [n for n in names if isinstance(n, str) and _public(n)]
    return [n for n in dir(mod) if _public(n)]


def collect(max_entries: int | None = None) -> list[Entry]:
    """Docstrings of the standard library, one entry per documented object.

    Each class or function is listed once, under the module that defines it;
    an object defined in a private module (``_csv.reader``) is listed under
    the public module that exports it (``csv.reader``), the shortest such
    name when there are several.
    """
    modules = []
    for name in _module_names():
        mod = _quiet_import(name)
        if mod is not None:
            modules.append((name, mod))

    entries: list[Entry] = []
    # id(obj) -> (rank, qualified name, module name, kind, obj)
    objects: dict[int, tuple] = {}
    for name, mod in modules:
        shown = _display_module(name)
        doc = _doc(mod)
        if doc:
            entries.append(Entry(shown, shown, KIND_MODULE, doc))
        for attr in _exported(mod):
            try:
                obj = getattr(mod, attr)
            except Exception:  # noqa: BLE001
                continue
            if inspect.isclass(obj):
                kind = KIND_CLASS
            elif inspect.isroutine(obj):
                kind = KIND_FUNCTION
            else:
                continue
            home = getattr(obj, "__module__", None) or ""
            if home != name and not _skipped(home) and home in sys.modules:
                continue  # listed under its own (public) module
            rank = (0 if home == name else 1, len(name), name)
            old = objects.get(id(obj))
            if old is None or rank < old[0]:
                objects[id(obj)] = (rank, f"{shown}.{attr}", shown, kind, obj)

    seen_ids = {e.id for e in entries}
    for _rank, qualname, shown, kind, obj in sorted(objects.values(), key=lambda t: t[1]):
        if qualname in seen_ids:
            continue
        doc = _doc(obj)
        if doc and not (kind == KIND_CLASS and doc == _doc(object)):
            entries.append(Entry(qualname, shown, kind, doc))
            seen_ids.add(qualname)
        if kind != KIND_CLASS:
            continue
        for mname, member in vars(obj).items():
            if not _public(mname):
                continue
            if isinstance(member, (staticmethod, classmethod)):
                member = member.__func__
            if not (inspect.isroutine(member) or isinstance(member, property)):
                continue
            mdoc = _doc(member)
            if not mdoc:
                continue
            # Skip a docstring copied from a base class's method of that name.
            if any(_doc(vars(b).get(mname)) == mdoc for b in obj.__mro__[1:] if mname in vars(b)):
                continue
            mid = f"{qualname}.{mname}"
            if mid not in seen_ids:
                entries.append(Entry(mid, shown, KIND_METHOD, mdoc))
                seen_ids.add(mid)

    entries.sort(key=lambda e: e.id)
    if max_entries is not None:
        entries = entries[:max_entries]
    return entries


if __name__ == "__main__":
    import collections

    found = collect()
    print(len(found), "entries")
    print(collections.Counter(e.kind for e in found))
    for e in found[:5]:
        print(e.id, e.kind, repr(e.doc[:60]))
