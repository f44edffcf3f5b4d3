// What a module tells the frame about itself, as constant data.
//
// Every field here is filled by the string-table tool from the module's
// manifest, except the entry points and the module body, which the module's
// own C++ file supplies.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstdint>

namespace frame {

class Trace;

// Index of an entry in the module string table.
using StringId = std::uint16_t;
inline constexpr StringId no_string = 0xFFFF;

// The exact type a parameter must have when a function is called.
enum class ArgCheck : std::uint8_t { any, exact_str, exact_dict };

struct StringTableDecl {
    const unsigned char* compressed;
    std::size_t compressed_size;
    std::size_t decompressed_size;
    const std::uint32_t* lengths;  // byte length of each entry, in entry order
    std::uint16_t count;
    std::uint16_t first_interned;  // texts before this index are not interned
    std::uint16_t first_bytes;     // entries from this index on are bytes
};

// Everything a function's code object is made of.
struct CodeDecl {
    StringId name;
    std::uint8_t argcount;
    std::uint8_t kwonlycount;
    std::uint8_t flags;
    std::uint8_t local_count;
    const StringId* locals;  // parameters first, in order
    int first_line;
    StringId linetable;
};

struct Annotation {
    StringId name;
    StringId text;
};

struct FunctionDecl {
    CodeDecl code;
    StringId qualname;
    StringId doc;              // no_string: the function has no docstring
    StringId traceback_name;   // module path, a dot and the qualified name
    const ArgCheck* checks;    // one per parameter
    std::uint32_t none_defaults;  // bit i: keyword-only parameter i defaults to None
    const Annotation* annotations;
    std::uint8_t annotation_count;

    int parameter_count() const { return code.argcount + code.kwonlycount; }
};

// A function's entry point: the fast calling convention with keyword names.
using Entry = PyObject* (*)(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) noexcept;

// The module's own top-level statements: 0, or -1 when one of them failed.
using ModuleBody = int (*)(const Trace& init);

struct ModuleDecl {
    const char* name;  // the name in the module definition, e.g. "regionet"
    const char* doc;
    const char* path;  // the full module path, for messages made before the string table
    StringId module_path;
    StringId source_path;
    StringId init_traceback_name;
    StringTableDecl strings;
    const long* integers;
    std::uint16_t integer_count;
    const FunctionDecl* functions;
    const Entry* entries;  // parallel to `functions`
    std::uint16_t function_count;
    ModuleBody body;
};

}  // namespace frame
