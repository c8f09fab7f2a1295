// QUORLIN_UNDER_TSAN is 1 in ThreadSanitizer builds, which bring their own operator new:
// tests that replace it leave those parts out there.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define QUORLIN_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUORLIN_UNDER_TSAN 1
#endif
#endif
#ifndef QUORLIN_UNDER_TSAN
#define QUORLIN_UNDER_TSAN 0
#endif
