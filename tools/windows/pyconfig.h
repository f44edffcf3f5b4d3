/* The configuration of CPython 3.12 to 3.15 for 64-bit Windows, as far as
 * the headers' ABI depends on it. The cross build takes CPython's own
 * Include/ of the release from a Linux build (it is the same on every
 * platform) and this file in place of that build's pyconfig.h. Only what
 * changes a type's size, a calling convention or a symbol's linkage is here:
 * the modules use no interpreter internals that read anything else. The same
 * facts hold for all four releases; what 3.13 to 3.15 added to their headers'
 * choices is either left undefined on purpose below or only names more enum
 * values (WITH_MIMALLOC).
 */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"

/* The interpreter is python312.dll: its functions and data are imported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 32 bits, pointers and sizes are 64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_PID_T SIZEOF_INT
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define HAVE_LONG_LONG 1
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_USABLE_WCHAR_T 1

/* Py_ssize_t is a signed 64-bit integer, as in the interpreter's own build. */
typedef long long Py_ssize_t;
typedef Py_ssize_t ssize_t;
#define HAVE_PY_SSIZE_T 1
#define HAVE_SSIZE_T 1
#define PY_SSIZE_T_MAX 9223372036854775807LL

#define PYLONG_BITS_IN_DIGIT 30
#define WITH_PYMALLOC 1
#define WITH_MIMALLOC 1
#define WITH_DOC_STRINGS 1

/* python3X.dll is the default build: reference counts and object layout as
 * with the GIL (the free-threaded build is python3Xt.dll, a different ABI
 * and wheel tag), no debug counters, no statistics. Each would change what
 * Py_INCREF and the object headers compile to. */
#if defined(Py_GIL_DISABLED) || defined(Py_DEBUG) || defined(Py_TRACE_REFS) || defined(Py_STATS)
#error "these wheels are for CPython's default build for Windows"
#endif

#endif /* Py_CONFIG_H */
