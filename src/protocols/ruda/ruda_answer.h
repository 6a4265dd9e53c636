// Reading a RUDA answer: its data without the status word as a node, the
// elements found in it, and the copies of element values into fixed fields.
#pragma once
#include <cstdint>

#include "core/tlv.h"

// The answer's data (without its 2-byte status word) as a node.
TlvNode RUDA_AnswerData(const unsigned char* answer, int length);
// The first element `tag` in the node's value (depth first): true when found
// with a value.
bool RUDA_FindElement(const TlvNode& in, unsigned int tag, TlvNode* out);
// The value of `tag` in the node (1 to 4 bytes, most significant first):
// 1 read, 0 absent, -1 present and not readable (longer than 4 bytes or
// empty).
int RUDA_ElementNumber(const TlvNode& in, unsigned int tag, uint32_t* number);
// Copies at most `width` bytes of a value into a field of width + 1 bytes,
// a NUL behind; the bytes copied.
int RUDA_CopyText(char* field, int width, const unsigned char* value, int length);
