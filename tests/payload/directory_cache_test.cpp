// The directory cache and the parent-directory walk against a fake file
// system that records every CreateDirectoryW the walk would make.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "payload/extraction.h"
#include "platform/bounded_buffer.h"

namespace {

constexpr uint32_t ERROR_CODE_PATH_NOT_FOUND = 3;

// The fake volume: directories that exist, case-insensitive like NTFS.
struct fake_volume {
    std::set<std::u16string> existing;  // folded to lower case
    std::vector<std::u16string> calls;
    std::u16string home = u"C:\\Users\\me";
    bool home_fails = false;
    int allocations_to_fail = 0;
    int home_expansions = 0;
};
fake_volume* volume;

std::u16string fold(std::u16string text) {
    for (char16_t& unit : text) {
        if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit + 32);
    }
    return text;
}

std::u16string text_of(const u16* path) { return std::u16string(path, u16_length(path)); }

uint32_t fake_create_directory(const u16* path) {
    std::u16string text = text_of(path);
    volume->calls.push_back(text);
    if (volume->existing.count(fold(text))) return ERROR_CODE_ALREADY_EXISTS;
    size_t cut = text.rfind(u'\\');
    std::u16string parent = cut == std::u16string::npos ? u"" : text.substr(0, cut);
    bool parent_is_drive = parent.size() == 2 && parent[1] == u':';
    if (!parent_is_drive && !volume->existing.count(fold(parent))) return ERROR_CODE_PATH_NOT_FOUND;
    volume->existing.insert(fold(text));
    return 0;
}

bool fake_expand_home(u16* out, size_t capacity) {
    ++volume->home_expansions;
    if (volume->home_fails) return false;
    bounded_copy(out, volume->home.c_str(), capacity);
    return true;
}

struct home_failure {};
[[noreturn]] void fake_home_failed() { throw home_failure{}; }

void* fake_allocate(size_t bytes) {
    if (volume->allocations_to_fail > 0) {
        --volume->allocations_to_fail;
        return nullptr;
    }
    return std::malloc(bytes);
}

class DirectoryCache : public ::testing::Test {
protected:
    void SetUp() override {
        volume = &fs;
        fs.existing = {u"c:\\users", u"c:\\users\\me", u"c:\\users\\me\\temp"};
        ops.create_directory = fake_create_directory;
        ops.expand_home = fake_expand_home;
        ops.home_failed = fake_home_failed;
        ops.allocate = fake_allocate;
        cache.count = 0;
    }
    void TearDown() override {
        for (int32_t i = 0; i < cache.count; ++i) std::free(cache.paths[i]);
    }
    std::vector<std::u16string> cached() const {
        std::vector<std::u16string> out;
        for (int32_t i = 0; i < cache.count; ++i) out.push_back(text_of(cache.paths[i]));
        return out;
    }
    bool ensure(const std::u16string& path) { return ensure_parent_directories(cache, ops, path.c_str()); }
    bool create(const std::u16string& path) { return create_directory_cached(cache, ops, path.c_str()); }

    fake_volume fs;
    directory_operations ops{};
    directory_cache cache{};
};

using calls = std::vector<std::u16string>;

TEST_F(DirectoryCache, WalkMakesMissingLevelsParentsFirstAndCachesThem) {
    const std::u16string run = u"C:\\Users\\me\\temp\\onefile_1_2";
    EXPECT_TRUE(ensure(run + u"\\main.dll"));
    EXPECT_EQ(fs.calls, calls{run});
    fs.calls.clear();

    EXPECT_TRUE(ensure(run + u"\\a\\b\\f.txt"));
    // Upward: R\a\b fails (parent missing); R\a is made; then R\a\b again.
    EXPECT_EQ(fs.calls, (calls{run + u"\\a\\b", run + u"\\a", run + u"\\a\\b"}));
    fs.calls.clear();

    EXPECT_TRUE(ensure(run + u"\\a\\b\\g.txt"));
    EXPECT_TRUE(fs.calls.empty());
    EXPECT_EQ(cached(), (calls{u"C:\\Users\\me", run, run + u"\\a", run + u"\\a\\b"}));
}

TEST_F(DirectoryCache, DeepChainTriesEachLowerLevelTwice) {
    std::u16string run = u"C:\\Users\\me\\temp\\r";
    fs.existing.insert(fold(run));
    std::u16string path = run;
    calls up, down;
    for (int i = 0; i < 6; ++i) {
        path += u"\\d";
        up.insert(up.begin(), path);
        down.push_back(path);
    }
    // Up: six failing attempts down to the first missing level, whose parent
    // (run) exists... the topmost missing one is made at its first attempt.
    EXPECT_TRUE(ensure(path + u"\\file"));
    calls expected(up.begin(), up.end());       // d6 .. d1 (d1 succeeds)
    expected.insert(expected.end(), down.begin() + 1, down.end());  // d2 .. d6
    EXPECT_EQ(fs.calls, expected);
}

TEST_F(DirectoryCache, ProfileIsSeededFirstAndNeverCreated) {
    EXPECT_TRUE(create(u"D:\\elsewhere"));  // seeding happens whatever the path
    EXPECT_EQ(cached().front(), u"C:\\Users\\me");
    EXPECT_EQ(fs.home_expansions, 1);
    fs.calls.clear();

    // Walking up from a missing directory below the profile stops at it.
    EXPECT_TRUE(ensure(u"C:\\Users\\me\\new\\deeper\\f"));
    EXPECT_EQ(fs.calls, (calls{u"C:\\Users\\me\\new\\deeper", u"C:\\Users\\me\\new",
                               u"C:\\Users\\me\\new\\deeper"}));
    EXPECT_EQ(fs.home_expansions, 1);
}

TEST_F(DirectoryCache, HomeThatCannotBeExpandedFailsAtTheFirstRequest) {
    fs.home_fails = true;
    EXPECT_THROW(ensure(u"D:\\x\\f"), home_failure);
    EXPECT_TRUE(fs.calls.empty());
}

TEST_F(DirectoryCache, PathsWithoutAParentNeedNoCall) {
    for (const char16_t* path : {u"", u"file", u"\\file"}) {
        EXPECT_TRUE(ensure(path));
    }
    EXPECT_TRUE(fs.calls.empty());
    EXPECT_EQ(fs.home_expansions, 0);
}

TEST_F(DirectoryCache, DriveCountsAsExistingAndIsNeverRecorded) {
    EXPECT_TRUE(ensure(u"E:\\f"));
    EXPECT_TRUE(fs.calls.empty());
    EXPECT_TRUE(create(u"Q:"));
    EXPECT_TRUE(fs.calls.empty());
    EXPECT_EQ(cached(), calls{u"C:\\Users\\me"});

    // Walking up from directly below a drive stops at the drive.
    EXPECT_TRUE(ensure(u"E:\\new\\sub\\f"));
    EXPECT_EQ(fs.calls, (calls{u"E:\\new\\sub", u"E:\\new", u"E:\\new\\sub"}));
}

TEST_F(DirectoryCache, CaseAndTrailingSeparatorMakeDistinctEntries) {
    EXPECT_TRUE(create(u"C:\\Users\\me\\Dir"));
    EXPECT_TRUE(create(u"C:\\Users\\me\\DIR"));  // exists already on this volume
    EXPECT_TRUE(create(u"C:\\Users\\me\\Dir\\"));
    EXPECT_EQ(fs.calls.size(), 3u);
    EXPECT_EQ(cached(), (calls{u"C:\\Users\\me", u"C:\\Users\\me\\Dir", u"C:\\Users\\me\\DIR",
                               u"C:\\Users\\me\\Dir\\"}));
    fs.calls.clear();
    EXPECT_TRUE(create(u"C:\\Users\\me\\DIR"));
    EXPECT_TRUE(fs.calls.empty());
}

TEST_F(DirectoryCache, FailedCreationIsNotRecorded) {
    EXPECT_FALSE(create(u"C:\\missing\\child"));
    EXPECT_FALSE(create(u"C:\\missing\\child"));
    EXPECT_EQ(fs.calls.size(), 2u);
    EXPECT_EQ(cached(), calls{u"C:\\Users\\me"});
}

TEST_F(DirectoryCache, FullCacheStillMakesDirectoriesButRecordsNoMore) {
    std::u16string base = u"C:\\Users\\me\\temp\\";
    for (int i = 0; i < 1023; ++i) EXPECT_TRUE(create(base + std::u16string(1, u'a') + char16_t(u'0' + i % 10) + std::u16string(i / 10 + 1, u'x')));
    EXPECT_EQ(cache.count, 1024);
    fs.calls.clear();
    EXPECT_TRUE(create(base + u"late"));
    EXPECT_TRUE(create(base + u"late"));  // costs a call each time, ALREADY_EXISTS
    EXPECT_EQ(fs.calls.size(), 2u);
    EXPECT_EQ(cache.count, 1024);
}

TEST_F(DirectoryCache, AllocationFailureLeavesTheDirectoryUnrecorded) {
    EXPECT_TRUE(create(u"C:\\Users\\me\\a"));
    fs.allocations_to_fail = 1;
    EXPECT_TRUE(create(u"C:\\Users\\me\\b"));
    EXPECT_EQ(cached(), (calls{u"C:\\Users\\me", u"C:\\Users\\me\\a"}));
    fs.calls.clear();
    EXPECT_TRUE(create(u"C:\\Users\\me\\b"));  // asked again, recorded now
    EXPECT_EQ(fs.calls.size(), 1u);
    EXPECT_EQ(cached().back(), u"C:\\Users\\me\\b");
}

TEST(TargetPath, JoinsRunDirectoryAndNameAndKeepsTheFirst) {
    u16 target[TARGET_PATH_CAPACITY];
    u16 first[FIRST_ENTRY_PATH_CAPACITY] = {0};
    make_target_path(target, U16("C:\\t\\r"), U16("main.dll"), first);
    EXPECT_EQ(text_of(target), u"C:\\t\\r\\main.dll");
    make_target_path(target, U16("C:\\t\\r"), U16("lib\\x.pyd"), first);
    EXPECT_EQ(text_of(target), u"C:\\t\\r\\lib\\x.pyd");
    EXPECT_EQ(text_of(first), u"C:\\t\\r\\main.dll");
}

TEST(TargetPath, LongestThatFitsIsKeptAndOneMoreAborts) {
    u16 target[TARGET_PATH_CAPACITY];
    u16 first[FIRST_ENTRY_PATH_CAPACITY] = {0};
    std::u16string run(TARGET_PATH_CAPACITY - 3, u'r');  // + "\" + "n" = 4095 units
    make_target_path(target, run.c_str(), U16("n"), first);
    EXPECT_EQ(u16_length(target), TARGET_PATH_CAPACITY - 1);
    EXPECT_DEATH(make_target_path(target, run.c_str(), U16("nn"), first), "");
}

TEST_F(DirectoryCache, OverlongOrAbsentPathAborts) {
    std::u16string long_path(4096, u'p');
    EXPECT_DEATH(ensure(long_path), "");
    EXPECT_DEATH(ensure_parent_directories(cache, ops, nullptr), "");
}

}  // namespace
