// Word access at any byte alignment. Callers may hand vectors in at any address (the operations
// warn but serve them), and a typed load from a misaligned address is undefined behaviour; a
// 4-byte memcpy compiles to one plain load or store, so the generic loops lose nothing.
#pragma once

#include <cstdint>
#include <cstring>

namespace dsp::detail
{

inline float ld(const void *p, int64_t i)
{
    float v;
    std::memcpy(&v, static_cast<const unsigned char *>(p) + i * 4, sizeof v);
    return v;
}

inline void st(void *p, int64_t i, float v)
{
    std::memcpy(static_cast<unsigned char *>(p) + i * 4, &v, sizeof v);
}

// Word `from` of src to word `to` of dst, bits unchanged.
inline void moveWord(const void *src, int64_t from, void *dst, int64_t to)
{
    std::memcpy(static_cast<unsigned char *>(dst) + to * 4,
                static_cast<const unsigned char *>(src) + from * 4, 4);
}

} // namespace dsp::detail
