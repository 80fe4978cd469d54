// Symbol visibility for the two shared libraries. Everything is built with hidden
// visibility; only what carries one of these macros is exported.
#pragma once

#if defined(_WIN32)
#define ZRV_HELPER_EXPORT __declspec(dllexport)
#define ZRV_HELPER_IMPORT __declspec(dllimport)
#else
#define ZRV_HELPER_EXPORT __attribute__((visibility("default")))
#define ZRV_HELPER_IMPORT __attribute__((visibility("default")))
#endif

// The plug-in module (detector and host interface). Every member function of a class marked
// ZRV_API is exported, private ones included, and the exported list is checked
// (tests/exports/module.symbols): helpers of the detector are free functions in
// zrv::detector, which stay hidden.
#if defined(ZRV_BUILDING_PLUGIN)
#define ZRV_API ZRV_HELPER_EXPORT
#else
#define ZRV_API ZRV_HELPER_IMPORT
#endif

// The inference engine library.
#if defined(ZRV_BUILDING_ENGINE)
#define ZRVLIB_API ZRV_HELPER_EXPORT
#else
#define ZRVLIB_API ZRV_HELPER_IMPORT
#endif
