// The nickname file's Windows code (wide paths, ReplaceFileW / MoveFileExW, the read-only
// attribute), cross-compiled and run under Wine; the probe reports each case on its own line.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ChildProcess.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(WineNickname, WindowsReplaceReadOnlyAndWidePaths) {
    if (!ProgramAvailable("wine"))
        GTEST_SKIP() << "wine is not installed";
    char templ[] = "/tmp/corvastel-wine-nick-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    const fs::path prefix = templ;
    TChildProcess::Options options;
    // No display: the probe is a console program.
    options.env = {{"WINEPREFIX", prefix.string()},
                   {"WINEDEBUG", "-all"},
                   {"DISPLAY", ""},
                   {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
    options.stdoutPath = (prefix / "probe.out").string();
    options.stderrPath = (prefix / "probe.err").string();
    auto probe = TChildProcess::Start({"wine", CORVASTEL_NICKNAME_PROBE, "C:\\corvastel-nick"}, options);
    ASSERT_TRUE(probe);
    const auto status = probe->WaitExit(240s);

    std::ifstream in(prefix / "probe.out");
    std::stringstream out;
    out << in.rdbuf();
    ASSERT_TRUE(status.has_value()) << "the probe did not end\n" << out.str();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << out.str();
    EXPECT_NE(out.str().find("all passed"), std::string::npos) << out.str();

    if (auto killer = TChildProcess::Start({"wineserver", "-k"}, options))
        killer->WaitExit(10s);
    std::error_code ignored;
    fs::remove_all(prefix, ignored);
}

}  // namespace
