/* kvx_export.h: KVX_API marks what libkvx exports.
 *
 * libkvx is built with hidden symbols, so exactly the declarations that carry
 * KVX_API leave it: the C interface (kvx/kvx.h) and the C++ classes the README
 * documents (one KVX_API on a class declaration exports the whole class).
 *
 * - KVX_BUILDING (set while libkvx itself is compiled): exported; dllexport on
 *   Windows.
 * - KVX_STATIC (set for programs that link the library's layers directly, as
 *   its own tests do): nothing to import.
 * - otherwise, an application: dllimport on Windows, nothing to add elsewhere.
 */
#ifndef KVX_KVX_EXPORT_H
#define KVX_KVX_EXPORT_H

#if defined(_WIN32)
#if defined(KVX_BUILDING)
#define KVX_API __declspec(dllexport)
#elif defined(KVX_STATIC)
#define KVX_API
#else
#define KVX_API __declspec(dllimport)
#endif
#else
#define KVX_API __attribute__((visibility("default")))
#endif

#endif /* KVX_KVX_EXPORT_H */
