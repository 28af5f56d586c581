// The sweep's platform-free rules natively: which names are run
// directories, when an owner counts as gone, and the long-path forms.
#include <gtest/gtest.h>

#include "launcher/leftover_rules.h"

namespace {

constexpr template_texts TEXTS = {u"Co", u"Widget", u"2.0.1"};

run_directory_pattern pattern_of(const u16* path_template) {
    run_directory_pattern pattern = {};
    const char* why = make_run_directory_pattern(path_template, TEXTS, pattern);
    EXPECT_EQ(why, nullptr) << why;
    return pattern;
}

bool parses(const u16* name, run_directory_name& parsed) {
    return parse_run_directory_name(pattern_of(DEFAULT_RUN_DIRECTORY_TEMPLATE), name, parsed);
}

}  // namespace

TEST(run_directory_names, are_onefile_digits_underscore_digits_and_nothing_else) {
    run_directory_name parsed = {};
    ASSERT_TRUE(parses(u"onefile_812_134116992000000000", parsed));
    EXPECT_EQ(parsed.parent, 812u);
    EXPECT_EQ(parsed.start, 134116992000000000u);
    EXPECT_FALSE(parsed.swept);
    ASSERT_TRUE(parses(u"onefile_4294967295_9223372036854775807.swept", parsed));
    EXPECT_EQ(parsed.parent, 4294967295u);
    EXPECT_TRUE(parsed.swept);
    EXPECT_TRUE(parses(u"onefile_0042_007", parsed));
    for (const u16* name :
         {u"onefile_4294967296_1", u"onefile_1_9223372036854775808", u"onefile__1", u"onefile_1_",
          u"onefile_1", u"onefile_+1_2", u"onefile_ 1_2", u"onefile_1_2x", u"onefile_1_2.swept.x",
          u"onefile_1_2.swep", u"Onefile_1_2", u"onefile_1_2_3", u"onefile_1\u0661_2",
          u"xonefile_1_2", u""})
        EXPECT_FALSE(parses(name, parsed)) << "accepted a name that is not ours";
}

// A template of the team's own: its last component, with the record's
// texts, in either order; the lock file's and the sweep's names follow it.
TEST(run_directory_names, follow_the_templates_last_component) {
    run_directory_pattern pattern = pattern_of(u"{CACHE_DIR}\\runs\\{PRODUCT}-{TIME}.{PID}-x");
    run_directory_name parsed = {};
    ASSERT_TRUE(parse_run_directory_name(pattern, u"Widget-1340.812-x.lock", parsed));
    EXPECT_EQ(parsed.parent, 812u);
    EXPECT_EQ(parsed.start, 1340u);
    EXPECT_TRUE(parsed.lock);
    EXPECT_EQ(parsed.base_length, 17u);
    for (const u16* name : {u"Widget-1340.812-", u"widget-1340.812-x", u"Widget-1340.812-x2",
                            u"Widget-1340.812", u"onefile_812_1340", u"Widget-.812-x"})
        EXPECT_FALSE(parse_run_directory_name(pattern, name, parsed)) << "accepted a name that is not ours";
}

TEST(owner_judgement, is_gone_only_for_no_such_process_or_a_later_one_and_keeps_on_doubt) {
    run_directory_name name = {812, 1000, false, false, 0};
    EXPECT_EQ(judge_owner(name, {false, ERROR_INVALID_PARAMETER_CODE, false, 0, 0}), owner_state::gone);
    EXPECT_EQ(judge_owner(name, {false, 5, false, 0, 0}), owner_state::doubtful);  // access denied
    EXPECT_EQ(judge_owner(name, {true, 0, false, 0, 0}), owner_state::doubtful);   // no times
    EXPECT_EQ(judge_owner(name, {true, 0, true, 1001, 0}), owner_state::gone);     // id reused
    EXPECT_EQ(judge_owner(name, {true, 0, true, 1000, 0}), owner_state::alive);
    EXPECT_EQ(judge_owner(name, {true, 0, true, 999, 2000}), owner_state::gone);  // ended, held
    EXPECT_EQ(judge_owner(name, {true, 0, true, 999, 0}), owner_state::alive);
    run_directory_name idle = {0, 1000, false, false, 0};
    EXPECT_EQ(judge_owner(idle, {false, ERROR_INVALID_PARAMETER_CODE, false, 0, 0}),
              owner_state::doubtful);
}

TEST(sweep_paths, take_the_long_path_form_and_never_overflow) {
    u16 out[32];
    ASSERT_TRUE(make_long_path(out, 32, u"C:\\Temp"));
    EXPECT_EQ(std::u16string(out), u"\\\\?\\C:\\Temp");
    ASSERT_TRUE(make_long_path(out, 32, u"\\\\server\\share\\t"));
    EXPECT_EQ(std::u16string(out), u"\\\\?\\UNC\\server\\share\\t");
    ASSERT_TRUE(make_long_path(out, 32, u"\\\\?\\D:\\x"));
    EXPECT_EQ(std::u16string(out), u"\\\\?\\D:\\x");
    EXPECT_FALSE(make_long_path(out, 32, u"relative\\path"));
    EXPECT_FALSE(make_long_path(out, 11, u"C:\\Temp"));  // 11 units with the terminator: 12 needed
    EXPECT_TRUE(make_long_path(out, 12, u"C:\\Temp"));

    u16 path[12] = u"\\\\?\\C:\\a";
    EXPECT_FALSE(append_component(path, 12, u"bcd"));  // 8 + 4 + terminator
    EXPECT_EQ(std::u16string(path), u"\\\\?\\C:\\a");
    EXPECT_TRUE(append_component(path, 12, u"bc"));
    EXPECT_EQ(std::u16string(path), u"\\\\?\\C:\\a\\bc");
    remove_component(path, 8);
    EXPECT_EQ(std::u16string(path), u"\\\\?\\C:\\a");
    remove_component(path, 8);  // never below the floor
    EXPECT_EQ(std::u16string(path), u"\\\\?\\C:\\a");
    EXPECT_EQ(folder_length(u"C:\\T\\onefile_1_2"), 4u);
    EXPECT_EQ(folder_length(u"onefile_1_2"), 0u);
}
