// Which sanitizers instrument the code being compiled, as 0 or 1 macros that
// work under both compilers: GCC defines __SANITIZE_ADDRESS__ and
// __SANITIZE_THREAD__, clang answers __has_feature instead.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define TRELLUNE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRELLUNE_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef TRELLUNE_ADDRESS_SANITIZER
#define TRELLUNE_ADDRESS_SANITIZER 0
#endif

#if defined(__SANITIZE_THREAD__)
#define TRELLUNE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TRELLUNE_THREAD_SANITIZER 1
#endif
#endif
#ifndef TRELLUNE_THREAD_SANITIZER
#define TRELLUNE_THREAD_SANITIZER 0
#endif

// LeakSanitizer, alone or carried by AddressSanitizer (which runs it at exit
// on Linux unless told not to). GCC announces neither a lone LeakSanitizer
// nor any other; the build says so itself where it adds one (TrelluneFlags).
#if TRELLUNE_ADDRESS_SANITIZER || defined(TRELLUNE_BUILT_WITH_LEAK_SANITIZER)
#define TRELLUNE_LEAK_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(leak_sanitizer)
#define TRELLUNE_LEAK_SANITIZER 1
#endif
#endif
#ifndef TRELLUNE_LEAK_SANITIZER
#define TRELLUNE_LEAK_SANITIZER 0
#endif

// Any sanitizer at all, where the compiler tells: GCC announces only the two
// above, clang also the undefined-behaviour and memory sanitizers.
#if TRELLUNE_ADDRESS_SANITIZER || TRELLUNE_THREAD_SANITIZER
#define TRELLUNE_ANY_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(undefined_behavior_sanitizer) || __has_feature(memory_sanitizer)
#define TRELLUNE_ANY_SANITIZER 1
#endif
#endif
#ifndef TRELLUNE_ANY_SANITIZER
#define TRELLUNE_ANY_SANITIZER 0
#endif
