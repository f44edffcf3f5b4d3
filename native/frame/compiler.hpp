// The one place where the code names a compiler.
//
// ZORVAN_GNU(attribute) is a GCC and Clang attribute ([[gnu::cold]], printf
// format checks), and nothing for other compilers, which would warn about an
// attribute they don't know.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ZORVAN_GNU(...) [[gnu::__VA_ARGS__]]
#else
#define ZORVAN_GNU(...)
#endif
