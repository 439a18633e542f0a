#include "app/NicknameFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {
class NicknameFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/corvastel-nick-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        file = dir / "cvinfo.ini";
    }
    void TearDown() override {
        ::chmod(dir.c_str(), 0755);
        fs::remove_all(dir);
    }
    void Put(const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
    std::string Get() const {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path dir;
    fs::path file;
};
}  // namespace

TEST_F(NicknameFileTest, FirstWriteCreatesTheFileWithTheFixedLayout) {
    TNicknameFile nicks(file);
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "");
    nicks.WriteNickname("12:34:56:78:9A:BC", "Desk");
    nicks.WriteNickname("12:34:56:78:9A:BD", "Laptop");
    EXPECT_EQ(Get(), "[Nickname]\n12:34:56:78:9A:BC=Desk\n12:34:56:78:9A:BD=Laptop\n");
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "Desk");
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BD"), "Laptop");
}

TEST_F(NicknameFileTest, RoundTripsChineseTextAndReplacesAnEarlierValue) {
    TNicknameFile nicks(file);
    nicks.WriteNickname("12:34:56:78:9A:BC", "书房电脑");
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "书房电脑");
    nicks.WriteNickname("12:34:56:78:9A:BC", "客厅");
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "客厅");
    EXPECT_EQ(Get(), "[Nickname]\n12:34:56:78:9A:BC=客厅\n");
}

TEST_F(NicknameFileTest, KeepsOtherSectionsKeysCommentsAndLineEnds) {
    Put("\xEF\xBB\xBF; written by hand\r\n[Window]\r\nLeft=10\r\n\r\n[nickname]\r\n"
        "12:34:56:78:9A:BD = Laptop \r\n\r\n[Other]\r\nx=1\r\n");
    TNicknameFile nicks(file);
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BD"), "Laptop");
    nicks.WriteNickname("12:34:56:78:9A:BC", "Desk");
    EXPECT_EQ(Get(),
              "\xEF\xBB\xBF; written by hand\r\n[Window]\r\nLeft=10\r\n\r\n[nickname]\r\n"
              "12:34:56:78:9A:BD = Laptop \r\n12:34:56:78:9A:BC=Desk\r\n\r\n[Other]\r\nx=1\r\n");
}

TEST_F(NicknameFileTest, SeesHandEditsAtTheNextRead) {
    TNicknameFile nicks(file);
    nicks.WriteNickname("12:34:56:78:9A:BC", "Desk");
    Put("[Nickname]\n");
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "");
    Put("[Nickname]\n12:34:56:78:9A:BC=\"Quoted\"\nkey-without-value\n");
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "Quoted");
}

TEST_F(NicknameFileTest, LongValuesAreCutAndLineBreaksCannotPlantKeys) {
    TNicknameFile nicks(file);
    nicks.WriteNickname("12:34:56:78:9A:BC", std::string(3000, 'x'));
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC").size(), NicknameMaxChars);
    nicks.WriteNickname("12:34:56:78:9A:BD", "a\n12:34:56:78:9A:BC=stolen");
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC").size(), NicknameMaxChars);
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BD"), "a 12:34:56:78:9A:BC=stolen");
}

TEST_F(NicknameFileTest, AFailedWriteReportsThePathAndLeavesTheOldFileIntact) {
    if (::geteuid() == 0) {
        // root writes through permission bits; a path under a regular file cannot be created by anyone.
        Put("[Nickname]\n12:34:56:78:9A:BC=Desk\n");
        TNicknameFile blocked(file / "cvinfo.ini");
        try {
            blocked.WriteNickname("12:34:56:78:9A:BC", "New");
            FAIL() << "write under a regular file succeeded";
        } catch (const TNicknameWriteError& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write to " + (file / "cvinfo.ini").string());
        }
    } else {
        Put("[Nickname]\n12:34:56:78:9A:BC=Desk\n");
        ::chmod(dir.c_str(), 0555);
        TNicknameFile nicks(file);
        EXPECT_THROW(nicks.WriteNickname("12:34:56:78:9A:BC", "New"), TNicknameWriteError);
        ::chmod(dir.c_str(), 0755);
    }
    EXPECT_EQ(Get(), "[Nickname]\n12:34:56:78:9A:BC=Desk\n");
    for (const auto& e : fs::directory_iterator(dir)) EXPECT_EQ(e.path().filename(), "cvinfo.ini");
}

TEST_F(NicknameFileTest, LocateUsesTheExecutableFolderWhenWritableOrAlreadyHoldingTheFile) {
    const fs::path config = dir / "config";
    EXPECT_EQ(TNicknameFile::Locate(dir, config), dir / "cvinfo.ini");
    const fs::path missing = dir / "no-such-folder";
    EXPECT_EQ(TNicknameFile::Locate(missing, config), config / "cvinfo.ini");
    // A file next to the executable wins even when its folder is read-only (portable use).
    fs::create_directory(dir / "ro");
    std::ofstream(dir / "ro" / "cvinfo.ini") << "[Nickname]\n";
    ::chmod((dir / "ro").c_str(), 0555);
    EXPECT_EQ(TNicknameFile::Locate(dir / "ro", config), dir / "ro" / "cvinfo.ini");
    ::chmod((dir / "ro").c_str(), 0755);
}

TEST_F(NicknameFileTest, WriteCreatesTheUserConfigurationFolder) {
    TNicknameFile nicks(dir / "config" / "CorvastelPcApp" / "cvinfo.ini");
    nicks.WriteNickname("12:34:56:78:9A:BC", "Desk");
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "Desk");
}
