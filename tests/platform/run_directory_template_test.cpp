// Run-directory templates as the packer checks them and the sweep reads
// them: every refusal for its own reason, the kinds, and the templates whose
// leftovers cannot be told apart safely.
#include <gtest/gtest.h>

#include <string>

#include "platform/run_directory_template.h"

namespace {

constexpr template_texts TEXTS = {u"Co", u"Widget", u"2.0.1"};
constexpr size_t RECORD = 512, EXPANSION = 4096;

std::string problem_of(const u16* path_template, const template_texts& texts = TEXTS) {
    const char* why = run_directory_template_problem(path_template, texts, RECORD, EXPANSION);
    return why == nullptr ? "" : why;
}

}  // namespace

TEST(run_directory_templates, accepted_ones_expand_to_an_absolute_path_of_their_own) {
    for (const u16* good : {DEFAULT_RUN_DIRECTORY_TEMPLATE, u"{cache_dir}\\{COMPANY}\\{PRODUCT}\\{VERSION}",
                            u"C:\\Runs\\{PRODUCT}_{TIME}", u"\\\\server\\share\\{PID}-{TIME}",
                            u"{HOME}\\.app\\r_{TIME}_{PID}", u"{HOME}\\Documents_{TIME}",
                            u"{CACHE_DIR}\\{PRODUCT}", u"{HOME}\\.co\\{PRODUCT}"})
        EXPECT_EQ(problem_of(good), "") << std::u16string(good).size();
    EXPECT_EQ(run_directory_template_kind(DEFAULT_RUN_DIRECTORY_TEMPLATE), run_directory_kind::per_start);
    EXPECT_EQ(run_directory_template_kind(u"{CACHE_DIR}\\Co\\App"), run_directory_kind::cache);
}

TEST(run_directory_templates, refused_ones_say_why) {
    const std::pair<const u16*, const char*> cases[] = {
        {u"{TEMP}\\x}", "closes no placeholder"},
        {u"{TEMP}\\{PID", "no '}' closes"},
        {u"{TEMP}\\{NOPE}_{TIME}", "does not know"},
        {u"{TEMP}\\{PROGRAM_BASE}_{TIME}", "differ between the launcher's two processes"},
        {u"runs\\{TIME}", "does not start with"},
        {u"\\runs\\{TIME}", "does not start with"},
        {u"C:runs_{TIME}", "does not start with"},
        {u"\\\\server\\{TIME}", "does not start with"},
        {u"{TEMP}", "names no directory below"},
        {u"{TEMP}\\", "names no directory below"},
        {u"{TEMP}\\a\\\\{TIME}", "empty component"},
        {u"{TEMP}\\..\\{TIME}", "'..' component"},
        {u"{TEMP}\\{HOME}_{TIME}", "after its start"},
        {u"{TEMP}\\a:b_{TIME}", "refuses in names"},
        {u"{TEMP}\\x_{TIME}.", "dot or a blank"},
        {u"{TEMP}\\x_{PID}", "{PID} without {TIME}"},
        {u"{TEMP}\\{TIME}_{TIME}", "more than once"},
        // A cache is replaced whole when stale: never a folder of the user's.
        {u"{HOME}\\Documents", "a folder of the user's own"},
        {u"{CACHE_DIR}\\x\\desktop", "a folder of the user's own"},
        {u"{HOME}\\Projects", "directly in the profile"},
        {u"D:\\Games", "directly in the profile or at a drive's top"},
    };
    for (const auto& [path_template, why] : cases)
        EXPECT_NE(problem_of(path_template).find(why), std::string::npos)
            << problem_of(path_template) << " / " << why;
}

// Length N - 1 fits the record, N does not; a long product text counts
// against the expansion's capacity.
TEST(run_directory_templates, lengths_are_checked_at_their_edges) {
    std::u16string fits = u"C:\\" + std::u16string(RECORD - 1 - 3 - 6, u'a') + u"{TIME}";
    EXPECT_EQ(problem_of(fits.c_str()), "");
    EXPECT_NE(problem_of((fits + u"a").c_str()).find("longer than the launcher's record"), std::string::npos);
    std::u16string long_text(EXPANSION, u'p');
    template_texts texts = {u"Co", long_text.c_str(), u"1"};
    EXPECT_NE(problem_of(u"{TEMP}\\{PRODUCT}_{TIME}", texts).find("longer than the launcher's run directory"),
              std::string::npos);
}

TEST(run_directory_templates, leftovers_are_recognised_only_where_that_is_safe) {
    run_directory_pattern pattern;
    const std::pair<const u16*, const char*> cases[] = {
        {u"{TEMP}\\app_{TIME}", "lacks {PID} or {TIME}"},
        {u"{TEMP}\\{PID}\\app_{TIME}", "in the folder above"},
        {u"{TEMP}\\{PID}{TIME}", "where the number ends"},
        {u"{TEMP}\\{PID}_{TIME}7", "where the number ends"},
        {u"{TEMP}\\{PID}_{TIME}_{PRODUCT}", nullptr},
    };
    for (const auto& [path_template, why] : cases) {
        const char* found = make_run_directory_pattern(path_template, TEXTS, pattern);
        if (why == nullptr)
            EXPECT_EQ(found, nullptr);
        else
            EXPECT_NE(std::string(found ? found : "").find(why), std::string::npos) << found;
    }
    template_texts slashed = {u"Co", u"A/B", u"1"};
    EXPECT_NE(make_run_directory_pattern(u"{TEMP}\\{PRODUCT}_{PID}_{TIME}", slashed, pattern), nullptr);
}
