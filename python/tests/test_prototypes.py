# The binding's ctypes prototypes against the QDAPI_EXTERN declarations of
# include/qdapi.h and the family headers it includes: a prototype that
# drifts from its declaration passes wrong values without a word.
#
# How a C type becomes the ctypes type that the binding must declare:
#   void (result)                      None
#   int, int16_t, uint16_t, int32_t,   c_int, c_int16, c_uint16, c_int32,
#   uint32_t, double, float, ...       c_uint32, c_double, c_float, ...
#   reader_handle                      c_void_p (the binding's Handle)
#   char *, const char * (argument)    c_char_p
#   const char * (result)              c_char_p: the library's own text
#   char * (result of an _r function)  c_void_p: the caller's copy, which the
#                                      binding copies, then frees
#   char * (any other result)          c_char_p: the library's one copy
#   char ** results                    POINTER of the result mapping above
#   a record (typedef, or struct X) *  POINTER(its structure in _lib)
#   T * of any other T                 POINTER(T's mapping); T ** likewise
# const is ignored.  Every export is declared; none is left out.
import ctypes
import re
from ctypes import POINTER

import pytest

from conftest import PYTHON_DIR, RECORDS
from qdapi import _lib

HEADER = PYTHON_DIR.parent / "include" / "qdapi.h"

SCALARS = {
    "int": ctypes.c_int, "unsigned": ctypes.c_uint, "long": ctypes.c_long, "size_t": ctypes.c_size_t,
    "int8_t": ctypes.c_int8, "uint8_t": ctypes.c_uint8, "int16_t": ctypes.c_int16, "uint16_t": ctypes.c_uint16,
    "int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32, "int64_t": ctypes.c_int64, "uint64_t": ctypes.c_uint64,
    "double": ctypes.c_double, "float": ctypes.c_float, "reader_handle": ctypes.c_void_p,
}
# Records that only a prototype uses, beside those of the layout test.
PROTOTYPE_RECORDS = {**RECORDS, "qdapi_error": "ErrorRecord"}
# Typedefs of pointers: their pointee and how many stars they add.
POINTER_TYPEDEFS = {"param_name_list": ("char", 2)}


def header_texts(path=HEADER, seen=None):
    """The header and, in order, every header of the project it includes."""
    seen = set() if seen is None else seen
    if path in seen:
        return []
    seen.add(path)
    source = path.read_text()
    texts = [(path.name, source)]
    for included in re.findall(r'^\s*#\s*include\s+"([^"]+)"', source, re.M):
        texts += header_texts(HEADER.parent / included, seen)
    return texts


def strip(source):
    source = re.sub(r"/\*.*?\*/", " ", source, flags=re.S)
    source = re.sub(r"//[^\n]*", " ", source)
    # Preprocessor lines (the marker's own definition among them), with
    # their continuations.
    return re.sub(r"^\s*#(?:[^\n]*\\\n)*[^\n]*", " ", source, flags=re.M)


DECLARATION = re.compile(r"QDAPI_EXTERN\s*\(([^()]*)\)\s*(\w+)\s*(?:\(([^()]*)\))?\s*(\[[^\]]*\])?\s*;")


def parse_type(text):
    """(base type, stars) of a declaration without its name."""
    stars = text.count("*")
    words = [w for w in re.findall(r"\w+", text) if w not in ("const", "struct")]
    assert len(words) == 1, f"cannot read the type {text!r}"
    base = words[0]
    if base in POINTER_TYPEDEFS:
        base, more = POINTER_TYPEDEFS[base]
        stars += more
    return base, stars


def parse_parameter(text):
    """The type of a parameter, its name dropped."""
    name = re.search(r"(\w+)\s*$", text)
    words = [w for w in re.findall(r"\w+", text) if w not in ("const", "struct")]
    assert name and len(words) >= 2, f"a parameter without a name: {text!r}"
    return parse_type(text[:name.start()])


def declarations(texts):
    """name -> (result, [parameters]) of each exported function, each type
    as (base, stars); and the names of the exported variables."""
    functions, variables, markers = {}, set(), 0
    for _, source in texts:
        source = strip(source)
        markers += len(re.findall(r"QDAPI_EXTERN\s*\(", source))
        for result, name, parameters, array in DECLARATION.findall(source):
            if parameters == "" and "(" not in source[source.index(name):].split(";")[0]:
                variables.add(name)
                continue
            params = [p.strip() for p in parameters.split(",")] if parameters.strip() not in ("", "void") else []
            functions[name] = (parse_type(result), [parse_parameter(p) for p in params])
    # A declaration that the expression missed would go unchecked.
    assert markers == len(functions) + len(variables), "a QDAPI_EXTERN declaration was not understood"
    return functions, variables


def ctype(base, stars, result=False, caller_frees=False):
    """The ctypes type for a C type, by the table at the head of the file."""
    if base == "char" and stars:
        text = ctypes.c_void_p if result and caller_frees else ctypes.c_char_p
        for _ in range(stars - 1):
            text = POINTER(text)
        return text
    if base == "void":
        assert result or stars, "void is only a result or a pointee"
        if not stars:
            return None
        element = ctypes.c_void_p
        stars -= 1
    elif base in PROTOTYPE_RECORDS:
        element = getattr(_lib, PROTOTYPE_RECORDS[base])
    else:
        assert base in SCALARS, f"no ctypes type for {base}: add it to the table"
        element = SCALARS[base]
    for _ in range(stars):
        element = POINTER(element)
    return element


def expected_prototypes(functions):
    return {name: (ctype(*result, result=True, caller_frees=name.endswith("_r")),
                   tuple(ctype(*p) for p in params))
            for name, (result, params) in functions.items()}


def drift(expected, declared):
    """What differs between the header's prototypes and the binding's."""
    problems = []
    for name, (result, arguments) in sorted(expected.items()):
        if name not in declared:
            problems.append(f"{name}: no prototype")
            continue
        got_result, got_arguments = declared[name]
        if got_result is not result:
            problems.append(f"{name}: result {getattr(got_result, '__name__', got_result)}, "
                            f"the header's is {getattr(result, '__name__', result)}")
        if tuple(got_arguments) != arguments:
            problems.append(f"{name}: arguments {[a.__name__ for a in got_arguments]}, "
                            f"the header's are {[a.__name__ for a in arguments]}")
    problems += [f"{name}: declared, but not exported" for name in sorted(set(declared) - set(expected))]
    return problems


@pytest.fixture(scope="module")
def header():
    return declarations(header_texts())


def test_every_export_has_the_header_prototype(header):
    import qdapi  # noqa: F401 - declares the privileged family's plain prototypes too
    functions, _ = header
    assert len(functions) > 100
    assert drift(expected_prototypes(functions), _lib.prototypes) == []


def test_the_loaded_library_uses_the_prototypes(header):
    import qdapi  # noqa: F401
    functions, _ = header
    for name in functions:
        function = getattr(_lib.lib, name, None)
        if function is None:
            continue   # a library built before the header gained it
        assert (function.restype, tuple(function.argtypes)) == _lib.prototypes[name], name


def test_exported_variables_are_read_as_declared(header):
    _, variables = header
    assert {"reader_errno", "use_tcp", "trace_enabled", "protocol_names"} <= variables
    names = strip(dict(header_texts())["readers.h"])
    count = int(re.search(r"protocol_names\s*\[(\d+)\]", names).group(1))
    assert len(_lib.protocol_names) == count


# Prototypes that drift, each in one way; the check must name each one.
DRIFTS = [
    ("a result", "tags_available", lambda r, a: (ctypes.c_uint16, a), "tags_available: result"),
    ("an argument", "GPIO_set", lambda r, a: (r, a[:1] + (ctypes.c_int16,) + a[2:]), "GPIO_set: arguments"),
    ("a missing argument", "set_slot_tx_power", lambda r, a: (r, a[:-1]), "set_slot_tx_power: arguments"),
    ("an owned string read as the library's", "reader_params_get_r", lambda r, a: (ctypes.c_char_p, a),
     "reader_params_get_r: result"),
    ("another record", "tagdb_pop", lambda r, a: (r, (a[0], POINTER(_lib.TagRecord))), "tagdb_pop: arguments"),
    ("a pointer's level", "PRIV_getData", lambda r, a: (r, a[:2] + (POINTER(_lib.DataCaptureResult),)),
     "PRIV_getData: arguments"),
    ("no prototype", "reader_perror", None, "reader_perror: no prototype"),
]


@pytest.mark.parametrize("what, name, change, reported", DRIFTS, ids=[d[0] for d in DRIFTS])
def test_a_drifted_prototype_is_reported(header, what, name, change, reported):
    declared = dict(_lib.prototypes)
    if change is None:
        del declared[name]
    else:
        declared[name] = change(*declared[name])
    problems = drift(expected_prototypes(header[0]), declared)
    assert len(problems) == 1 and problems[0].startswith(reported), problems


@pytest.mark.parametrize("declaration, expected", [
    ("QDAPI_EXTERN(char *) thing_r(reader_handle h, const char *name);",
     ("thing_r", ctypes.c_void_p, (ctypes.c_void_p, ctypes.c_char_p))),
    ("QDAPI_EXTERN(const char *) thing(reader_handle h,\n    const char *const *texts, int16_t *out);",
     ("thing", ctypes.c_char_p, (ctypes.c_void_p, POINTER(ctypes.c_char_p), POINTER(ctypes.c_int16)))),
    ("QDAPI_EXTERN(void) thing(void);", ("thing", None, ())),
    ("QDAPI_EXTERN(int) thing(const struct hop_table *t, const data_capture_result **r);",
     ("thing", ctypes.c_int, (POINTER(_lib.HopTable), POINTER(POINTER(_lib.DataCaptureResult))))),
    ("QDAPI_EXTERN(param_name_list) thing_r(reader_handle h, int *count);",
     ("thing_r", POINTER(ctypes.c_void_p), (ctypes.c_void_p, POINTER(ctypes.c_int)))),
], ids=["owned string", "strings", "no arguments", "records", "list typedef"])
def test_declarations_read_as_the_table_says(declaration, expected):
    functions, _ = declarations([("x.h", "/* a comment: QDAPI_EXTERN(int) not_this(void); */\n" + declaration)])
    name, result, arguments = expected
    assert expected_prototypes(functions) == {name: (result, arguments)}
