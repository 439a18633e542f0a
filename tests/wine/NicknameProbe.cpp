// The nickname file's Windows side (wide paths, ReplaceFileW / MoveFileExW, the read-only
// attribute), cross-compiled and run under Wine. GoogleTest is not built for Windows here, so each
// case prints "ok <case>" or "FAIL <case>: <what>", and the exit status says whether all passed.

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "app/NicknameFile.h"

namespace fs = std::filesystem;

namespace {

int Failures = 0;

void Check(const char* name, bool ok, const std::string& what = {}) {
    if (ok) {
        std::printf("ok %s\n", name);
    } else {
        ++Failures;
        std::printf("FAIL %s: %s\n", name, what.c_str());
    }
}

std::string Get(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Put(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

int Entries(const fs::path& folder) {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder))
        ++n;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "corvastel-nick";
    fs::remove_all(base);
    // A folder name outside the ANSI code page: only the wide calls reach it.
    const fs::path dir = base / fs::path(u8"昵称");
    const fs::path file = dir / "cvinfo.ini";

    {
        TNicknameFile nicks(file);
        nicks.WriteNickname("12:34:56:78:9A:BC", "Desk");
        Check("created in a new folder", Get(file) == "[Nickname]\n12:34:56:78:9A:BC=Desk\n", Get(file));
        Check("read back", nicks.ReadNickname("12:34:56:78:9A:BC") == "Desk");
    }
    {
        Put(file, "[Nickname]\r\n12:34:56:78:9A:BC=Desk\n; kept\r\n");
        TNicknameFile nicks(file);
        nicks.WriteNickname("12:34:56:78:9A:BC", std::string("\xE4\xB9\xA6\xE6\x88\xBF"));
        nicks.WriteNickname("12:34:56:78:9A:BD", "Laptop");
        const std::string want =
            "[Nickname]\r\n12:34:56:78:9A:BC=" + std::string("\xE4\xB9\xA6\xE6\x88\xBF") +
            "\n; kept\r\n12:34:56:78:9A:BD=Laptop\r\n";
        Check("replaced, each line keeps its ending", Get(file) == want, Get(file));
        Check("no temporary file left", Entries(dir) == 1, std::to_string(Entries(dir)));
    }
    {
        const std::string before = Get(file);
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
        TNicknameFile nicks(file);
        std::string message;
        try {
            nicks.WriteNickname("12:34:56:78:9A:BC", "New");
        } catch (const TNicknameWriteError& e) {
            message = e.what();
        }
        Check("read-only file refused with the reason",
              message == "Unable to write to " + PathText(file) + ": the file is read-only", message);
        Check("read-only file unchanged", Get(file) == before);
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    {
        Put(file, "[Nickname]\n;" + std::string(NicknameFileMaxBytes, 'x') + "\n");
        TNicknameFile nicks(file);
        Check("oversized file not read", nicks.ReadNickname("12:34:56:78:9A:BC").empty() &&
                                             nicks.Loads() == 0 && !nicks.ReadProblem().empty());
    }
    {
        const fs::path blocker = dir / "not-a-folder";
        Put(blocker, "x");
        TNicknameFile nicks(blocker / "cvinfo.ini");
        std::string message;
        try {
            nicks.WriteNickname("12:34:56:78:9A:BC", "Desk");
        } catch (const TNicknameWriteError& e) {
            message = e.what();
        }
        const std::string start = "Unable to write to " + PathText(blocker / "cvinfo.ini") + ": ";
        Check("failed write names the path and the reason",
              message.rfind(start, 0) == 0 && message.size() > start.size(), message);
    }
    fs::remove_all(base);
    std::printf("%s\n", Failures == 0 ? "all passed" : "failures");
    return Failures == 0 ? 0 : 1;
}
