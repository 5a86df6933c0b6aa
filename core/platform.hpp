// The operating system's headers through which host/ asks how much memory
// and how many cores the process may use (Windows, or POSIX with Linux's
// affinity call), included the same way everywhere.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#endif
#endif
