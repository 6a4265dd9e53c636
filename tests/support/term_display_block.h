// A dialogue record of the terminal screen with its kind, text fields and
// selection option, for the tests of the screen operations.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocols/terminal_display.h"

namespace testsupport {

inline TermDisplayBlock DisplayBlock(int32_t kind, const std::vector<std::string>& fields, uint8_t option = 0) {
    TermDisplayBlock b{};
    b.kind = kind;
    EXPECT_TRUE(TermDisplay_SetFields(&b, fields));
    b.selectionOption = option;
    return b;
}

}  // namespace testsupport
