"""Native function objects: argument binding and type tests, the attributes
and code objects that introspection sees, pickling, weak references and
method binding."""

from __future__ import annotations

import copy
import ctypes
import inspect
import pickle
import traceback
import weakref

import pytest

from platforms import address
from zorvan.amazon_rufus.runtime import regionet

SOURCE = "zorvan/amazon_rufus/runtime/regionet"
MODULE = "zorvan.amazon_rufus.runtime.regionet"
DEF_LINES = {"resolve_marketplace": 16, "build_product_url": 26}

resolve = regionet.resolve_marketplace
build = regionet.build_product_url
US = regionet._MARKETPLACES["US"]


class Text(str):
    pass


def native_entries(exc):
    return [(e.lineno, e.name) for e in traceback.extract_tb(exc.__traceback__) if e.filename == SOURCE]


def run_time(*parts):
    # Equal to a parameter name, but not the same (interned) object.
    return "".join(parts)


def table(*rows):
    """Rows of (call, expected), each named by its expected message or value."""
    return [pytest.param(call, expected, id=str(expected)) for call, expected in rows]


def vectorcall(function, args, kwnames):
    """A fast call with a keyword-name tuple that interpreted code cannot build."""
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [
        ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    stack = (ctypes.py_object * len(args))(*args)
    return api.PyObject_Vectorcall(function, stack, len(args) - len(kwnames), kwnames)


# ---------------------------------------------------------------------------
# Binding and type tests
# ---------------------------------------------------------------------------

COUNT_1 = "resolve_marketplace() takes exactly 1 positional argument ({} given)"
COUNT_2 = "build_product_url() takes exactly 2 positional arguments ({} given)"


@pytest.mark.parametrize("call, message", table(
    (lambda: resolve(), COUNT_1.format(0)),
    (lambda: resolve("us", "uk"), COUNT_1.format(2)),
    (lambda: build("x"), COUNT_2.format(1)),
    (lambda: build("a", "b", "c"), COUNT_2.format(3)),
    (lambda: build("a", "b", "c", country="us"), COUNT_2.format(3)),
    # an empty positional parameter reports its own index as the count
    (lambda: build(country="us"), COUNT_2.format(0)),
    (lambda: build(asin="x"), COUNT_2.format(1)),
    (lambda: resolve("us", country="uk"),
     "resolve_marketplace() got multiple values for keyword argument 'country'"),
    (lambda: build("x", asin="y"), "build_product_url() got multiple values for keyword argument 'asin'"),
    (lambda: resolve("us", **{run_time("coun", "try"): "uk"}),
     "resolve_marketplace() got multiple values for keyword argument 'country'"),
    (lambda: resolve("us", **{Text("country"): "uk"}),
     "resolve_marketplace() got multiple values for keyword argument 'country'"),
    (lambda: resolve(nation="us"), "resolve_marketplace() got an unexpected keyword argument 'nation'"),
    (lambda: build("a", "b", nation="x"), "build_product_url() got an unexpected keyword argument 'nation'"),
    (lambda: resolve(**{Text("nation"): "uk"}),
     "resolve_marketplace() got an unexpected keyword argument 'nation'"),
    (lambda: resolve(**{"\udc80": "us"}), "resolve_marketplace() got an unexpected keyword argument '\udc80'"),
    # the first failing keyword ends binding, and binding comes before type tests
    (lambda: resolve(country=1, nation="us", Country="x"),
     "resolve_marketplace() got an unexpected keyword argument 'nation'"),
    (lambda: vectorcall(resolve, ["us"], (1,)), "resolve_marketplace() keywords must be strings"),
))
def test_binding_error_adds_one_traceback_entry_at_the_def_line(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    name = message.split("()")[0]
    assert native_entries(info.value) == [(DEF_LINES[name], f"{MODULE}.{name}")]
    assert traceback.extract_tb(info.value.__traceback__)[-1].filename == SOURCE


def test_non_string_keyword_in_a_mapping_is_refused_before_the_call():
    with pytest.raises(TypeError) as info:
        resolve(**{1: 2})
    assert str(info.value) == "keywords must be strings"
    assert native_entries(info.value) == []


@pytest.mark.parametrize("call, result", table(
    (lambda: resolve(country="us"), US),
    (lambda: resolve(**{run_time("coun", "try"): "us"}), US),
    (lambda: resolve(**{Text("country"): "us"}), US),
    (lambda: vectorcall(resolve, ["us"], (run_time("coun", "try"),)), US),
    (lambda: build(country="us", asin="b0x"), "https://www.amazon.com/dp/B0X"),
    (lambda: build(**{Text("country"): "us", run_time("as", "in"): "b0x"}), "https://www.amazon.com/dp/B0X"),
))
def test_keywords_match_parameters_by_content_in_any_order(call, result):
    assert call() == result


@pytest.mark.parametrize("call, message", table(
    (lambda: resolve(None), "Argument 'country' has incorrect type (expected str, got NoneType)"),
    (lambda: resolve(1), "Argument 'country' has incorrect type (expected str, got int)"),
    (lambda: resolve(country=Text("us")), "Argument 'country' has incorrect type (expected str, got Text)"),
    (lambda: build(1, 2), "Argument 'asin' has incorrect type (expected str, got int)"),
    (lambda: build(country=None, asin=b"x"), "Argument 'asin' has incorrect type (expected str, got bytes)"),
    (lambda: build("x", Text("us")), "Argument 'country' has incorrect type (expected str, got Text)"),
))
def test_type_test_refuses_all_but_exact_str_without_a_traceback_entry(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert native_entries(info.value) == []


# ---------------------------------------------------------------------------
# Attributes
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("function, doc, annotations", [
    (resolve, "按国家名解析 Amazon 站点。", {"country": "str", "return": "Marketplace"}),
    (build, "构造商品详情页 URL。", {"asin": "str", "country": "str", "return": "str"}),
])
def test_function_attributes(function, doc, annotations):
    name = function.__code__.co_name
    assert (function.__name__, function.__qualname__, function.__module__) == (name, name, MODULE)
    assert function.__doc__ == doc
    assert list(function.__annotations__.items()) == list(annotations.items())
    assert function.__globals__ is vars(regionet)
    assert function.__closure__ is function.__defaults__ is function.__kwdefaults__ is None
    assert function._is_coroutine is False
    assert function.__dict__ == {}
    assert repr(function) == f"<function {name} at {address(function)}>"
    for alias in ("name", "doc", "dict", "globals", "closure", "code", "defaults"):
        assert getattr(function, f"func_{alias}") is getattr(function, f"__{alias}__")


SETTABLE = ["__name__", "__qualname__", "__doc__", "__module__", "__defaults__", "__kwdefaults__",
            "__annotations__"]


@pytest.fixture
def restore_resolve():
    saved = {attribute: getattr(resolve, attribute) for attribute in SETTABLE}
    yield
    for attribute, value in saved.items():
        setattr(resolve, attribute, value)
    resolve.__dict__.clear()


DELETE = object()


@pytest.mark.parametrize("attribute, value, message", [
    ("__name__", 3, "__name__ must be set to a string object"),
    ("__name__", DELETE, "__name__ must be set to a string object"),
    ("func_name", None, "__name__ must be set to a string object"),
    ("__qualname__", b"x", "__qualname__ must be set to a string object"),
    ("__qualname__", DELETE, "__qualname__ must be set to a string object"),
    ("__defaults__", ["us"], "__defaults__ must be set to a tuple object"),
    ("func_defaults", "us", "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", [("country", "us")], "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [], "__annotations__ must be set to a dict object"),
])
def test_assignment_of_the_wrong_type_is_refused(attribute, value, message, restore_resolve):
    before = getattr(resolve, attribute)
    with pytest.raises(TypeError) as info:
        if value is DELETE:
            delattr(resolve, attribute)
        else:
            setattr(resolve, attribute, value)
    assert str(info.value) == message
    assert getattr(resolve, attribute) is before


@pytest.mark.parametrize("attribute, value", [
    ("__name__", Text("renamed")),
    ("func_name", "renamed"),
    ("__qualname__", Text("Outer.renamed")),
    ("__doc__", 5),
    ("func_doc", None),
    ("__module__", 7),
    ("__defaults__", ("us",)),
    ("__kwdefaults__", {"country": "us"}),
    ("__kwdefaults__", None),
    ("__annotations__", {"country": int}),
])
def test_assigned_value_is_read_back(attribute, value, restore_resolve):
    setattr(resolve, attribute, value)
    assert getattr(resolve, attribute) is value


def test_stored_defaults_and_names_do_not_change_calls(restore_resolve):
    resolve.__defaults__ = ("us",)
    resolve.__kwdefaults__ = {"country": "us"}
    resolve.__qualname__ = "Somewhere.else"
    resolve.marker = 1
    assert resolve.__dict__ == {"marker": 1}
    assert repr(resolve) == f"<function Somewhere.else at {address(resolve)}>"
    with pytest.raises(TypeError) as info:
        resolve()
    assert str(info.value) == COUNT_1.format(0)


@pytest.mark.parametrize("attribute, empty, after", [
    ("__doc__", DELETE, None),
    ("__annotations__", DELETE, {}),
    ("__annotations__", None, {}),  # a new dict, kept from then on
])
def test_emptied_attribute_reads_as_its_empty_value(attribute, empty, after, restore_resolve):
    before = getattr(resolve, attribute)
    if empty is DELETE:
        delattr(resolve, attribute)
    else:
        setattr(resolve, attribute, empty)
    value = getattr(resolve, attribute)
    assert value == after and value is not before
    assert getattr(resolve, attribute) is value


@pytest.mark.parametrize("attribute", ["__globals__", "func_globals", "__closure__", "func_closure",
                                       "__code__", "func_code", "_is_coroutine"])
def test_read_only_attributes_refuse_assignment_and_deletion(attribute):
    before = getattr(resolve, attribute)
    message = f"attribute '{attribute}' of '{type(resolve).__name__}' objects is not writable"
    for change in (lambda: setattr(resolve, attribute, before), lambda: delattr(resolve, attribute)):
        with pytest.raises(AttributeError) as info:
            change()
        assert str(info.value) == message
    assert getattr(resolve, attribute) is before


# ---------------------------------------------------------------------------
# Code objects and signatures
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("function, argcount, varnames, signature", [
    (resolve, 1, ("country", "normalized", "exc", "supported"), "(country: 'str') -> 'Marketplace'"),
    (build, 2, ("asin", "country", "marketplace"), "(asin: 'str', country: 'str') -> 'str'"),
])
def test_code_object_and_signature_describe_the_function(function, argcount, varnames, signature):
    code = function.__code__
    name = function.__name__
    assert (code.co_name, code.co_qualname, code.co_filename) == (name, name, SOURCE)
    assert code.co_firstlineno == DEF_LINES[name]
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, 0)
    assert (code.co_varnames, code.co_nlocals, code.co_flags) == (varnames, len(varnames), 3)
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
    # the line ranges are contiguous and cover every byte of the code
    ranges = list(code.co_lines())
    assert ranges[0][0] == 0 and ranges[-1][1] == len(code.co_code)
    assert all(end == start for (_, end, _), (start, _, _) in zip(ranges, ranges[1:]))
    assert ranges[0][2] == code.co_firstlineno
    assert all(line >= code.co_firstlineno for _, _, line in ranges)
    assert str(inspect.signature(function)) == signature


# ---------------------------------------------------------------------------
# Pickling, weak references, method binding
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("function", [resolve, build])
def test_function_pickles_and_copies_as_itself(function):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function


def test_weak_reference_follows_the_function():
    assert weakref.ref(resolve)() is resolve


class Holder:
    resolve = resolve
    build = build


def test_read_through_an_instance_gives_a_bound_method_and_through_the_class_the_function():
    holder = Holder()
    method = holder.resolve
    assert type(method).__name__ == "method"
    assert (method.__self__, method.__func__) == (holder, resolve)
    assert resolve.__get__("us")() is US
    assert Holder.resolve is resolve
    assert resolve.__get__(None, Holder) is resolve


@pytest.mark.parametrize("call, message", table(
    (lambda: Holder().resolve(), "Argument 'country' has incorrect type (expected str, got Holder)"),
    (lambda: Holder().build("us"), "Argument 'asin' has incorrect type (expected str, got Holder)"),
    (lambda: Holder().resolve("us"), COUNT_1.format(2)),
))
def test_method_call_passes_the_instance_first(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
