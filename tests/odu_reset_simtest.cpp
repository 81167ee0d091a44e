// The long ODU sequences: reset (20 s pause) and upload (10 s pause, then a
// reset). Each case is its own test so that they run side by side.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "link_sim_fixture.h"
#include "odu/msg.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char kResetLine[] = "resetting the kavor ODU ... done\n";
const char kVersionReport[] =
    "Version: bank1:<V3.01.0001>  bank2:<V3.01.0002>\n"
    "Active: bank1\n";

std::string WriteFile(const std::string& content) {
    std::string path = testing::TempDir() + "odu_upload_XXXXXX";
    int fd = mkstemp(&path[0]);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
    close(fd);
    return path;
}

std::vector<std::string> Texts() {
    std::vector<std::string> out;
    char buf[256];
    for (int i = 0; i < SIM_TextCount(); i++) {
        if (SIM_GetText(i, buf, sizeof buf) >= 0) out.push_back(buf);
    }
    return out;
}

std::vector<std::string> UploadLines() {
    std::vector<std::string> out;
    char buf[256];
    for (int i = 0; i < SIM_UploadLineCount(); i++) {
        if (SIM_GetUploadLine(i, buf, sizeof buf) >= 0) out.push_back(buf);
    }
    return out;
}

class OduLong : public SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        SIM_SetRestartSilenceMs(1000);
        SIM_SetVersion(1, "V3.01.0001", "V3.01.0002");
    }
};

TEST_F(OduLong, ResetSendsTheRestartTextsTwoMarkersAndPauses) {
    CaptureStdout();
    int64_t start = NowMs();
    EXPECT_EQ(ODU_OK, ODU_Reset());
    int64_t end = NowMs();
    EXPECT_EQ(kResetLine, GetCapturedStdout());
    EXPECT_EQ((std::vector<std::string>{"S5", "S4"}), Texts());
    EXPECT_EQ(1, SIM_RestartCount());

    // Each answer is confirmed with a marker, then two more follow S4.
    auto t = WireTrace();
    ASSERT_EQ(6u + 2u, t.size());
    EXPECT_EQ(kMarkerFrame, t[6].bytes);
    EXPECT_EQ(kMarkerFrame, t[7].bytes);
    EXPECT_EQ(4, SIM_MarkerCount());
    EXPECT_GE(end - t[7].lastUs / 1000, 20000);
    EXPECT_LT(end - start, 20000 + 2000);
}

TEST_F(OduLong, ResetWhoseFirstTextFailsStillPausesAndReports) {
    SIM_FaultOnRequest(1, SIM_FAULT_TX_STUCK);
    CaptureStdout();
    int64_t start = NowMs();
    EXPECT_EQ(ODU_ERR_NORESPONSE, ODU_Reset());
    int64_t took = NowMs() - start;
    EXPECT_EQ(kResetLine, GetCapturedStdout());
    EXPECT_EQ(1, SIM_RequestCount());  // no "S4"
    EXPECT_EQ(0, SIM_MarkerCount());   // and no markers
    EXPECT_GE(took, 20000);
}

TEST_F(OduLong, UploadSendsEveryLineThenResets) {
    std::string content;
    std::vector<std::string> lines;
    for (int i = 0; i < 12; i++) {
        std::string line = "line " + std::to_string(i) + " " + std::string(i, 'x') + "\n";
        lines.push_back(line);
        content += line;
    }
    std::string path = WriteFile(content);
    CaptureStdout();
    int64_t start = NowMs();
    EXPECT_EQ(ODU_OK, ODU_Upload(path.c_str()));
    int64_t took = NowMs() - start;
    unlink(path.c_str());

    EXPECT_EQ(std::string("result=0\n") + "0000 (008)\r" + "0010 (019)\r" + kResetLine + "Old\n" +
                  kVersionReport + "\nNew\n" + kVersionReport,
              GetCapturedStdout());
    EXPECT_EQ(lines, UploadLines());
    std::vector<std::string> texts = Texts();
    ASSERT_EQ(1u + 12u + 2u, texts.size());
    EXPECT_EQ("S7", texts.front());
    EXPECT_EQ("S5", texts[13]);
    EXPECT_EQ("S4", texts[14]);
    EXPECT_EQ(2, SIM_CountRequests(MSG_GET, ODU_CMD_VERSION, 0));
    EXPECT_GE(took, 10000 + 20000);
}

TEST_F(OduLong, UploadStopsBeforeALineTooLongToReadWhole) {
    std::string path = WriteFile("first\n" + std::string(200, 'y') + "\nthird\n");
    CaptureStdout();
    EXPECT_EQ(ODU_ERR_LINE, ODU_Upload(path.c_str()));
    unlink(path.c_str());
    EXPECT_EQ(std::string("result=0\n") + "0000 (006)\r" + kResetLine + "Old\n" + kVersionReport +
                  "\nNew\n" + kVersionReport,
              GetCapturedStdout());
    // Neither a piece of the long line nor anything after it reached the ODU.
    EXPECT_EQ((std::vector<std::string>{"first\n"}), UploadLines());
    EXPECT_EQ((std::vector<std::string>{"S7", "first\n", "S5", "S4"}), Texts());
    EXPECT_EQ(1, SIM_RestartCount());
}

}  // namespace
