// The first id-less tag export called before any opening creates the default
// instance for POS number 1 (never opened: no program), which takes id 1 and
// counts in the table; openings then take the following ids.
#include <gtest/gtest.h>

#include <cstring>

#include "client/instance.h"
#include "client/program_side.h"
#include "support/temp_dir.h"
#include "znp_dll.h"

namespace {

TEST(DefaultInstanceTest, CreatedOnFirstUseBeforeAnyOpening) {
    ASSERT_EQ(znpdll::InstanceTable::Get().Count(), 0u);
    char buf[64];
    ASSERT_EQ(ATAG_WriteInit(buf, sizeof buf), 1);
    ASSERT_EQ(ATAG_SetStringVal("SV", "s0"), 1);
    EXPECT_EQ(znpdll::InstanceTable::Get().Count(), 1u);
    auto instance = znpdll::InstanceTable::Get().Find(1);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(instance->programPid(), 0);
    EXPECT_EQ(instance->posNumber(), 0u);
    // The same instance serves the later calls.
    ASSERT_EQ(ATAG_ReadInit(buf, sizeof buf), 1);
    char out[8];
    ASSERT_EQ(ATAG_GetStringVal("SV", out, 1), 1);
    EXPECT_STREQ(out, "s0");
    EXPECT_EQ(znpdll::InstanceTable::Get().Count(), 1u);
    // Sending on it finds no program.
    uint32_t cap = sizeof buf;
    EXPECT_EQ(SZelApiSendMessage(1, "s0", buf, &cap), 1);

    testsupport::TempDir dir;
    uint32_t id = 0;
    ASSERT_EQ(clienttest::OpenOnStub(testsupport::UniquePosNumber(), &id, dir.str()), 0);
    EXPECT_EQ(id, 2u);
    EXPECT_EQ(SZelApiClose(id, 0), 0);
    EXPECT_EQ(SZelApiClose(1, 0), 0);  // never opened: nothing to release
    EXPECT_EQ(znpdll::InstanceTable::Get().Count(), 0u);
}

}  // namespace
