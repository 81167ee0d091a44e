// Configuration applier, run against a temporary directory with a recording
// fake clock program.

#include "cfgapply/cfgapply.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace fs = std::filesystem;

namespace {

const char kZebraFixed[] =
    "/sbin/decrypt.sh /etc/quagga/zebra.conf\n"
    "zebra -f /etc/quagga/zebra.conf -A 127.0.0.1 -P 35600 &\n"
    "/sbin/encrypt.sh /etc/quagga/zebra.conf\n"
    "rm /etc/quagga/zebra.conf\n";
const char kProfileDone[] = "NTP zone updated to /etc/profile\n";
const char kSeedResolv[] = "nameserver 9.9.9.9\n";
const char kSeedProfile[] = "export PATH=/bin\n";

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

unsigned Mode(const fs::path& p) {
    struct stat st {};
    if (stat(p.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

class CfgApply : public ::testing::Test {
   protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "cfgapply.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        settings_ = (dir_ / "config.txt").string();
        resolv_ = (dir_ / "resolv.conf").string();
        profile_ = (dir_ / "profile").string();
        zebra_ = (dir_ / "zebra.sh").string();
        ntpdate_ = (dir_ / "ntpdate").string();
        // Records its argument count and arguments, and prints a line of its
        // own so the order of its output against ours can be checked.
        WriteFile(ntpdate_, "#!/bin/sh\nprintf 'argc=%s %s\\n' \"$#\" \"$*\" >>'" +
                                (dir_ / "ntp.log").string() +
                                "'\nprintf 'ntpdate-ran %s\\n' \"$*\"\n");
        chmod(ntpdate_.c_str(), 0755);
        paths_ = {settings_.c_str(), resolv_.c_str(), profile_.c_str(), zebra_.c_str(),
                  ntpdate_.c_str()};
    }

    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void SeedTargets() {
        WriteFile(resolv_, kSeedResolv);
        WriteFile(profile_, kSeedProfile);
    }

    // Runs the applier with its standard output (and the clock program's,
    // which shares the descriptor) sent to a file, and returns that output.
    std::string Run() {
        const std::string out = (dir_ / "stdout").string();
        fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDOUT_FILENO);
        close(fd);
        const int rc = CFG_Apply(paths_);
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        EXPECT_EQ(rc, 0);
        return ReadFile(out);
    }

    std::string Apply(const std::string& settings) {
        WriteFile(settings_, settings);
        return Run();
    }

    std::string NtpLog() { return ReadFile(dir_ / "ntp.log"); }

    std::vector<std::string> Leftovers() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) {
            const std::string n = e.path().filename().string();
            if (n.rfind("resolv.conf.", 0) == 0) names.push_back(n);
        }
        return names;
    }

    fs::path dir_;
    std::string settings_, resolv_, profile_, zebra_, ntpdate_;
    CfgPaths paths_{};
};

// One file with every kind of line: output, files, modes and the clock runs,
// all in the order the lines come.
TEST_F(CfgApply, AppliesEverySettingInFileOrder) {
    SeedTargets();
    WriteFile(zebra_, "stale content that must go\n");
    chmod(zebra_.c_str(), 0777);

    const std::string out = Apply(
        "NTP_Server_IP:\t10.1.2.3\n"
        "DNS_Server_IP:\t192.168.1.1\n"
        "Some_Other_Key:\tvalue\n"
        "NTP_Time_Zone:\t8\n"
        "NTP_Server_Name:\tpool.ntp.org\n");

    EXPECT_EQ(out,
              "ntpdate-ran 10.1.2.3\n"
              "10.1.2.3\n"
              "DNS server IP:  192.168.1.1\n"
              "8\n"
              "export TZ=GMT+8\n"
              "\n"
              "ntpdate-ran pool.ntp.org\n"
              "pool.ntp.org\n" +
                  std::string(kProfileDone));
    EXPECT_EQ(NtpLog(), "argc=1 10.1.2.3\nargc=1 pool.ntp.org\n");
    EXPECT_EQ(ReadFile(resolv_), "nameserver 192.168.1.1");  // no newline
    EXPECT_EQ(Mode(resolv_), 0644u);
    EXPECT_TRUE(Leftovers().empty());
    EXPECT_EQ(ReadFile(profile_), std::string(kSeedProfile) + "export TZ=GMT+8\n");
    const std::string zebra = ReadFile(zebra_);
    EXPECT_EQ(zebra, std::string("export TZ=GMT+8\n") + kZebraFixed);
    EXPECT_EQ(zebra.size(), 16u + 40u + 56u + 40u + 26u);
    EXPECT_EQ(Mode(zebra_), 0755u);
}

TEST_F(CfgApply, SecondRunAppendsOneMoreExportAndRewritesTheRest) {
    SeedTargets();
    const std::string settings = "DNS_Server_IP:\t10.0.0.53\nNTP_Time_Zone:\t-3\n";
    const std::string first = Apply(settings);
    const std::string resolvAfterOne = ReadFile(resolv_);
    const std::string zebraAfterOne = ReadFile(zebra_);
    const std::string second = Run();

    EXPECT_EQ(second, first);
    EXPECT_EQ(ReadFile(resolv_), resolvAfterOne);
    EXPECT_EQ(ReadFile(zebra_), zebraAfterOne);
    EXPECT_EQ(ReadFile(profile_), std::string(kSeedProfile) + "export TZ=GMT-3\nexport TZ=GMT-3\n");
    EXPECT_TRUE(Leftovers().empty());
}

struct ZoneCase {
    const char* name;
    const char* value;
    const char* printed;
    const char* line;
};
void PrintTo(const ZoneCase& c, std::ostream* os) {
    *os << c.value;
}

class CfgApplyZone : public CfgApply, public ::testing::WithParamInterface<ZoneCase> {};

// The sign is written as given; no digits reads as 0; an out-of-range number
// gives the same line on every platform.
TEST_P(CfgApplyZone, ExportLineInOutputProfileAndScript) {
    const ZoneCase& c = GetParam();
    SeedTargets();
    const std::string out = Apply(std::string("NTP_Time_Zone:\t") + c.value + "\n");
    EXPECT_EQ(out, std::string(c.printed) + "\n" + c.line + "\n" + kProfileDone);
    EXPECT_EQ(ReadFile(profile_), std::string(kSeedProfile) + c.line);
    EXPECT_EQ(ReadFile(zebra_), std::string(c.line) + kZebraFixed);
}

INSTANTIATE_TEST_SUITE_P(Values, CfgApplyZone,
                         ::testing::Values(ZoneCase{"Zero", "0", "0", "export TZ=GMT+0\n"},
                                           ZoneCase{"Positive", "8", "8", "export TZ=GMT+8\n"},
                                           ZoneCase{"Negative", "-5", "-5", "export TZ=GMT-5\n"},
                                           ZoneCase{"PlusSign", "+3", "3", "export TZ=GMT+3\n"},
                                           ZoneCase{"NoDigits", "abc", "0", "export TZ=GMT+0\n"},
                                           ZoneCase{"TrailingText", "7h", "7", "export TZ=GMT+7\n"},
                                           ZoneCase{"TooLarge", "99999999999", "2147483647",
                                                    "export TZ=GMT+2147483647\n"},
                                           ZoneCase{"TooSmall", "-99999999999", "-2147483648",
                                                    "export TZ=GMT-2147483648\n"}),
                         [](const ::testing::TestParamInfo<ZoneCase>& i) {
                             return std::string(i.param.name);
                         });

TEST_F(CfgApply, WithoutZoneLineProfileGainsNothingAndScriptHasOnlyFixedLines) {
    SeedTargets();
    EXPECT_EQ(Apply("DNS_Server_IP:\t10.0.0.53\n"),
              std::string("DNS server IP:  10.0.0.53\n") + kProfileDone);
    EXPECT_EQ(ReadFile(profile_), kSeedProfile);
    EXPECT_EQ(ReadFile(zebra_), kZebraFixed);
    EXPECT_EQ(ReadFile(zebra_).size(), 162u);
}

TEST_F(CfgApply, LastDnsAndZoneLinesWin) {
    SeedTargets();
    const std::string out = Apply(
        "DNS_Server_IP:\t10.10.10.100\n"
        "NTP_Time_Zone:\t4\n"
        "DNS_Server_IP:\t1.2.3.4\n"
        "NTP_Time_Zone:\t-2\n");
    EXPECT_EQ(out,
              "DNS server IP:  10.10.10.100\n4\nexport TZ=GMT+4\n\n"
              "DNS server IP:  1.2.3.4\n-2\nexport TZ=GMT-2\n\n" +
                  std::string(kProfileDone));
    // A shorter later value leaves nothing of the longer one behind.
    EXPECT_EQ(ReadFile(resolv_), "nameserver 1.2.3.4");
    EXPECT_EQ(ReadFile(profile_), std::string(kSeedProfile) + "export TZ=GMT-2\n");
}

struct DnsCase {
    const char* name;
    const char* settings;
    const char* printed;  // the DNS line of the output, or "" for none
    const char* resolv;   // content afterwards
};
void PrintTo(const DnsCase& c, std::ostream* os) {
    *os << c.name;
}

class CfgApplyDns : public CfgApply, public ::testing::WithParamInterface<DnsCase> {};

TEST_P(CfgApplyDns, ResolverFile) {
    const DnsCase& c = GetParam();
    SeedTargets();
    EXPECT_EQ(Apply(c.settings), std::string(c.printed) + kProfileDone);
    EXPECT_EQ(ReadFile(resolv_), c.resolv);
    EXPECT_TRUE(Leftovers().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Values, CfgApplyDns,
    ::testing::Values(DnsCase{"AllZeroLeavesFileAlone", "DNS_Server_IP:\t0.0.0.0\n",
                              "DNS server IP:  0.0.0.0\n", kSeedResolv},
                      DnsCase{"NoDnsLineLeavesFileAlone", "Other:\tx\n", "", kSeedResolv},
                      DnsCase{"LongValueCutTo16", "DNS_Server_IP:\t1234567890.1234567890\n",
                              "DNS server IP:  1234567890.12345\n", "nameserver 1234567890.12345"},
                      DnsCase{"Exactly16Kept", "DNS_Server_IP:\t123.123.123.123\n",
                              "DNS server IP:  123.123.123.123\n", "nameserver 123.123.123.123"},
                      DnsCase{"CarriageReturnNotKept", "DNS_Server_IP:\t10.0.0.1\r\n",
                              "DNS server IP:  10.0.0.1\n", "nameserver 10.0.0.1"}),
    [](const ::testing::TestParamInfo<DnsCase>& i) { return std::string(i.param.name); });

// A write that fails part-way (here the file-size limit) leaves the old
// resolver file complete and no temporary file behind.
TEST_F(CfgApply, FailedResolverWriteKeepsOldFile) {
    SeedTargets();
    WriteFile(settings_, "DNS_Server_IP:\t10.20.30.40\n");
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim {};
    getrlimit(RLIMIT_FSIZE, &lim);
    lim.rlim_cur = 5;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    EXPECT_EQ(CFG_Apply(paths_), 0);  // output not captured: that file would hit the limit too
    EXPECT_EQ(ReadFile(resolv_), kSeedResolv);
    EXPECT_TRUE(Leftovers().empty());
}

struct SettingsFileCase {
    const char* name;
    bool isDirectory;
};
void PrintTo(const SettingsFileCase& c, std::ostream* os) {
    *os << c.name;
}

class CfgApplyNoSettings : public CfgApply,
                           public ::testing::WithParamInterface<SettingsFileCase> {};

TEST_P(CfgApplyNoSettings, PrintsOneMessageAndTouchesNothing) {
    if (GetParam().isDirectory) fs::create_directory(settings_);
    EXPECT_EQ(Run(), "File open failed!\n");
    EXPECT_FALSE(fs::exists(resolv_));
    EXPECT_FALSE(fs::exists(profile_));
    EXPECT_FALSE(fs::exists(zebra_));
    EXPECT_FALSE(fs::exists(dir_ / "ntp.log"));
}

INSTANTIATE_TEST_SUITE_P(Values, CfgApplyNoSettings,
                         ::testing::Values(SettingsFileCase{"Missing", false},
                                           SettingsFileCase{"IsDirectory", true}),
                         [](const ::testing::TestParamInfo<SettingsFileCase>& i) {
                             return std::string(i.param.name);
                         });

TEST_F(CfgApply, ProfileAndScriptThatCannotBeOpenedAreSkipped) {
    SeedTargets();
    fs::remove(profile_);
    fs::create_directory(profile_);
    fs::create_directory(dir_ / "nodir");
    const std::string zebra = (dir_ / "nodir" / "sub" / "zebra.sh").string();
    paths_.zebra = zebra.c_str();
    EXPECT_EQ(Apply("DNS_Server_IP:\t10.0.0.53\nNTP_Time_Zone:\t1\n"),
              "DNS server IP:  10.0.0.53\n1\nexport TZ=GMT+1\n\n");
    EXPECT_EQ(ReadFile(resolv_), "nameserver 10.0.0.53");
}

struct LineCase {
    const char* name;
    std::string settings;
    std::string out;  // whole standard output
};
void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class CfgApplyLines : public CfgApply, public ::testing::WithParamInterface<LineCase> {};

TEST_P(CfgApplyLines, Parse) {
    const LineCase& c = GetParam();
    SeedTargets();
    EXPECT_EQ(Apply(c.settings), c.out + kProfileDone);
    EXPECT_EQ(ReadFile(resolv_), kSeedResolv);
}

const std::string kZone2 = "NTP_Time_Zone:\t2\n";
const std::string kZone2Out = "2\nexport TZ=GMT+2\n\n";

// A line of exactly n characters: key, tab, value, blanks up to n.
std::string Padded(const std::string& setting, size_t n) {
    return setting + std::string(n - setting.size(), ' ');
}

INSTANTIATE_TEST_SUITE_P(
    Values, CfgApplyLines,
    ::testing::Values(
        LineCase{"KeyWithoutValue", "DNS_Server_IP:\n" + kZone2, kZone2Out},
        LineCase{"KeyAndBlanksOnly", "NTP_Server_IP:\t  \t\n" + kZone2, kZone2Out},
        LineCase{"EmptyAndBlankLines", "\n   \n\t\n" + kZone2, kZone2Out},
        LineCase{"KeyIsCaseSensitive", "ntp_time_zone:\t5\nNTP_TIME_ZONE:\t5\n" + kZone2,
                 kZone2Out},
        LineCase{"KeyNeedsItsColon", "NTP_Time_Zone\t5\n" + kZone2, kZone2Out},
        LineCase{"BlankInsteadOfTab", "NTP_Time_Zone: 2\n", kZone2Out},
        LineCase{"ExtraTokensIgnored", "NTP_Time_Zone:\t2 trailing words\n", kZone2Out},
        LineCase{"LastLineWithoutNewline", "Other:\tx\nNTP_Time_Zone:\t2", kZone2Out},
        LineCase{"TokenOf99Kept", "NTP_Time_Zone:\t2" + std::string(98, 'x') + "\n", kZone2Out},
        LineCase{"ValueOver99Ignored", "NTP_Time_Zone:\t5" + std::string(99, 'x') + "\n" + kZone2,
                 kZone2Out},
        LineCase{"KeyOver99Ignored", std::string(120, 'K') + "\t5\n" + kZone2, kZone2Out},
        LineCase{"LineOf149Kept", Padded("NTP_Time_Zone:\t2", 149) + "\n", kZone2Out},
        LineCase{"LineOf150Ignored", Padded("NTP_Time_Zone:\t5", 150) + "\n" + kZone2, kZone2Out},
        // The part after character 149 is no setting of its own.
        LineCase{"TailOfLongLineNotASetting",
                 Padded("Comment:\tx", 149) + "DNS_Server_IP:\t6.6.6.6\n" + kZone2, kZone2Out},
        LineCase{"NulEndsTheLine", std::string("NTP_Time_Zone:\t2\0junk\n", 22), kZone2Out}),
    [](const ::testing::TestParamInfo<LineCase>& i) { return std::string(i.param.name); });

// Server values are handed over as one argument, never to a shell, and
// refused when they could be read as an option or are no host name or
// address.
TEST(CfgServerValue, AcceptsHostNamesAndAddressesOnly) {
    for (const char* ok : {"pool.ntp.org", "10.0.0.1", "fe80::1", "ntp-1.example", "a"}) {
        EXPECT_EQ(CFG_ServerValueOk(ok), 1) << ok;
    }
    for (const char* bad :
         {"", "-q", "--help", "-", "x;reboot", "$(reboot)", "`id`", "a|b", "a&b", "a>b", "a/b",
          "a_b", "a'b", "a\"b", "a\\b", "a*", "h\xc3\xa9", "a\x1b[2J"}) {
        EXPECT_EQ(CFG_ServerValueOk(bad), 0) << bad;
    }
}

TEST_F(CfgApply, RefusedServerValueIsReportedAndSkipped) {
    SeedTargets();
    const std::string out = Apply(
        "NTP_Server_Name:\tx;reboot\n"
        "NTP_Server_IP:\t-q\n"
        "NTP_Server_Name:\tbad\x1b[2J\n"
        "NTP_Server_IP:\t10.9.8.7\n");
    EXPECT_EQ(out,
              "NTP server value refused: x;reboot\n"
              "NTP server value refused: -q\n"
              "NTP server value refused: bad?[2J\n"
              "ntpdate-ran 10.9.8.7\n"
              "10.9.8.7\n" +
                  std::string(kProfileDone));
    EXPECT_EQ(NtpLog(), "argc=1 10.9.8.7\n");
}

// When the clock program cannot be started the scan goes on once, in this
// process only.
TEST_F(CfgApply, MissingClockProgramDoesNotStopOrRepeatTheScan) {
    SeedTargets();
    const std::string missing = (dir_ / "no-such-ntpdate").string();
    paths_.ntpdate = missing.c_str();
    const std::string out = Apply(
        "NTP_Server_IP:\t10.1.1.1\n"
        "NTP_Time_Zone:\t1\n");
    EXPECT_EQ(out, "10.1.1.1\n1\nexport TZ=GMT+1\n\n" + std::string(kProfileDone));
    EXPECT_EQ(ReadFile(profile_), std::string(kSeedProfile) + "export TZ=GMT+1\n");
}

}  // namespace
