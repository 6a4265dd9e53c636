// Spool files of the console windows: a new file started on request moves
// the current one to its backup name only when it holds something.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "periph/console_windows.h"
#include "support/temp_dir.h"

namespace {

using testsupport::TempDir;

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

// A forced start (the printer's spool at each request, a window's spool at
// the session's start): a file with tickets becomes the backup, an empty or
// missing one leaves the backup as it was and makes none.
TEST(ConsoleSpool, NewFileMovesOnlyAFileWithSomethingToTheBackup_Mended) {
    struct Case {
        const char* what;
        const char* spool;   // nullptr: no spool file
        const char* backup;  // nullptr: no backup file
        std::string expectedBackup;  // "-": none
    };
    const Case cases[] = {
        {"tickets in the spool", "TICKET 2\r\n", "TICKET 1\r\n", "TICKET 2\r\n"},
        {"tickets, no backup yet", "TICKET 1\r\n", nullptr, "TICKET 1\r\n"},
        {"empty spool keeps the backup", "", "TICKET 1\r\n", "TICKET 1\r\n"},
        {"empty spool, no backup: none made", "", nullptr, "-"},
        {"no spool, no backup: none made", nullptr, nullptr, "-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string spool = dir.file("F5001000.SPO");
        const std::string backup = dir.file("F5001000.SPB");
        if (c.spool != nullptr) std::ofstream(spool, std::ios::binary) << c.spool;
        if (c.backup != nullptr) std::ofstream(backup, std::ios::binary) << c.backup;
        KT_TEXT_WINDOW* window = TWI_NewTextWindow(10, 24, spool.c_str(), "F5");
        ASSERT_NE(window, nullptr);
        ASSERT_EQ(TWI_OpenSpool(window, 1), 1);
        TWI_CloseSpool(window);
        TWI_FreeTextWindow(window);
        EXPECT_TRUE(std::filesystem::exists(spool));
        EXPECT_EQ(Read(spool), "");
        if (c.expectedBackup == "-") {
            EXPECT_FALSE(std::filesystem::exists(backup));
        } else {
            EXPECT_EQ(Read(backup), c.expectedBackup);
        }
    }
}
