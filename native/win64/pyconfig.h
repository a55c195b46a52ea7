/* CPython's build configuration for 64-bit Windows, as far as the CPython
   headers need it to compile an extension module: scripts/wincheck compiles
   the native modules with it and a Win64 cross compiler. Windows is LLP64:
   long is 32 bits, pointers and size_t 64, wchar_t 16. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#ifndef _WIN64
#error "this pyconfig.h describes 64-bit Windows only"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS          /* Windows threads: a TSS key is a DWORD */
#define Py_ENABLE_SHARED 1  /* the interpreter lives in pythonXY.dll ... */
#define HAVE_DECLSPEC_DLL   /* ... and its API is __declspec(dllimport) */

#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_WCHAR_T 2

typedef long long Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX LLONG_MAX

#endif /* Py_CONFIG_H */
