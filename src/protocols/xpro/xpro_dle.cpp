// DLE doubling and undoubling of frame bodies.
#include "protocols/xpro/xpro_dle.h"

int XPRO_DoubleDLE(unsigned char* out, const unsigned char* in, int length) {
    if (out == nullptr || in == nullptr || length <= 0) return 0;
    int w = 0;
    for (int i = 0; i < length; ++i) {
        out[w++] = in[i];
        if (in[i] == XPRO_DLE) out[w++] = XPRO_DLE;
    }
    return w;
}

int XPRO_UndoubleDLE(unsigned char* out, const unsigned char* in, int length) {
    if (out == nullptr || in == nullptr || length <= 0) return 0;
    int w = 0;
    for (int i = 0; i < length; ++i) {
        unsigned char b = in[i];
        out[w++] = b;
        // The second DLE of a pair is dropped; the writer never overtakes the
        // reader, so undoubling in place is safe.
        if (b == XPRO_DLE && i + 1 < length && in[i + 1] == XPRO_DLE) ++i;
    }
    return w;
}
