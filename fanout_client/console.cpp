#include "fanout_client/console.h"

#include <cstdio>

#include "fanout_client/build_config.h"

std::string ColorString(const std::string& str, COLOR_SYMBOL cs) {
    switch (cs) {
        case CS_RED:
            return "\033[0;32;31m" + str + "\033[m";
        case CS_GREEN:
            return "\033[0;32;32m" + str + "\033[m";
    }
    return str;
}

void Usage(const std::string& sProcName) {
    const char* pName = sProcName.c_str();
    puts("usage: ");
    printf(
        "\t1): %s mail\t-T {to} [-C {cc}] [-S {subject}] [-c {content} | -f {content_file}] "
        "[-a {attachment}] [-d {utf8|gbk}] [-k {key_id}]\n",
        pName);
    printf("\t2): %s sms\t-T {to} -c {content} [-d {utf8|gbk}]\t[-k {key_id}]\n", pName);
    printf("\t3): %s zeph\t-T {to} -S {subject} -c {content}\t[-d {utf8|gbk}] [-k {key_id}]\n",
           pName);
    printf("\t4): %s lumo\t-T {to} -c {content} -i {img_path}\t[-d {utf8|gbk}] [-k {key_id}]\n",
           pName);
    puts("example: ");
    printf(
        "\t1): %s mail\t-T 'zeph_name1;zeph_name2' -C 'zeph_name1;zeph_name2' -S 'test_title' "
        "-c 'test_content' -a './attachment1;./attachement2'\n",
        pName);
    printf("\t2): %s sms\t-T 'zeph_name1;zeph_name2' -c 'test_content'\n", pName);
    printf("\t3): %s zeph\t-T 'zeph_name1;zeph_name2' -S 'test_title'\t-c 'test_content'\n", pName);
    printf("\t4): %s lumo\t-T 'zeph_name1;zeph_name2' -c 'test_content'\t-i './test_img.jpg'\n",
           pName);
    puts("notice: ");
    puts("\t1) key_id can be register on website '" FANOUT_KEY_SITE
         "'. By using '-k {key_id}', you can config your receiver/cc/subject on the website as "
         "your wish. ");
    puts("\t2) multi-receiver(cc) should be devided by ';', such as 'somebody1;somebody2'.");
    puts(
        "\t3) multi-attachment   should be devided by ';', such as '/path1/file1;/path2/file2'. "
        "attachment limit: max_count: 20, total_max_size: 4MB");
    puts(
        "\t4) code-format        support 'utf8' or 'gbk', default is 'gbk', please make sure "
        "{subject} and {content} are the same code-format.");
}

void ShowVersion() {
    puts(
        "version: 1.3, author: karsemil, create time: 11/30/2012, modify time: "
        "11/28/2013(timeout: 1 sec -> 3 sec)");
}

void VPrintResult(RESULT_TAG eTag, const char* szFmt, va_list args) {
    const std::string sTag =
        (eTag == RT_OK) ? ColorString("[OK]", CS_GREEN) : ColorString("[ERROR]", CS_RED);
    printf("%s ", sTag.c_str());
    vprintf(szFmt, args);
}

void PrintResult(RESULT_TAG eTag, const char* szFmt, ...) {
    va_list args;
    va_start(args, szFmt);
    VPrintResult(eTag, szFmt, args);
    va_end(args);
}
