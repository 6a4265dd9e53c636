// Named objects (shared blocks, events, mutexes) are private to their user:
// files planted under their names by someone else, or with another mode than
// 0600, or as symbolic links, are refused and left as they are; the objects we
// create cannot be opened by another user.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/named_event.h"
#include "platform/named_mutex.h"
#include "platform/owned_object.h"
#include "platform/shared_memory.h"
#include "support/other_user.h"

namespace {

enum class Kind { Block, Event, Mutex };

const char* KindName(Kind k) { return k == Kind::Block ? "block" : k == Kind::Event ? "event" : "mutex"; }

// The files in /dev/shm behind an object of that kind and name.
std::vector<std::string> FilesOf(Kind kind, const std::string& name) {
    switch (kind) {
        case Kind::Block: return {name, name + ".users"};
        case Kind::Event: return {name + ".event", name + ".event.users"};
        case Kind::Mutex: return {name + ".mutex"};
    }
    return {};
}

std::string ShmPath(const std::string& file) { return "/dev/shm/" + file; }

// Opens (or creates) the object through its own class; 0 or an errno value.
int OpenObject(Kind kind, const std::string& name) {
    switch (kind) {
        case Kind::Block: {
            plat::SharedMemory block;
            const plat::ShmError e = block.Open(name, 64, plat::SharedMemory::Mode::OpenOrCreate);
            if (e == plat::ShmError::None) return 0;
            EXPECT_EQ(e == plat::ShmError::Foreign, block.lastErrno() == plat::kForeignObjectErrno);
            return block.lastErrno();
        }
        case Kind::Event: {
            plat::NamedEvent event;
            return event.Open(name);
        }
        case Kind::Mutex: {
            plat::NamedMutex mutex;
            return mutex.Open(name);
        }
    }
    return -1;
}

// Plants a regular file with that mode and a recognisable content; 0 or errno.
int PlantFile(const std::string& file, mode_t mode) {
    const int fd = open(ShmPath(file).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return errno;
    const char text[] = "planted content, not to be cleared";
    int rc = write(fd, text, sizeof text) == static_cast<ssize_t>(sizeof text) ? 0 : EIO;
    if (rc == 0 && fchmod(fd, mode) != 0) rc = errno;
    close(fd);
    return rc;
}

bool StillPlanted(const std::string& file) {
    const int fd = open(ShmPath(file).c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0) return false;
    char buf[64] = {};
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    return n > 0 && std::strcmp(buf, "planted content, not to be cleared") == 0;
}

bool Exists(const std::string& file) {
    struct stat st {};
    return lstat(ShmPath(file).c_str(), &st) == 0;
}

class PrivacyTest : public ::testing::Test {
protected:
    std::string Name(const std::string& tag) {
        return "znp-priv-" + std::to_string(getpid()) + "-" + tag + "-" + std::to_string(++count_);
    }
    void Remember(Kind kind, const std::string& name) {
        for (const auto& f : FilesOf(kind, name)) files_.push_back(f);
    }
    void TearDown() override {
        for (const auto& f : files_) unlink(ShmPath(f).c_str());
    }
    std::vector<std::string> files_;
    int count_ = 0;
};

TEST_F(PrivacyTest, PlantedFilesOfOurOwnAreRefusedUnlessPrivate_Mended) {
    // Every file behind every kind, planted alone: with a group- or
    // world-open mode, without write permission, or as a link.
    struct Plant {
        const char* what;
        mode_t mode;  // 0: a symbolic link to a file of ours
    } plants[] = {{"mode 0644", 0644}, {"mode 0666", 0666}, {"mode 0400", 0400}, {"symbolic link", 0}};
    for (Kind kind : {Kind::Block, Kind::Event, Kind::Mutex}) {
        const size_t files = FilesOf(kind, "x").size();
        for (size_t which = 0; which < files; ++which) {
            for (const Plant& p : plants) {
                const std::string name = Name(KindName(kind));
                Remember(kind, name);
                const std::string planted = FilesOf(kind, name)[which];
                const std::string target = planted + ".target";
                files_.push_back(target);
                if (p.mode != 0) {
                    ASSERT_EQ(PlantFile(planted, p.mode), 0);
                } else {
                    ASSERT_EQ(PlantFile(target, 0600), 0);
                    ASSERT_EQ(symlink(ShmPath(target).c_str(), ShmPath(planted).c_str()), 0);
                }
                const std::string label = std::string(KindName(kind)) + " " + planted + " " + p.what;
                EXPECT_EQ(OpenObject(kind, name), plat::kForeignObjectErrno) << label;
                // The planted file is neither used, cleared nor removed; nothing
                // else is left behind.
                EXPECT_TRUE(StillPlanted(p.mode != 0 ? planted : target)) << label;
                EXPECT_TRUE(Exists(planted)) << label;
                for (const auto& f : FilesOf(kind, name)) {
                    if (f != planted) {
                        EXPECT_FALSE(Exists(f)) << label << ": " << f;
                    }
                }
            }
        }
    }
}

TEST_F(PrivacyTest, ObjectsOfAnotherUserAreRefusedAndOursAreClosedToThem_Mended) {
    const std::string why = testsupport::OtherUserUnavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    for (Kind kind : {Kind::Block, Kind::Event, Kind::Mutex}) {
        const size_t files = FilesOf(kind, "x").size();
        for (size_t which = 0; which < files; ++which) {
            // The other user plants one file of the object, open to everyone.
            const std::string name = Name(KindName(kind));
            Remember(kind, name);
            const std::string planted = FilesOf(kind, name)[which];
            ASSERT_EQ(testsupport::RunAsOtherUser([&] { return PlantFile(planted, 0666); }), 0);
            const std::string label = std::string(KindName(kind)) + " " + planted;
            EXPECT_EQ(OpenObject(kind, name), plat::kForeignObjectErrno) << label;
            EXPECT_TRUE(StillPlanted(planted)) << label;
            for (const auto& f : FilesOf(kind, name)) {
                if (f != planted) {
                    EXPECT_FALSE(Exists(f)) << label << ": " << f;
                }
            }
        }

        // An object we hold open: its files are ours, 0600, and the other
        // user can neither open them nor take the object through the class.
        const std::string name = Name(KindName(kind));
        Remember(kind, name);
        plat::SharedMemory block;
        plat::NamedEvent event;
        plat::NamedMutex mutex;
        const int opened = kind == Kind::Block ? static_cast<int>(block.Open(name, 64, plat::SharedMemory::Mode::OpenOrCreate))
                           : kind == Kind::Event ? event.Open(name)
                                                 : mutex.Open(name);
        ASSERT_EQ(opened, 0) << KindName(kind);
        for (const auto& f : FilesOf(kind, name)) {
            struct stat st {};
            ASSERT_EQ(stat(ShmPath(f).c_str(), &st), 0) << f;
            EXPECT_EQ(st.st_mode & 07777, 0600u) << f;
            EXPECT_EQ(st.st_uid, geteuid()) << f;
            EXPECT_EQ(testsupport::RunAsOtherUser([&] {
                          const int fd = open(ShmPath(f).c_str(), O_RDONLY);
                          return fd < 0 && errno == EACCES ? 0 : 1;
                      }),
                      0)
                << f;
        }
        EXPECT_EQ(testsupport::RunAsOtherUser([&] { return OpenObject(kind, name) == plat::kForeignObjectErrno ? 0 : 1; }),
                  0)
            << KindName(kind);
    }
}

}  // namespace
