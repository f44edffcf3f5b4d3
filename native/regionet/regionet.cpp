// zorvan.amazon_rufus.runtime.regionet: a fixed map from four country codes
// to Amazon's country storefronts.
//
// Each C++ function stands for one Python function; the Python it stands
// for is quoted above the statements, with its source line in brackets.
// Those lines are the lines of the traceback entries.
#include "regionet_table.hpp"

#include <cstring>
#include <iterator>

namespace regionet {

using namespace frame;

namespace {

TypeMethod str_strip{&PyUnicode_Type, S::strip};

// The rows of the marketplace table, in their order.
struct Row {
    StringId code;
    StringId base_url;
    int line;
};
constexpr Row rows[] = {
    {S::US, S::url_us, 9},
    {S::UK, S::url_uk, 10},
    {S::DE, S::url_de, 11},
    {S::JP, S::url_jp, 12},
};

// The ends of an ASCII text without the whitespace that strip() removes.
struct AsciiSpan {
    const unsigned char* begin;
    const unsigned char* end;
    Py_ssize_t length() const { return end - begin; }
};

AsciiSpan stripped_ascii(Borrowed text)
{
    const auto* begin = static_cast<const unsigned char*>(PyUnicode_DATA(text.ptr()));
    const unsigned char* end = begin + PyUnicode_GET_LENGTH(text.ptr());
    while (begin < end && Py_UNICODE_ISSPACE(*begin)) ++begin;
    while (end > begin && Py_UNICODE_ISSPACE(end[-1])) --end;
    return {begin, end};
}

unsigned char ascii_upper(unsigned char c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

void copy_upper(const AsciiSpan& span, unsigned char* out)
{
    for (const unsigned char* c = span.begin; c < span.end; ++c) *out++ = ascii_upper(*c);
}

// `text.strip().upper()` for an exact str.
//
// Plain ASCII, the usual case, is done in one pass and one allocation:
// ASCII whitespace and letters are all that strip and upper touch there, so
// the result is the text the two methods give.
Ref strip_upper(Borrowed text)
{
    if (!PyUnicode_IS_ASCII(text.ptr())) {
        Ref stripped = str_strip.call(text);
        return call_method(stripped, S::upper);
    }
    AsciiSpan span = stripped_ascii(text);
    Ref result(steal, PyUnicode_New(span.length(), 0x7F));
    if (!result) return nullptr;
    copy_upper(span, static_cast<unsigned char*>(PyUnicode_DATA(result.ptr())));
    return result;
}

// `country.strip().upper()`, handing back the table's own key string when
// the code is one of the built-in ones: an equal string, so the lookup
// answers the same, without making one and with an identity match.
Ref normalized_code(Borrowed country)
{
    if (PyUnicode_IS_ASCII(country.ptr())) {
        AsciiSpan span = stripped_ascii(country);
        if (span.length() == 2) {
            const unsigned char code[2] = {ascii_upper(span.begin[0]), ascii_upper(span.begin[1])};
            for (const Row& row : rows) {
                Borrowed key = string(row.code);
                if (std::memcmp(PyUnicode_DATA(key.ptr()), code, 2) == 0) return Ref(borrow, key);
            }
        }
    }
    return strip_upper(country);
}

// `f"{origin}/dp/{asin.strip().upper()}"`; an ASCII origin and ASIN, the
// usual case, go straight into one new string.
Ref product_url(Borrowed origin, Borrowed asin)
{
    if (!PyUnicode_IS_ASCII(origin.ptr()) || !PyUnicode_IS_ASCII(asin.ptr())) {
        Ref product = strip_upper(asin);
        return join_text(origin, S::product_path, product);
    }
    Borrowed path = string(S::product_path);
    AsciiSpan span = stripped_ascii(asin);
    Py_ssize_t origin_length = PyUnicode_GET_LENGTH(origin.ptr());
    Py_ssize_t path_length = PyUnicode_GET_LENGTH(path.ptr());
    Ref url(steal, PyUnicode_New(origin_length + path_length + span.length(), 0x7F));
    if (!url) return nullptr;
    auto* out = static_cast<unsigned char*>(PyUnicode_DATA(url.ptr()));
    std::memcpy(out, PyUnicode_DATA(origin.ptr()), static_cast<std::size_t>(origin_length));
    std::memcpy(out + origin_length, PyUnicode_DATA(path.ptr()), static_cast<std::size_t>(path_length));
    copy_upper(span, out + origin_length + path_length);
    return url;
}

// `mapping[key]`: an exact dict raises KeyError(key) for a missing key;
// anything else answers through its own item lookup.
Ref get_item(Borrowed mapping, Borrowed key)
{
    if (!mapping) return nullptr;
    if (!PyDict_CheckExact(mapping)) return Ref(steal, PyObject_GetItem(mapping, key));
    PyObject* item = PyDict_GetItemWithError(mapping, key);
    if (item != nullptr) return Ref(borrow, item);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
}

// `", ".join(sorted(mapping))`
Ref sorted_keys_text(Borrowed mapping)
{
    Ref keys(steal, PyDict_CheckExact(mapping.ptr()) ? PyDict_Keys(mapping) : PySequence_List(mapping));
    if (!keys || PyList_Sort(keys) < 0) return nullptr;
    return Ref(steal, PyUnicode_Join(string(S::comma_space), keys));
}

// The list of supported countries in the error message, remembered with the
// dict it was made from and that dict's keys, in order. While the same
// dict holds the same key objects (exact str, so they cannot change), the
// sorted text is the same; anything else makes it again. Like all module
// state, what it holds lives until the process ends.
class SupportedCountries {
public:
    Ref text(Borrowed mapping)
    {
        if (!mapping) return nullptr;
        if (mapping.ptr() == table_ && same_keys(mapping)) return Ref(borrow, text_);
        Ref text = sorted_keys_text(mapping);
        if (text) remember(mapping, text);
        return text;
    }

private:
    bool same_keys(Borrowed mapping) const
    {
        if (PyDict_GET_SIZE(mapping.ptr()) != PyTuple_GET_SIZE(keys_)) return false;
        Py_ssize_t position = 0;
        PyObject* key;
        for (Py_ssize_t i = 0; PyDict_Next(mapping, &position, &key, nullptr); ++i) {
            if (key != PyTuple_GET_ITEM(keys_, i)) return false;
        }
        return true;
    }

    void remember(Borrowed mapping, const Ref& text)
    {
        Py_CLEAR(table_);
        if (!PyDict_CheckExact(mapping.ptr())) return;
        Ref keys(steal, PyTuple_New(PyDict_GET_SIZE(mapping.ptr())));
        if (!keys) {
            PyErr_Clear();  // only a missed shortcut
            return;
        }
        Py_ssize_t position = 0;
        PyObject* key;
        for (Py_ssize_t i = 0; PyDict_Next(mapping, &position, &key, nullptr); ++i) {
            if (!PyUnicode_CheckExact(key)) return;
            PyTuple_SET_ITEM(keys.ptr(), i, Py_NewRef(key));
        }
        table_ = Py_NewRef(mapping.ptr());
        Py_XSETREF(keys_, keys.release());
        Py_XSETREF(text_, Py_NewRef(text.ptr()));
    }

    PyObject* table_ = nullptr;
    PyObject* keys_ = nullptr;
    PyObject* text_ = nullptr;
};

SupportedCountries supported_countries;

/* ---------------------------------------------------------------------------
 * def resolve_marketplace(country: str) -> Marketplace:                 [16]
 *     """按国家名解析 Amazon 站点。"""
 * ------------------------------------------------------------------------ */
Ref resolve_marketplace(const Trace& trace, Borrowed country)
{
    // normalized = country.strip().upper()                              [18]
    Ref normalized = normalized_code(country);
    if (!normalized) return trace.fail(18);
    // try:
    //     return _MARKETPLACES[normalized]                              [20]
    Ref record = get_item(lookup_global(S::_MARKETPLACES), normalized);
    if (record) return record;
    trace.add(20);
    // except KeyError as exc:
    Ref exc = catch_exception(borrowed(PyExc_KeyError));
    if (!exc) return nullptr;
    Handling handling(exc);
    //     supported = ", ".join(sorted(_MARKETPLACES))                  [22]
    Ref supported = supported_countries.text(lookup_global(S::_MARKETPLACES));
    if (!supported) return trace.fail(22);
    //     raise UnsupportedMarketplaceError(
    //         f"不支持的国家: {country}，支持: {supported}") from exc      [23]
    Ref message = join_text(S::unsupported_country, country, S::supported_countries, supported);
    return trace.raise_from(23, call_global(S::UnsupportedMarketplaceError, message), exc);
}

// `resolve_marketplace(country)` through the module global. While the name
// is still bound to this module's own function, its body is entered
// directly: `country` has passed the same type test already, so binding it
// again could not answer differently.
Ref call_resolve_marketplace(Borrowed country)
{
    Ref function = lookup_global(S::resolve_marketplace);
    if (is_module_function(function, Fn::resolve_marketplace)) {
        return resolve_marketplace(trace_of(Fn::resolve_marketplace), country);
    }
    return call(function, country);
}

/* ---------------------------------------------------------------------------
 * def build_product_url(asin: str, country: str) -> str:               [26]
 *     """构造商品详情页 URL。"""
 * ------------------------------------------------------------------------ */
Ref build_product_url(const Trace& trace, Borrowed asin, Borrowed country)
{
    // marketplace = resolve_marketplace(country)                        [28]
    Ref marketplace = call_resolve_marketplace(country);
    if (!marketplace) return trace.fail(28);
    // return f"{marketplace.base_url}/dp/{asin.strip().upper()}"       [29]
    Ref origin = format_value(get_attr(marketplace, S::base_url));
    if (!origin) return trace.fail(29);
    return trace.result(29, product_url(origin, asin));
}

}  // namespace

/* ---------------------------------------------------------------------------
 * Module body
 * ------------------------------------------------------------------------ */
int exec_module(const Trace& init)
{
    // from zorvan.amazon_rufus.domain.exceptions import UnsupportedMarketplaceError   [5]
    if (!import_from(S::zorvan_amazon_rufus_domain_exceptions, {S::UnsupportedMarketplaceError})) {
        return init.fail(5);
    }
    // from zorvan.amazon_rufus.domain.models import Marketplace                        [6]
    if (!import_from(S::zorvan_amazon_rufus_domain_models, {S::Marketplace})) return init.fail(6);

    // _MARKETPLACES = {                                                 [8]
    //     "US": Marketplace(country="US", base_url="https://www.amazon.com"),      [9]
    //     "UK": Marketplace(country="UK", base_url="https://www.amazon.co.uk"),    [10]
    //     "DE": Marketplace(country="DE", base_url="https://www.amazon.de"),       [11]
    //     "JP": Marketplace(country="JP", base_url="https://www.amazon.co.jp"),    [12]
    // }
    Ref marketplaces = new_dict();
    if (!marketplaces) return init.fail(9);
    for (const Row& row : rows) {
        Ref record = call_global(S::Marketplace, kw(S::country, row.code), kw(S::base_url, row.base_url));
        if (!record) return init.fail(row.line);
        // The key and the record's country are one and the same string.
        if (PyDict_SetItem(marketplaces, string(row.code), record) < 0) return init.fail(9);
    }
    if (!set_global(S::_MARKETPLACES, marketplaces)) return init.fail(8);

    // def resolve_marketplace(country: str) -> Marketplace: ...         [16]
    if (!set_global(S::resolve_marketplace, make_function(Fn::resolve_marketplace))) return init.fail(16);
    // def build_product_url(asin: str, country: str) -> str: ...        [26]
    if (!set_global(S::build_product_url, make_function(Fn::build_product_url))) return init.fail(26);
    return 0;
}

const Entry entries[function_count] = {
    entry<resolve_marketplace>,
    entry<build_product_url>,
};

}  // namespace regionet
