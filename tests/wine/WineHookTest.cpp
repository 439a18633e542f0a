// The Windows hook backend, cross-compiled, under Wine on a private Xvfb. Wine's hooks see only
// input that reaches Wine's own windows, so this proves the callback path, the codes and the
// swallowing towards a Windows window, not desktop-wide capture.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "ChildProcess.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class WineHookTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"wine", "xdotool", "Xvfb"}) {
            if (!ProgramAvailable(tool)) {
                GTEST_SKIP() << tool << " is not installed";
            }
        }
        std::string error;
        Server = TXvfbServer::Start(1024, 768, &error);
        ASSERT_TRUE(Server) << error;
        char templ[] = "/tmp/corvastel-wine-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        Prefix = templ;
        Env = {{"DISPLAY", Server->Display()},
               {"WINEPREFIX", Prefix.string()},
               {"WINEDEBUG", "-all"},
               // No Mono or Gecko installer dialogs in a fresh prefix.
               {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
    }

    void TearDown() override {
        Probe.reset();
        if (!Prefix.empty()) {
            TChildProcess::Options options;
            options.env = Env;
            if (auto killer = TChildProcess::Start({"wineserver", "-k"}, options)) {
                killer->WaitExit(10s);
            }
            std::error_code ignored;
            fs::remove_all(Prefix, ignored);
        }
    }

    // Waits for a line of the probe's output that starts with one of the words; returns it.
    std::string WaitForLine(std::initializer_list<std::string> words, std::chrono::seconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            std::ifstream in(Prefix / "probe.out");
            std::string line;
            while (std::getline(in, line)) {
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();  // Wine's console writes CR LF
                }
                for (const auto& word : words) {
                    if (line.rfind(word, 0) == 0 && Seen.count(line) == 0) {
                        Seen.insert(line);
                        return line;
                    }
                }
            }
            if (Probe && !Probe->Running()) {
                break;
            }
            std::this_thread::sleep_for(100ms);
        }
        return {};
    }

    void XDoTool(std::vector<std::string> args) {
        args.insert(args.begin(), "xdotool");
        TChildProcess::Options options;
        options.env = {{"DISPLAY", Server->Display()}};
        auto tool = TChildProcess::Start(args, options);
        ASSERT_TRUE(tool);
        ASSERT_TRUE(tool->WaitExit(20s).has_value());
    }

    std::unique_ptr<TXvfbServer> Server;
    fs::path Prefix;
    std::map<std::string, std::string> Env;
    std::unique_ptr<TChildProcess> Probe;
    std::set<std::string> Seen;
};

TEST_F(WineHookTest, BothHooks_ReceiveInjectedInputWithCodesAndSwallowWhenTold) {
    TChildProcess::Options options;
    options.env = Env;
    options.stdoutPath = (Prefix / "probe.out").string();
    options.stderrPath = (Prefix / "probe.err").string();
    Probe = TChildProcess::Start({"wine", CORVASTEL_WINE_PROBE}, options);
    ASSERT_TRUE(Probe);

    // The first start of a fresh prefix takes a while.
    ASSERT_EQ(WaitForLine({"READY", "FAIL"}, 300s), "READY");
    XDoTool({"search", "--name", "CorvastelHookProbe", "windowfocus"});
    XDoTool({"mousemove", "200", "200"});
    XDoTool({"key", "a", "KP_Enter", "Right", "KP_Divide"});
    XDoTool({"mousemove_relative", "5", "5", "click", "4", "click", "5", "click", "8"});
    const std::string phase1 = WaitForLine({"SWALLOW", "FAIL"}, 60s);
    ASSERT_EQ(phase1, "SWALLOW");

    XDoTool({"key", "b", "click", "4"});
    const std::string phase2 = WaitForLine({"DONE", "FAIL"}, 60s);
    EXPECT_EQ(phase2, "DONE");
    const auto status = Probe->WaitExit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

}  // namespace
