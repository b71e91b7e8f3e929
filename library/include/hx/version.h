/* The library's version, for a program or a binding that must know which library it
 * loaded: "MAJOR.MINOR.PATCH", as the library's file name (libhalvex.so.MAJOR.MINOR.PATCH)
 * and its packages carry it. A newer MINOR adds functions and changes none; a new MAJOR
 * is a new SONAME. */
#ifndef HX_VERSION_H
#define HX_VERSION_H

#include <hx/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version of the library actually loaded (the header's own may be older), a static
 * string. */
HX_EXPORT const char* hx_version(void);

#ifdef __cplusplus
}
#endif

#endif
