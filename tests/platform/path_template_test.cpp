// Path template expansion against controlled platform values: literals and
// capacity, placeholder names, the strip rule, nested PROGRAM forms, and the
// handshake variables behind {PID} and {TIME}.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "platform/environment.h"
#include "platform/path_template.h"

namespace {

struct fake_platform {
    std::u16string temp = u"D:\\Tmp\\";
    bool folder_found = true;
    std::u16string profile = u"C:\\Users\\someone";
    std::u16string local_appdata = u"C:\\Users\\someone\\AppData\\Local";
    int last_folder_id = -1;
    bool has_program = true;
    std::u16string program = u"C:\\Apps\\Tool.exe";
    uint32_t process_id = 4242;
    int64_t time = 134116992000000000;  // 2026-01-01 00:00:00 UTC
    int time_reads = 0;
    std::map<std::string, std::u16string> environment;
};

fake_platform fake;

// Like GetTempPathW behind the system source: nothing when it does not fit.
void fake_write_temp_path(u16* at, size_t room) {
    if (fake.temp.size() >= room) {
        at[0] = 0;
        return;
    }
    std::memcpy(at, fake.temp.c_str(), (fake.temp.size() + 1) * sizeof(u16));
}

bool fake_known_folder(int folder_id, u16* folder) {
    fake.last_folder_id = folder_id;
    if (!fake.folder_found) return false;
    const std::u16string& path = folder_id == FOLDER_PROFILE ? fake.profile : fake.local_appdata;
    std::memcpy(folder, path.c_str(), (path.size() + 1) * sizeof(u16));
    return true;
}

const u16* fake_program() { return fake.has_program ? fake.program.c_str() : nullptr; }
uint32_t fake_process_id() { return fake.process_id; }
int64_t fake_system_time() {
    ++fake.time_reads;
    return fake.time;
}

// get_env_var semantics: a heap copy, none for absent or empty.
u16* fake_get_env(const char* name) {
    auto found = fake.environment.find(name);
    if (found == fake.environment.end() || found->second.empty()) return nullptr;
    size_t bytes = (found->second.size() + 1) * sizeof(u16);
    u16* copy = static_cast<u16*>(std::malloc(bytes));
    std::memcpy(copy, found->second.c_str(), bytes);
    return copy;
}

bool fake_set_env(const char* name, const u16* value) {
    fake.environment[name] = value;
    return true;
}

const template_sources FAKE_SOURCES = {fake_write_temp_path, fake_known_folder, fake_program,
                                       fake_process_id,      fake_system_time,  fake_get_env,
                                       fake_set_env};

struct expansion {
    bool expanded;
    std::u16string text;
};

expansion expand(const char16_t* path_template, size_t capacity = 4096) {
    std::u16string buffer(capacity, u'#');
    bool expanded = expand_path_template(FAKE_SOURCES, buffer.data(), path_template, capacity);
    return {expanded, std::u16string(buffer.c_str())};
}

std::u16string repeated(char16_t unit, size_t count) { return std::u16string(count, unit); }

class PathTemplate : public ::testing::Test {
protected:
    void SetUp() override { fake = fake_platform{}; }
};

using PathTemplateDeathTest = PathTemplate;

void expect_expansion(const char16_t* path_template, const char16_t* expected) {
    expansion result = expand(path_template);
    EXPECT_TRUE(result.expanded) << "template " << ::testing::PrintToString(std::u16string(path_template));
    EXPECT_EQ(result.text, expected);
}

void expect_failure(const char16_t* path_template) {
    EXPECT_FALSE(expand(path_template).expanded)
        << "template " << ::testing::PrintToString(std::u16string(path_template));
}

TEST_F(PathTemplate, LiteralsAreCopiedAndTheOldContentDiscarded) {
    expect_expansion(u"", u"");
    expect_expansion(u"C:\\plain text", u"C:\\plain text");
}

TEST_F(PathTemplate, LiteralsFillTheCapacityLessOneAndNoMore) {
    const size_t capacity = 16;
    std::u16string fits = repeated(u'a', capacity - 1);
    expansion full = expand(fits.c_str(), capacity);
    EXPECT_TRUE(full.expanded);
    EXPECT_EQ(full.text, fits);

    std::u16string too_long = repeated(u'a', capacity);
    expansion failed = expand(too_long.c_str(), capacity);
    EXPECT_FALSE(failed.expanded);
    EXPECT_EQ(failed.text, fits);  // terminated, holding what fitted
}

TEST_F(PathTemplate, NamesFoldAsciiCaseOnly) {
    expect_expansion(u"{temp}", u"D:\\Tmp");
    expect_expansion(u"{Temp}", u"D:\\Tmp");
    expect_expansion(u"{pRoGrAm}", u"C:\\Apps\\Tool.exe");
    // U+0130 (capital I with dot) must not fold to "i".
    expect_failure(u"{\u0130D}");
    expect_failure(u"{P\u0130D}");
}

TEST_F(PathTemplate, UnknownAndMalformedNamesFail) {
    expect_failure(u"{TEMP }");
    expect_failure(u"{}");
    expect_failure(u"{NOPE}");
    expect_failure(u"x{PROGRAM_}");
}

TEST_F(PathTemplate, UnclosedPlaceholderIsDropped) {
    expect_expansion(u"abc{TEMP", u"abc");
    expect_expansion(u"{A{TEMP}", u"D:\\Tmp");
}

TEST_F(PathTemplate, BraceThatClosesNothingFails) {
    expect_failure(u"}");
    expect_failure(u"a}b");
    expect_failure(u"{TEMP}}");
}

TEST_F(PathTemplate, OverlongNamesFailWithoutOverflowingTheNameBuffer) {
    for (size_t length : {size_t{1023}, size_t{1024}, size_t{5000}}) {
        std::u16string path_template = u"{" + repeated(u'T', length) + u"}";
        EXPECT_FALSE(expand(path_template.c_str()).expanded) << length << " units";
    }
    // An over-long name later replaced by a real one leaves no trace.
    std::u16string replaced = u"{" + repeated(u'x', 3000) + u"{TEMP}";
    expansion result = expand(replaced.c_str());
    EXPECT_TRUE(result.expanded);
    EXPECT_EQ(result.text, u"D:\\Tmp");
    // Still open at the end: dropped like any open placeholder.
    std::u16string open = u"ab{" + repeated(u'x', 3000);
    expansion dropped = expand(open.c_str());
    EXPECT_TRUE(dropped.expanded);
    EXPECT_EQ(dropped.text, u"ab");
}

TEST_F(PathTemplate, TempLosesAllTrailingBackslashes) {
    expect_expansion(u"{TEMP}", u"D:\\Tmp");
    fake.temp = u"D:\\Tmp\\\\\\";
    expect_expansion(u"{TEMP}", u"D:\\Tmp");
}

TEST_F(PathTemplate, TempThatIsMissingOrDoesNotFitFails) {
    fake.temp = u"";
    expect_failure(u"{TEMP}\\run");
    fake.temp = u"D:\\Tmp\\";
    // 7 units need 8 with the terminator; "ab" leaves 6.
    expansion result = expand(u"ab{TEMP}", 8);
    EXPECT_FALSE(result.expanded);
    EXPECT_EQ(result.text, u"ab");
}

TEST_F(PathTemplate, RunDirectoryWorkedExample) {
    fake.environment[PARENT_VARIABLE] = u"812";
    expansion result = expand(RUN_DIRECTORY_TEMPLATE);
    EXPECT_TRUE(result.expanded);
    EXPECT_EQ(result.text, u"D:\\Tmp\\onefile_812_134116992000000000");
    EXPECT_EQ(fake.environment[START_VARIABLE], u"134116992000000000");

    // A later process with the inherited variables and a later clock agrees.
    fake.time += 50'000'000;
    EXPECT_EQ(expand(RUN_DIRECTORY_TEMPLATE).text, result.text);
}

TEST_F(PathTemplate, StripLooksAtTheWholeOutput) {
    fake.profile = u"C:\\";
    expect_expansion(u"X\\{HOME}", u"X\\C:");
    fake.profile = u"C:\\Users\\someone";
    expect_expansion(u"X\\{HOME}", u"X\\C:\\Users\\someone");
    fake.profile = u"";
    expect_expansion(u"X\\{HOME}", u"X");
    fake.profile = u"\\\\";
    expect_expansion(u"\\\\{HOME}", u"");
}

TEST_F(PathTemplate, LiteralAfterStripIsKept) {
    fake.profile = u"C:\\Users\\someone\\";
    expect_expansion(u"{HOME}\\", u"C:\\Users\\someone\\");
}

TEST_F(PathTemplate, OnlyTempHomeAndCacheDirStrip) {
    fake.program = u"C:\\Apps\\";
    expect_expansion(u"{PROGRAM}", u"C:\\Apps\\");
    fake.local_appdata = u"C:\\Local\\";
    expect_expansion(u"{CACHE_DIR}", u"C:\\Local");
}

TEST_F(PathTemplate, KnownFoldersUseTheirIds) {
    expect_expansion(u"{HOME}", u"C:\\Users\\someone");
    EXPECT_EQ(fake.last_folder_id, 0x28);
    expect_expansion(u"{CACHE_DIR}", u"C:\\Users\\someone\\AppData\\Local");
    EXPECT_EQ(fake.last_folder_id, 0x1C);
}

TEST_F(PathTemplate, FolderLookupFailureFailsDespiteRoom) {
    fake.folder_found = false;
    expect_failure(u"{HOME}");
    expect_failure(u"x{CACHE_DIR}y");
}

TEST_F(PathTemplate, ProgramBaseRemovesExeOnly) {
    const struct {
        const char16_t* program;
        const char16_t* base;
    } cases[] = {
        {u"C:\\Apps\\Tool.EXE", u"C:\\Apps\\Tool"}, {u"Tool.exe", u"Tool"},
        {u".exe", u""},                             {u"exe", u"exe"},
        {u"Tool.exe.bak", u"Tool.exe.bak"},         {u"Tool.eXe", u"Tool"},
        {u"Tool.com", u"Tool.com"},
    };
    for (const auto& c : cases) {
        fake.program = c.program;
        expect_expansion(u"{PROGRAM_BASE}", c.base);
    }
}

TEST_F(PathTemplate, ProgramDirCutsAtTheLastBackslashOfTheProgram) {
    const struct {
        const char16_t* program;
        const char16_t* dir;
    } cases[] = {
        {u"C:\\Apps\\Tool.exe", u"C:\\Apps"},
        {u"Tool.exe", u"Tool.exe"},
        {u"C:/Apps/Tool.exe", u"C:/Apps/Tool.exe"},
        {u"\\Tool.exe", u""},
    };
    for (const auto& c : cases) {
        fake.program = c.program;
        expect_expansion(u"{PROGRAM_DIR}", c.dir);
    }
}

TEST_F(PathTemplate, NestedProgramWorksAfterEarlierText) {
    fake.program = u"Tool.exe";
    // The backslash before the placeholder is not the program's.
    expect_expansion(u"a\\{PROGRAM_DIR}", u"a\\Tool.exe");
    // ".exe" has to be the program's own ending.
    fake.program = u"exe";
    expect_expansion(u"x.{PROGRAM_BASE}", u"x.exe");
    fake.program = u"C:\\Apps\\Tool.exe";
    expect_expansion(u"[{PROGRAM_BASE}|{PROGRAM_DIR}]", u"[C:\\Apps\\Tool|C:\\Apps]");
}

TEST_F(PathTemplate, PidTakesTheParentVariableUnchanged) {
    fake.environment[PARENT_VARIABLE] = u"0042";
    expect_expansion(u"{PID}", u"0042");
}

TEST_F(PathTemplate, PidFallsBackToTheOwnProcessId) {
    expect_expansion(u"{PID}", u"4242");
    fake.environment[PARENT_VARIABLE] = u"";  // empty reads as absent
    expect_expansion(u"{PID}", u"4242");
    fake.environment.clear();
    fake.process_id = 7;
    expect_expansion(u"<{PID}>", u"<7>");
}

TEST_F(PathTemplateDeathTest, PidWithOtherThanDigitsEndsAbnormally) {
    for (const char16_t* value : {u"12a", u"-5", u" 12", u"\uFF11"}) {
        fake.environment[PARENT_VARIABLE] = value;
        EXPECT_DEATH(expand(u"{PID}"), "") << ::testing::PrintToString(std::u16string(value));
    }
}

TEST_F(PathTemplate, TimeTakesADigitStartVariableAsItStands) {
    fake.environment[START_VARIABLE] = u"00042";
    expect_expansion(u"{TIME}", u"00042");
    EXPECT_EQ(fake.environment[START_VARIABLE], u"00042");
    EXPECT_EQ(fake.time_reads, 0);
}

// A start value that is not plain digits could steer the run directory, and
// its deletion, anywhere; it is replaced by a fresh time.
TEST_F(PathTemplate, TimeReplacesAStartVariableThatIsNotDigits) {
    for (const char16_t* value : {u"not a number", u"1\\..\\..\\victim", u"12\\", u"-5", u" 7",
                                  u"\uFF11"}) {
        fake.environment[START_VARIABLE] = value;
        fake.time = 5;
        expect_expansion(u"{TIME}", u"5");
        EXPECT_EQ(fake.environment[START_VARIABLE], u"5");
    }
}

TEST_F(PathTemplate, TimeRecordsWhatItAppended) {
    fake.time = 5;
    expect_expansion(u"{TIME}", u"5");
    EXPECT_EQ(fake.environment[START_VARIABLE], u"5");

    fake = fake_platform{};
    fake.environment[START_VARIABLE] = u"";  // empty reads as absent
    fake.time = INT64_MAX;
    expect_expansion(u"{TIME}", u"9223372036854775807");
    EXPECT_EQ(fake.environment[START_VARIABLE], u"9223372036854775807");
}

TEST_F(PathTemplate, TimeTwiceGivesTheSameDigits) {
    expect_expansion(u"{TIME}-{TIME}", u"134116992000000000-134116992000000000");
    EXPECT_EQ(fake.time_reads, 1);
}

TEST_F(PathTemplate, FixedTexts) {
    expect_expansion(u"{COMPANY}-{PRODUCT}-{VERSION}", u"Marrowlake-Marrowlake-1.0.9");
}

TEST_F(PathTemplateDeathTest, ValueOneUnitTooLongEndsAbnormallyWhereALiteralFails) {
    // "Marrowlake" is 10 units: capacity 11 holds it exactly.
    EXPECT_TRUE(expand(u"{COMPANY}", 11).expanded);
    EXPECT_FALSE(expand(u"{COMPANY}x", 11).expanded);
    EXPECT_DEATH(expand(u"x{COMPANY}", 11), "");
    fake.program = repeated(u'p', 10);
    EXPECT_DEATH(expand(u"x{PROGRAM}", 11), "");
    EXPECT_DEATH(expand(u"x{PROGRAM_BASE}", 11), "");
    fake.environment[PARENT_VARIABLE] = u"1234567890";
    EXPECT_DEATH(expand(u"x{PID}", 11), "");
    fake.environment[START_VARIABLE] = u"1234567890";
    EXPECT_DEATH(expand(u"x{TIME}", 11), "");
    fake.profile = repeated(u'h', 10);
    EXPECT_DEATH(expand(u"x{HOME}", 11), "");
}

TEST_F(PathTemplateDeathTest, MissingArgumentZeroEndsAbnormally) {
    fake.has_program = false;
    EXPECT_DEATH(expand(u"{PROGRAM}"), "");
    EXPECT_DEATH(expand(u"{PROGRAM_DIR}"), "");
}

}  // namespace
