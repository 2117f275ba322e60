// The front end through the real binary: channel word, usage text, version banner,
// exit statuses and colour tags (standard output is a pipe here, not a terminal).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fanout_client/console.h"
#include "tests/test_support.h"

using test_support::RunClient;
using test_support::RunProgram;

namespace {

std::string ExpectedUsage(const std::string& p) {
    return "usage: \n"
           "\t1): " +
           p +
           " mail\t-T {to} [-C {cc}] [-S {subject}] [-c {content} | -f {content_file}] [-a "
           "{attachment}] [-d {utf8|gbk}] [-k {key_id}]\n"
           "\t2): " +
           p +
           " sms\t-T {to} -c {content} [-d {utf8|gbk}]\t[-k {key_id}]\n"
           "\t3): " +
           p +
           " zeph\t-T {to} -S {subject} -c {content}\t[-d {utf8|gbk}] [-k {key_id}]\n"
           "\t4): " +
           p +
           " lumo\t-T {to} -c {content} -i {img_path}\t[-d {utf8|gbk}] [-k {key_id}]\n"
           "example: \n"
           "\t1): " +
           p +
           " mail\t-T 'zeph_name1;zeph_name2' -C 'zeph_name1;zeph_name2' -S 'test_title' -c "
           "'test_content' -a './attachment1;./attachement2'\n"
           "\t2): " +
           p +
           " sms\t-T 'zeph_name1;zeph_name2' -c 'test_content'\n"
           "\t3): " +
           p +
           " zeph\t-T 'zeph_name1;zeph_name2' -S 'test_title'\t-c 'test_content'\n"
           "\t4): " +
           p +
           " lumo\t-T 'zeph_name1;zeph_name2' -c 'test_content'\t-i './test_img.jpg'\n"
           "notice: \n"
           "\t1) key_id can be register on website '" FANOUT_TEST_KEY_SITE
           "'. By using '-k {key_id}', you can config your receiver/cc/subject on the website as "
           "your wish. \n"
           "\t2) multi-receiver(cc) should be devided by ';', such as 'somebody1;somebody2'.\n"
           "\t3) multi-attachment   should be devided by ';', such as '/path1/file1;/path2/file2'. "
           "attachment limit: max_count: 20, total_max_size: 4MB\n"
           "\t4) code-format        support 'utf8' or 'gbk', default is 'gbk', please make sure "
           "{subject} and {content} are the same code-format.\n";
}

const char kVersion[] =
    "version: 1.3, author: karsemil, create time: 11/30/2012, modify time: "
    "11/28/2013(timeout: 1 sec -> 3 sec)\n";

}  // namespace

TEST(ShellE2E, ChannelWordPaths) {
    const std::string sBin = FANOUT_CLIENT_BIN;
    const std::string sUsage = ExpectedUsage(sBin);
    struct {
        std::vector<std::string> vecArgs;
        std::string sStdout;
        int iStatus;
    } kCases[] = {
        {{}, sUsage, 1},
        {{"-h"}, sUsage, 1},
        {{"MAIL", "-T", "a", "-c", "b"}, sUsage, 1},
        {{"-T", "a", "mail", "-c", "b"}, sUsage, 1},
        {{"email"}, sUsage, 1},
        {{""}, sUsage, 1},
        {{"-v"}, kVersion, 0},
        {{"-v", "-T", "x"}, kVersion, 0},
    };
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        const auto oRun = RunClient(kCases[i].vecArgs);
        SCOPED_TRACE("case " + std::to_string(i));
        EXPECT_FALSE(oRun.bTimedOut);
        EXPECT_EQ(oRun.sStdout, kCases[i].sStdout);
        EXPECT_EQ(oRun.iExitStatus, kCases[i].iStatus);
    }
}

TEST(ShellE2E, UsageShape) {
    const std::string sUsage = ExpectedUsage("prog");
    size_t nLines = 0;
    for (char c : sUsage) {
        nLines += c == '\n';
    }
    EXPECT_EQ(nLines, 15u);
}

TEST(ShellE2E, ProgramPathWithPercentIsPrintedLiterally) {
    const std::string sName = "/odd%s%n%dir/fanout";
    const auto oRun = RunProgram({FANOUT_CLIENT_BIN}, 20000, sName);
    EXPECT_EQ(oRun.sStdout, ExpectedUsage(sName));
    EXPECT_EQ(oRun.iExitStatus, 1);
}

TEST(ShellE2E, ColorString) {
    struct {
        std::string sText;
        int iColor;
        std::string sExpected;
    } kCases[] = {
        {"[OK]", CS_GREEN, "\033[0;32;32m[OK]\033[m"},
        {"[ERROR]", CS_RED, "\033[0;32;31m[ERROR]\033[m"},
        {"", CS_RED, "\033[0;32;31m\033[m"},
        {"text", 0, "text"},
        {"text", 3, "text"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(ColorString(c.sText, static_cast<COLOR_SYMBOL>(c.iColor)), c.sExpected)
            << c.sText << " " << c.iColor;
    }
    EXPECT_EQ(ColorString("[OK]", CS_GREEN).size(), std::string("[OK]").size() + 13);
}
