#include "vesk_os.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "counter_support.hpp"

namespace {

using files = std::map<std::string, std::string>;
using test_support::core_counter;
using test_support::CounterTest;

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
                       "VERSION_ID=\"7\"\nPRETTY_NAME=\"CentOS Linux 7 (Core)\"\n";
const char *kDebian12 = "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"
                        "VERSION=\"12 (bookworm)\"\nVERSION_CODENAME=bookworm\nID=debian\n";
const char *kRhel7 = "NAME=\"Red Hat Enterprise Linux Server\"\nVERSION=\"7.9 (Maipo)\"\nID=\"rhel\"\nVERSION_ID=\"7.9\"\n";
const char *kAmazon2018 = "NAME=\"Amazon Linux AMI\"\nVERSION=\"2018.03\"\nID=\"amzn\"\nVERSION_ID=\"2018.03\"\n";

} // namespace

TEST(OsIdentity, DistributionsAndTheirFiles)
{
    struct {
        const char *what;
        files in;
        const char *name, *ver;
    } cases[] = {
        {"CentOS 7", {{"/etc/os-release", kCentos7}}, "CentOS", "7"},
        {"Debian 12: a known family reads no further", {{"/etc/os-release", kDebian12}, {"/etc/issue", "Ubuntu 22.04\n"}},
         "Debian", "12"},
        {"Amazon Linux AMI", {{"/etc/os-release", kAmazon2018}}, "AmazonLinux", "2018.03"},
        {"Amazon Linux 2 passes unchanged", {{"/etc/os-release", "NAME=\"Amazon Linux\"\nID=\"amzn\"\nVERSION_ID=\"2\"\n"}},
         "Amazon Linux", "2"},
        {"RHEL: unknown ID, then redhat-release",
         {{"/etc/os-release", kRhel7}, {"/etc/redhat-release", "Red Hat Enterprise Linux Server release 7.9 (Maipo)\n"}},
         "RHEL", "7.9"},
        {"Arch, nothing else known",
         {{"/etc/os-release", "NAME=\"Arch Linux\"\nID=arch\n"}, {"/etc/issue", "Arch Linux \\r (\\l)\n\n"},
          {"/etc/issue.net", "Arch Linux\n"}},
         "Arch Linux", "unknown"},
        {"redhat-release only", {{"/etc/redhat-release", "CentOS Linux release 7.9.2009 (Core)\n"}}, "CentOS", "7.9.2009"},
        {"issue of Ubuntu", {{"/etc/issue", "Ubuntu 22.04.3 LTS \\n \\l\n\n"}}, "Ubuntu", "22.04.3"},
        {"issue of Debian", {{"/etc/issue", "Debian GNU/Linux 12 \\n \\l\n\n"}}, "Debian", "12"},
        {"redhat-release does not name Debian",
         {{"/etc/redhat-release", "Debian 12\n"}, {"/etc/issue.net", "Fedora release 39 (Thirty Nine)\n"}}, "Fedora", "39"},
        {"lines after an unknown ID are not read", {{"/etc/os-release", "ID=gentoo\nNAME=Gentoo\nVERSION_ID=2.14\n"}},
         "unknown", "unknown"},
        {"empty files pass on", {{"/etc/os-release", ""}, {"/etc/redhat-release", ""}, {"/etc/issue", "\n"}}, "unknown",
         "unknown"},
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
    EXPECT_EQ(id.name, accented.substr(0, 30));
    EXPECT_EQ(id.ver, std::string(31, '9'));
    // Bytes that are not UTF-8 never reach the report as they are.
    EXPECT_EQ(identify({{"/etc/os-release", "NAME=\"Bad\xFF\xFEName\"\nID=ubuntu\n"}}).name, "Bad\xEF\xBF\xBD\xEF\xBF\xBDName");
    id = identify({{"/etc/issue", "Ubuntu " + std::string(40, '1') + " LTS\n"}});
    EXPECT_EQ(id.ver, std::string(31, '1'));
}

// Sources that are missing or out of range give zeros, never a negative age, and the
// counter stays ok.
TEST_F(CounterTest, OsUptimesAndMissingSources)
{
    host_root();
    core_counter os(CORE_OS);
    EXPECT_EQ(os.report(), "ok:i64=0;os_bit:str=;os_name:str=;os_version:str=;vesk_memory_used:i64=0;"
                           "open_files:i64=0;uptime_sec:i64=0;vesk_uptime_sec:i64=0;")
        << "before any update";
    const auto &d = os.data<vesk_mycustom_data_os>();
    struct {
        const char *uptime;
        long at_startup, uptime_sec, vesk_uptime_sec;
    } cases[] = {
        {"", 0, 0, 0},
        {"nan 3\n", 0, 0, 0},
        {"1e300 5\n", 0, 0, 0},
        {"-7.5 1\n", 0, 0, 0},
        {"1196.06 1.0\n", 5000, 1196, 0}, // the root's host started after us
        {"1196.06 1.0\n", 1000, 1196, 196},
    };
    for (const auto &t : cases) {
        write_file("proc/uptime", t.uptime);
        config.uptime_at_startup = t.at_startup;
        ASSERT_EQ(os.update(), 1);
        EXPECT_EQ(d.uptime_sec, t.uptime_sec) << t.uptime;
        EXPECT_EQ(d.vesk_uptime_sec, t.vesk_uptime_sec) << t.uptime << " " << t.at_startup;
    }
    EXPECT_EQ(d.open_files, 854u);
    EXPECT_NE(d.vesk_memory_used, 0u);
    for (const char *f : {"uptime", "self/statm", "sys/fs/file-nr"}) hide(f);
    ASSERT_EQ(os.update(), 1);
    EXPECT_EQ(d.ok, 1);
    EXPECT_EQ(d.uptime_sec + d.vesk_uptime_sec, 0);
    EXPECT_EQ(d.vesk_memory_used, 0u);
    EXPECT_EQ(d.open_files, 0u);
}
