// Rule strings of the options file that choose tags by the transaction.
#pragma once

// Option ConditionalAdditionalTags: parts ended by ';', alternately a
// condition (tags that must all be found in the server request with the same
// value, "??" matching any, and holding the transaction's SV and CD) and the
// tags copied when it matches. Appends the tags of every matching rule to out
// (size bytes, NUL included): non-zero when at least one part was copied, 0
// when nothing applied or a part would not fit, -1 without the option.
int SelectConditionalAdditionalTags(char* out, int size);
