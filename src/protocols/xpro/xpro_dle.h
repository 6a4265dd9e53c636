// DLE doubling of the terminal links: inside a frame body every DLE (0x10)
// travels twice so that it cannot be taken for a frame delimiter.
#pragma once

constexpr unsigned char XPRO_DLE = 0x10;

// Copies length bytes of in to out writing each DLE twice; the number of
// bytes written (at most 2 * length; out must have that room). 0 for a null
// argument or a length of 0 or less.
int XPRO_DoubleDLE(unsigned char* out, const unsigned char* in, int length);

// Copies length bytes of in to out, writing one DLE for each pair DLE DLE (a
// lone DLE is copied unchanged); the number of bytes written (at most
// length; out may be in itself). 0 for a null argument or a length of 0 or less.
int XPRO_UndoubleDLE(unsigned char* out, const unsigned char* in, int length);
