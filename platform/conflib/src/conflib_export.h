// Undecorated exports of the library; everything else stays hidden.
#pragma once

#if defined(_WIN32)
#define CONFLIB_EXPORT extern "C" __declspec(dllexport)
#else
#define CONFLIB_EXPORT extern "C" __attribute__((visibility("default")))
#endif
