"""Griffe extension: docstrings from the runtime objects where the stubs have none.

The package's typed surface (src/murk/__init__.pyi) gives griffe every signature
but carries no prose; the prose lives once, in the extension module's own
docstrings. After griffe has loaded a package, this copies each runtime docstring
onto the stubbed class or member that lacks one, so the API reference comes from
both sources and neither is written twice. New classes and methods are picked up
as they appear; objects that already have a docstring (pure-Python modules) keep it.
"""
import importlib
import inspect

import griffe


def _runtime(path):
    """The live object at a dotted path such as murk.BloomFilter.add, or None."""
    parts = path.split(".")
    for i in range(len(parts), 0, -1):
        try:
            obj = importlib.import_module(".".join(parts[:i]))
        except Exception:  # an optional dependency missing: no docstring, not a failed build
            continue
        try:
            for name in parts[i:]:
                obj = inspect.getattr_static(obj, name)
                if isinstance(obj, (staticmethod, classmethod)):
                    obj = obj.__func__
        except AttributeError:
            return None
        return obj
    return None


# CPython's generic texts for slot wrappers and the staticmethod type say nothing useful.
_GENERIC = ("staticmethod(function)", "Return len(self)", "Return key in self", "Return self[key]",
            "Initialize self", "Create and return a new object")


def _fill(obj):
    if obj.docstring is None or not obj.docstring.value.strip():
        live = _runtime(obj.path)
        # Attributes take the text of a property (a data descriptor), never that
        # of a plain value's type (a str constant would get str's docstring).
        wanted = obj.is_class or obj.is_function or (obj.is_attribute and inspect.isdatadescriptor(live))
        doc = inspect.getdoc(live) if wanted else None
        if doc and not doc.startswith(_GENERIC):
            obj.docstring = griffe.Docstring(doc, parent=obj)
    for member in obj.members.values():
        if not member.is_alias:
            _fill(member)


def _constructor_as_init(cls):
    # Extension types are built by __new__; shown as __init__, the renderer puts
    # the constructor's parameters in the class's own signature.
    new = cls.members.get("__new__")
    if new is None or new.is_alias or "__init__" in cls.members or not new.parameters:
        return
    params = [griffe.Parameter("self", kind=griffe.ParameterKind.positional_or_keyword)]
    params += list(new.parameters)[1:]
    init = griffe.Function("__init__", lineno=new.lineno, endlineno=new.endlineno,
                           parameters=griffe.Parameters(*params), returns="None", docstring=new.docstring)
    cls.set_member("__init__", init)
    cls.del_member("__new__")


def _walk_classes(obj):
    for member in list(obj.members.values()):
        if member.is_alias:
            continue
        if member.is_class:
            _constructor_as_init(member)
        if member.is_class or member.is_module:
            _walk_classes(member)


class RuntimeDocstrings(griffe.Extension):
    def on_package(self, *, pkg, **kwargs):
        _walk_classes(pkg)
        _fill(pkg)
