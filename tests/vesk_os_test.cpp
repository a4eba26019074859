#include "vesk_os.hpp"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <map>
#include <string>

#include "encoding.hpp"
#include "fixture_root.hpp"

namespace {

using files = std::map<std::string, std::string>;
using test_support::core_counter;

os_identity identify(const files &f)
{
    return identify_os([&](const char *path) -> std::optional<std::string> {
        auto it = f.find(path);
        if (it == f.end()) return std::nullopt;
        return it->second;
    });
}

// Real identity files, as the distributions ship them.
const char *kCentos7 = "NAME=\"CentOS Linux\"\nVERSION=\"7 (Core)\"\nID=\"centos\"\nID_LIKE=\"rhel fedora\"\n"
                       "VERSION_ID=\"7\"\nPRETTY_NAME=\"CentOS Linux 7 (Core)\"\nANSI_COLOR=\"0;31\"\n";
const char *kDebian12 = "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"
                        "VERSION=\"12 (bookworm)\"\nVERSION_CODENAME=bookworm\nID=debian\n";
const char *kRhel7 = "NAME=\"Red Hat Enterprise Linux Server\"\nVERSION=\"7.9 (Maipo)\"\nID=\"rhel\"\n"
                     "ID_LIKE=\"fedora\"\nVERSION_ID=\"7.9\"\n";
const char *kArch = "NAME=\"Arch Linux\"\nPRETTY_NAME=\"Arch Linux\"\nID=arch\nBUILD_ID=rolling\n";
const char *kAmazon2018 = "NAME=\"Amazon Linux AMI\"\nVERSION=\"2018.03\"\nID=\"amzn\"\nID_LIKE=\"rhel fedora\"\n"
                          "VERSION_ID=\"2018.03\"\n";
const char *kAmazon2 = "NAME=\"Amazon Linux\"\nVERSION=\"2\"\nID=\"amzn\"\nVERSION_ID=\"2\"\n";
const char *kUbuntu = "PRETTY_NAME=\"Ubuntu 22.04.3 LTS\"\nNAME=\"Ubuntu\"\nVERSION_ID=\"22.04\"\nID=ubuntu\nID_LIKE=debian\n";

} // namespace

TEST(OsIdentity, DistributionsAndTheirFiles)
{
    struct {
        const char *what;
        files in;
        const char *name, *ver;
    } cases[] = {
        {"CentOS 7", {{"/etc/os-release", kCentos7}}, "CentOS", "7"},
        {"Debian 12", {{"/etc/os-release", kDebian12}}, "Debian", "12"},
        {"Ubuntu", {{"/etc/os-release", kUbuntu}}, "Ubuntu", "22.04"},
        {"Amazon Linux AMI", {{"/etc/os-release", kAmazon2018}}, "AmazonLinux", "2018.03"},
        {"Amazon Linux 2 passes unchanged", {{"/etc/os-release", kAmazon2}}, "Amazon Linux", "2"},
        {"RHEL: unknown ID, then redhat-release",
         {{"/etc/os-release", kRhel7}, {"/etc/redhat-release", "Red Hat Enterprise Linux Server release 7.9 (Maipo)\n"}},
         "RHEL", "7.9"},
        {"Arch, nothing else known",
         {{"/etc/os-release", kArch}, {"/etc/issue", "Arch Linux \\r (\\l)\n\n"}, {"/etc/issue.net", "Arch Linux\n"}},
         "Arch Linux", "unknown"},
        {"redhat-release only", {{"/etc/redhat-release", "CentOS Linux release 7.9.2009 (Core)\n"}}, "CentOS", "7.9.2009"},
        {"issue of Ubuntu", {{"/etc/issue", "Ubuntu 22.04.3 LTS \\n \\l\n\n"}}, "Ubuntu", "22.04.3"},
        {"issue of Debian", {{"/etc/issue", "Debian GNU/Linux 12 \\n \\l\n\n"}}, "Debian", "12"},
        {"redhat-release does not name Debian",
         {{"/etc/redhat-release", "Debian 12\n"}, {"/etc/issue.net", "Fedora release 39 (Thirty Nine)\n"}},
         "Fedora", "39"},
        {"lines after an unknown ID are not read",
         {{"/etc/os-release", "ID=gentoo\nNAME=Gentoo\nVERSION_ID=2.14\n"}}, "unknown", "unknown"},
        {"empty files pass on", {{"/etc/os-release", ""}, {"/etc/redhat-release", ""}, {"/etc/issue", "\n"}}, "unknown", "unknown"},
        {"nothing at all", {}, "unknown", "unknown"},
    };
    for (const auto &t : cases) {
        os_identity id = identify(t.in);
        EXPECT_EQ(id.name, t.name) << t.what;
        EXPECT_EQ(id.ver, t.ver) << t.what;
    }
}

TEST(OsIdentity, LongAndInvalidValuesAreCutSafely)
{
    // 20 two-byte characters: the cut falls inside the 16th, which is dropped whole.
    std::string accented;
    for (int i = 0; i < 20; i++) accented += "\xC3\xA9";
    os_identity id = identify({{"/etc/os-release", "NAME=\"" + accented + "\"\nVERSION_ID=\"" + std::string(100, '9') + "\"\nID=debian\n"}});
    EXPECT_EQ(id.name.size(), 30u);
    EXPECT_EQ(id.name, accented.substr(0, 30));
    EXPECT_EQ(id.ver, std::string(31, '9'));

    // Bytes that are not UTF-8 never reach the report as they are.
    id = identify({{"/etc/os-release", "NAME=\"Bad\xFF\xFEName\"\nID=ubuntu\n"}});
    EXPECT_TRUE(vesk_utf8_valid(id.name.data(), id.name.size()));
    EXPECT_EQ(id.name, "Bad\xEF\xBF\xBD\xEF\xBF\xBDName");

    // A version word longer than the working text is cut as well.
    id = identify({{"/etc/issue", "Ubuntu " + std::string(40, '1') + " LTS\n"}});
    EXPECT_EQ(id.name, "Ubuntu");
    EXPECT_EQ(id.ver, std::string(31, '1'));
}

TEST(OsCounter, OnFixtureRoot)
{
    fixture_root root("sysa-basic");
    core_counter os(CORE_OS);
    ASSERT_EQ(os.init_result, 1);
    EXPECT_STREQ(os.get()->report, "Os");
    EXPECT_EQ(os.get()->data_prev, nullptr);
    EXPECT_EQ(os.get()->data_delta, nullptr);

    // Before any update: the keys with zeros and empty texts.
    EXPECT_EQ(os.report(), "ok:i64=0;os_bit:str=;os_name:str=;os_version:str=;vesk_memory_used:i64=0;"
                           "open_files:i64=0;uptime_sec:i64=0;vesk_uptime_sec:i64=0;");

    struct utsname u {};
    uname(&u);
    os_identity id = identify_os([](const char *path) -> std::optional<std::string> {
        std::string t;
        if (!vesk_read_file(path, t)) return std::nullopt;
        return t;
    });
    // From the fixture: statm 417 resident pages, file-nr 854, uptime 1196.06.
    auto report = [&](long vesk_uptime) {
        return "ok:i64=1;os_bit:str=" + std::string(u.machine) + ";os_name:str=" + id.name + ";os_version:str=" + id.ver +
               ";vesk_memory_used:i64=" + std::to_string(417 * sysconf(_SC_PAGESIZE) / 1024) +
               ";open_files:i64=854;uptime_sec:i64=1196;vesk_uptime_sec:i64=" + std::to_string(vesk_uptime) + ";";
    };
    struct {
        long at_startup, vesk_uptime;
    } cases[] = {
        {1000, 196},
        {0, 1196},
        {5000, 0}, // the root's host started after us: never a negative age
    };
    for (const auto &t : cases) {
        config.uptime_at_startup = t.at_startup;
        ASSERT_EQ(os.update(), 1);
        EXPECT_EQ(os.report(), report(t.vesk_uptime)) << t.at_startup;
    }
    EXPECT_EQ(os.dump(), "MyCustom Os report (1) :\n\tOS bit = " + std::string(u.machine) + "\n\tOS name = " + id.name +
                             "\n\tOS version = " + id.ver + "\n\tOS open files = 854\n\tOS vesk mem used = " +
                             std::to_string(417 * sysconf(_SC_PAGESIZE) / 1024) +
                             "\n\tOS uptime = 1196\n\tOS vesk uptime = 0\n");

    // Missing or unreadable sources give zeros, and the counter stays ok.
    for (const char *text : {"", "nan 3\n", "1e300 5\n", "-7.5 1\n"}) {
        root.write("uptime", text);
        ASSERT_EQ(os.update(), 1);
        EXPECT_EQ(static_cast<vesk_mycustom_data_os *>(os.get()->data)->uptime_sec, 0) << text;
    }
    root.remove("uptime");
    root.remove("self/statm");
    root.remove("sys/fs/file-nr");
    ASSERT_EQ(os.update(), 1);
    EXPECT_EQ(os.report(), "ok:i64=1;os_bit:str=" + std::string(u.machine) + ";os_name:str=" + id.name +
                               ";os_version:str=" + id.ver +
                               ";vesk_memory_used:i64=0;open_files:i64=0;uptime_sec:i64=0;vesk_uptime_sec:i64=0;");
}
