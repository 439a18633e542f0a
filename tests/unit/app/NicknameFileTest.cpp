#include "app/NicknameFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

TEST_F(NicknameFileTest, EveryLineKeepsItsOwnEnding) {
    struct TRow {
        const char* Case;
        const char* Before;
        const char* After;
    };
    const TRow rows[] = {
        {"mixed endings, key replaced", "[Nickname]\r\nAA=1\nBB=2\r\n", "[Nickname]\r\nAA=new\nBB=2\r\n"},
        {"mixed endings, key added", "; LF first\n[Nickname]\r\nBB=2\r\n\n",
         "; LF first\n[Nickname]\r\nBB=2\r\nAA=new\n\n"},
        {"no line break at the end", "[Nickname]\r\nBB=2", "[Nickname]\r\nBB=2\r\nAA=new\r\n"},
        {"section added after a last line without break", "[Other]\nx=1",
         "[Other]\nx=1\n[Nickname]\nAA=new\n"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Case);
        Put(row.Before);
        TNicknameFile nicks(file);
        nicks.WriteNickname("AA", "new");
        EXPECT_EQ(Get(), row.After);
    }
}

TEST_F(NicknameFileTest, ReadsAgainOnlyWhenTheFileChanged) {
    Put("[Nickname]\n12:34:56:78:9A:BC=Desk\n");
    TNicknameFile nicks(file);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "Desk");
    EXPECT_EQ(nicks.Loads(), 1);
    Put("[Nickname]\n12:34:56:78:9A:BC=Laptop\n");
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "Laptop");
    EXPECT_EQ(nicks.Loads(), 2);
    nicks.WriteNickname("12:34:56:78:9A:BC", "Den");
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "Den");
    EXPECT_EQ(nicks.Loads(), 3);
}

TEST_F(NicknameFileTest, AnOversizedFileIsNeitherReadNorWritten) {
    const std::string big =
        "[Nickname]\n12:34:56:78:9A:BC=Desk\n;" + std::string(NicknameFileMaxBytes, 'x') + "\n";
    Put(big);
    TNicknameFile nicks(file);
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "");
    EXPECT_EQ(nicks.Loads(), 0);
    EXPECT_NE(nicks.ReadProblem().find("larger than 1 MiB"), std::string::npos) << nicks.ReadProblem();
    EXPECT_NE(nicks.ReadProblem().find(file.string()), std::string::npos) << nicks.ReadProblem();
    try {
        nicks.WriteNickname("12:34:56:78:9A:BC", "New");
        FAIL() << "an oversized file was written";
    } catch (const TNicknameWriteError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + file.string() + ": it is larger than 1 MiB");
    }
    EXPECT_EQ(Get(), big);
}

TEST_F(NicknameFileTest, AReadOnlyFileIsNotWritten) {
    Put("[Nickname]\n12:34:56:78:9A:BC=Desk\n");
    ::chmod(file.c_str(), 0444);
    TNicknameFile nicks(file);
    try {
        nicks.WriteNickname("12:34:56:78:9A:BC", "New");
        FAIL() << "a read-only file was written";
    } catch (const TNicknameWriteError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + file.string() + ": the file is read-only");
    }
    EXPECT_EQ(Get(), "[Nickname]\n12:34:56:78:9A:BC=Desk\n");
    EXPECT_EQ((fs::status(file).permissions() & fs::perms::all), fs::perms(0444));
}

// A file whose write bits are for others only: this user may not write it. Permission bits do not
// stop root, so as root the write is made by a child process that has become an ordinary user (the
// test runs as root in CI): the check must ask the system, not assume.
TEST_F(NicknameFileTest, AFileThisUserMayNotWriteIsNotWritten) {
    Put("[Nickname]\n12:34:56:78:9A:BC=Desk\n");
    ::chmod(file.c_str(), 0064);
    ::chmod(dir.c_str(), 0777);  // the folder would let the file be replaced: only the check stops it
    const auto attempt = [this]() -> int {
        TNicknameFile nicks(file);
        try {
            nicks.WriteNickname("12:34:56:78:9A:BC", "New");
            return 1;  // written
        } catch (const TNicknameWriteError& e) {
            const std::string start = "Unable to write to " + file.string() + ": ";
            const std::string text = e.what();
            return text.rfind(start, 0) == 0 && text.size() > start.size() &&
                           text != start + "the file is read-only"
                       ? 0
                       : 2;
        }
    };
    if (::geteuid() != 0) {
        EXPECT_EQ(attempt(), 0);
    } else {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0 && ::geteuid() == 65534;
            _exit(dropped ? attempt() : 3);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0)
            << "1: written, 2: another error, 3: could not become an ordinary user";
    }
    ::chmod(file.c_str(), 0644);
    EXPECT_EQ(Get(), "[Nickname]\n12:34:56:78:9A:BC=Desk\n");
}

TEST_F(NicknameFileTest, ASymbolicLinkStaysALinkAndItsTargetIsReplaced) {
    const fs::path elsewhere = dir / "elsewhere";
    fs::create_directory(elsewhere);
    const fs::path target = elsewhere / "real.ini";
    std::ofstream(target, std::ios::binary) << "[Nickname]\n12:34:56:78:9A:BD=Laptop\n";
    fs::create_symlink(fs::path("elsewhere") / "real.ini", file);  // relative, as users make them

    TNicknameFile nicks(file);
    nicks.WriteNickname("12:34:56:78:9A:BC", "Desk");

    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(file)));
    EXPECT_EQ(fs::read_symlink(file), fs::path("elsewhere") / "real.ini");
    std::ifstream in(target, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "[Nickname]\n12:34:56:78:9A:BD=Laptop\n12:34:56:78:9A:BC=Desk\n");
    // No temporary file stays behind in either folder.
    for (const fs::path& folder : {dir, elsewhere}) {
        int entries = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder))
            ++entries;
        EXPECT_EQ(entries, folder == dir ? 2 : 1) << folder;
    }
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
            const std::string start = "Unable to write to " + (file / "cvinfo.ini").string() + ": ";
            EXPECT_EQ(std::string(e.what()).rfind(start, 0), 0u) << e.what();
            EXPECT_GT(std::string(e.what()).size(), start.size()) << "the reason is missing";
        }
    } else {
        Put("[Nickname]\n12:34:56:78:9A:BC=Desk\n");
        ::chmod(dir.c_str(), 0555);
        TNicknameFile nicks(file);
        EXPECT_THROW(nicks.WriteNickname("12:34:56:78:9A:BC", "New"), TNicknameWriteError);
        ::chmod(dir.c_str(), 0755);
    }
    EXPECT_EQ(Get(), "[Nickname]\n12:34:56:78:9A:BC=Desk\n");
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_EQ(e.path().filename(), "cvinfo.ini");
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

TEST_F(NicknameFileTest, LocateKeepsAnInstalledProgramsFileInTheUserConfigurationFolder) {
    const fs::path config = dir / "config";
    // Decided by where the program is, not by what this user may write: as root, /usr/bin is
    // writable, and a file there would belong to no user and outlive the package.
    for (const char* installed : {"/usr/bin", "/usr/local/bin", "/opt/corvastel/bin"})
        EXPECT_EQ(TNicknameFile::Locate(installed, config), config / "cvinfo.ini") << installed;

    // An installed program whose folder already holds a file (left by an older version) and is
    // writable still uses the user's; a portable copy beside it keeps its own file.
    const fs::path prefix = dir / "prefix";
    fs::create_directories(prefix / "bin");
    std::ofstream(prefix / "bin" / "cvinfo.ini") << "[Nickname]\n";
    EXPECT_EQ(TNicknameFile::Locate(prefix / "bin", config, {prefix}), config / "cvinfo.ini");
    EXPECT_EQ(TNicknameFile::Locate(prefix / "bin", config, {dir / "pre"}), prefix / "bin" / "cvinfo.ini");
    EXPECT_EQ(TNicknameFile::Locate(prefix / "bin", config, {}), prefix / "bin" / "cvinfo.ini");
}

TEST_F(NicknameFileTest, EmptyNicknameRemovesEveryEntryTheReaderCouldFindAndNothingElse) {
    Put("; mine\r\n[Nickname]\r\n12:34:56:78:9A:BC=Desk\r\nAA:BB:CC:DD:EE:FF=Lab\r\n[Other]\r\n"
        "12:34:56:78:9A:BC=kept\r\n[nickname]\r\n12:34:56:78:9a:bc = Old\r\n");
    TNicknameFile nicks(file);
    nicks.WriteNickname("12:34:56:78:9A:BC", "");
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "");
    EXPECT_EQ(Get(),
              "; mine\r\n[Nickname]\r\nAA:BB:CC:DD:EE:FF=Lab\r\n[Other]\r\n12:34:56:78:9A:BC=kept\r\n"
              "[nickname]\r\n");

    // Nothing stored: nothing is written, and no file is made.
    fs::remove(file);
    nicks.WriteNickname("12:34:56:78:9A:BC", "");
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(NicknameFileTest, WriteCreatesTheUserConfigurationFolder) {
    TNicknameFile nicks(dir / "config" / "CorvastelPcApp" / "cvinfo.ini");
    nicks.WriteNickname("12:34:56:78:9A:BC", "Desk");
    EXPECT_EQ(nicks.ReadNickname("12:34:56:78:9A:BC"), "Desk");
}
