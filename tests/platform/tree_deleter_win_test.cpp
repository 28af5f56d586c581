// The tree deleter on real directories under Wine: links made from the
// Unix side lead outside the tree, and whatever they lead to must come
// through every deletion byte for byte, attributes included.
#include <gtest/gtest.h>

#include "platform/tree_deleter.h"
#include "platform/win32_api.h"
#include "tests/launcher/e2e_harness.h"

namespace {

class tree_deleter : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        base_ = test_program_folder() + L"\\deleter_" + std::wstring(test->name(), test->name() + strlen(test->name()));
        remove_everything();
        ASSERT_TRUE(CreateDirectoryW(base_.c_str(), nullptr));
        outside_ = base_ + L"\\outside";
        ASSERT_TRUE(CreateDirectoryW(outside_.c_str(), nullptr));
        folder_ = base_ + L"\\folder";
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
        tree_ = folder_ + L"\\tree";
        ASSERT_TRUE(CreateDirectoryW(tree_.c_str(), nullptr));
    }
    void TearDown() override {
        win32 = win32_system;
        if (!HasFailure()) remove_everything();
    }
    void remove_everything() {
        // Links and read-only bits first, from the Unix side, so the tests'
        // own clean-up goes through the deleter with nothing to keep.
        std::wstring base = unix_path_of(base_);
        if (!base.empty() && directory_exists(base_))
            run_unix_command(L"find '" + base + L"' -type l -delete; chmod -R u+w '" + base + L"'");
        remove_tree(base_);
    }
    tree_deletion delete_the_tree() {
        HANDLE folder = folder_open(folder_.c_str());
        EXPECT_NE(folder, INVALID_HANDLE_VALUE);
        tree_deletion result = delete_tree(folder, L"tree", entry_index(folder, L"tree"), nullptr);
        CloseHandle(folder);
        return result;
    }
    // Things outside the tree that links will lead to.
    void make_targets() {
        ASSERT_TRUE(write_file(outside_ + L"\\file.txt", "outside"));
        ASSERT_TRUE(write_file(outside_ + L"\\read_only.txt", "outside, read-only"));
        ASSERT_TRUE(SetFileAttributesW((outside_ + L"\\read_only.txt").c_str(), FILE_ATTRIBUTE_READONLY));
        ASSERT_TRUE(CreateDirectoryW((outside_ + L"\\directory").c_str(), nullptr));
        ASSERT_TRUE(write_file(outside_ + L"\\directory\\inner.txt", "inside the outside"));
        ASSERT_TRUE(CreateDirectoryW((outside_ + L"\\empty").c_str(), nullptr));
    }
    void expect_targets_untouched() {
        EXPECT_EQ(read_file(outside_ + L"\\file.txt"), "outside");
        EXPECT_EQ(read_file(outside_ + L"\\read_only.txt"), "outside, read-only");
        EXPECT_EQ(GetFileAttributesW((outside_ + L"\\read_only.txt").c_str()) & FILE_ATTRIBUTE_READONLY,
                  static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        EXPECT_EQ(read_file(outside_ + L"\\directory\\inner.txt"), "inside the outside");
        EXPECT_TRUE(directory_exists(outside_ + L"\\empty"));
    }

    std::wstring base_, outside_, folder_, tree_;
};

// A thousand levels under `make stress`: Wine 8 spends time on every call in
// proportion to the path's depth, so the whole deletion grows with its
// square (about a minute for 1,000 levels here); the suite takes 150.
TEST_F(tree_deleter, removes_deep_trees_with_read_only_entries_past_the_classic_path_limit) {
    int levels = getenv("ONEFILE_STRESS_LONG") != nullptr ? 1000 : 150;
    std::wstring path = L"\\\\?\\" + tree_;
    // Made from the Unix side: one process instead of a thousand slow calls.
    ASSERT_TRUE(run_unix_command(L"cd '" + unix_path_of(tree_) + L"' && for i in $(seq " +
                                 std::to_wstring(levels) + L"); do mkdir d && echo level > d/f.bin && cd d; done"));
    for (int level = 0; level < levels; ++level) path += L"\\d";
    ASSERT_TRUE(directory_exists(path)) << "the tree was not made";
    ASSERT_GT(path.size(), 300u);
    ASSERT_TRUE(write_file(path + L"\\read_only.bin", "bottom"));
    ASSERT_TRUE(SetFileAttributesW((path + L"\\read_only.bin").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));

    ULONGLONG started = GetTickCount64();
    tree_deletion result = delete_the_tree();
    printf("deleted in %llu ms\n", GetTickCount64() - started);
    EXPECT_TRUE(result.removed);
    EXPECT_FALSE(result.kept_link || result.incomplete);
    EXPECT_FALSE(directory_exists(tree_));
}

// Every kind of link Wine 8 can have in a tree, among plain entries: the
// plain ones go, the links stay with the directories above them, and what
// they lead to is untouched. A hard link to an outside read-only file shares
// its attributes: it must not be made writable.
TEST_F(tree_deleter, leaves_links_and_what_they_lead_to_and_deletes_the_rest) {
    make_targets();
    ASSERT_TRUE(CreateDirectoryW((tree_ + L"\\plain").c_str(), nullptr));
    ASSERT_TRUE(write_file(tree_ + L"\\plain\\gone.txt", "ours"));
    ASSERT_TRUE(CreateDirectoryW((tree_ + L"\\holder").c_str(), nullptr));
    ASSERT_TRUE(make_unix_link(outside_ + L"\\file.txt", tree_ + L"\\holder\\file_link"));
    ASSERT_TRUE(make_unix_link(outside_ + L"\\read_only.txt", tree_ + L"\\read_only_link"));
    ASSERT_TRUE(make_unix_link(outside_ + L"\\directory", tree_ + L"\\directory_link"));
    ASSERT_TRUE(make_unix_link(outside_ + L"\\empty", tree_ + L"\\empty_link"));
    ASSERT_TRUE(CreateHardLinkW((tree_ + L"\\hard_link").c_str(),
                                (outside_ + L"\\read_only.txt").c_str(), nullptr));

    tree_deletion result = delete_the_tree();
    EXPECT_FALSE(result.removed);
    EXPECT_TRUE(result.kept_link);
    expect_targets_untouched();
    EXPECT_FALSE(directory_exists(tree_ + L"\\plain"));
    EXPECT_TRUE(directory_exists(tree_ + L"\\holder"));
}

TEST_F(tree_deleter, a_root_that_is_a_link_is_left_alone) {
    make_targets();
    ASSERT_TRUE(RemoveDirectoryW(tree_.c_str()));
    ASSERT_TRUE(make_unix_link(outside_ + L"\\directory", tree_));

    tree_deletion result = delete_the_tree();
    EXPECT_FALSE(result.removed);
    EXPECT_TRUE(result.kept_link);
    expect_targets_untouched();
}

// The entry is judged, then swapped for a link to an outside file before
// the deleter reopens it to delete: the deletion must not reach the target.
std::wstring swap_from, swap_to;
decltype(win32.ReOpenFile) real_reopen;
HANDLE WINAPI reopen_after_swap(HANDLE original, DWORD access, DWORD share, DWORD flags) {
    if (!swap_from.empty() && (access & DELETE) != 0) {
        std::wstring from = swap_from;
        swap_from.clear();
        std::wstring aside = unix_path_of(from) + L".aside";
        run_unix_command(L"mv '" + unix_path_of(from) + L"' '" + aside + L"'");
        make_unix_link(swap_to, from);
    }
    return real_reopen(original, access, share, flags);
}

TEST_F(tree_deleter, an_entry_swapped_for_a_link_after_the_look_is_not_followed) {
    for (const wchar_t* name : {L"a_file", L"b_directory"}) {
        SCOPED_TRACE(printable(name));
        make_targets();
        std::wstring entry = tree_ + L"\\" + name;
        if (name[0] == L'a') {
            ASSERT_TRUE(write_file(entry, "ours"));
            swap_to = outside_ + L"\\file.txt";
        } else {
            ASSERT_TRUE(CreateDirectoryW(entry.c_str(), nullptr));
            swap_to = outside_ + L"\\empty";
        }
        swap_from = entry;
        real_reopen = win32_system.ReOpenFile;
        win32.ReOpenFile = reopen_after_swap;
        delete_the_tree();
        win32 = win32_system;
        EXPECT_TRUE(swap_from.empty()) << "the swap never happened";
        expect_targets_untouched();
        SetUp();  // a fresh tree for the next kind
    }
}

}  // namespace
