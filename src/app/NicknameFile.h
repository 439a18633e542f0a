#pragma once
// The nickname file: an INI file "cvinfo.ini" with one section "Nickname" whose keys are dongle
// addresses ("12:34:56:78:9A:BC") and whose values are the names the user gave them.
//
// It is read and written by hand rather than through QSettings, which would store a key with ':' as
// "12%3A34..." and so could neither read a hand-written file nor write the fixed layout. Semantics
// follow the classic INI profile reader: section and key names compare case-insensitively, blanks
// around keys and values are ignored, lines that are not "key=value" (comments, blanks) are kept
// untouched, and other sections are kept as they are.
//
// Encoding: UTF-8 (a leading byte-order mark is accepted on read and kept on write). Every line
// keeps its own ending (LF or CR LF) when the file is written; new lines take the file's first one.
//
// The file is the user's and may be anything: it is read only up to NicknameFileMaxBytes (a larger
// one is refused, with the reason in ReadProblem), and read again only when its size or
// modification time changed, since the window asks on every discovery and selection.
//
// Writes replace the file atomically (a temporary file in the same folder, then rename; on Windows
// ReplaceFileW / MoveFileExW), so a crash or a full disk never leaves a truncated file or loses the
// other entries. A symbolic link stays a link: its target is replaced, in the target's folder. A file
// the user made read-only is left alone.
//
// Standard library only, and built for Windows as well (the test run cross-compiles it).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

inline constexpr const char* NicknameFileName = "cvinfo.ini";
inline constexpr const char* NicknameSection = "Nickname";
// Longest value returned by a read, in characters (longer values are cut).
inline constexpr size_t NicknameMaxChars = 2047;
// Largest file read. A nickname file of a few hundred dongles is a few kilobytes; anything near this
// is not one, and reading it on the window's thread at every discovery would freeze the window.
inline constexpr std::uintmax_t NicknameFileMaxBytes = 1024 * 1024;

// What the user reads: the path as UTF-8 text.
std::string PathText(const std::filesystem::path& path);

class TNicknameWriteError : public std::runtime_error {
  public:
    // "Unable to write to <path>: <reason>"
    TNicknameWriteError(const std::filesystem::path& file, const std::string& reason)
        : std::runtime_error("Unable to write to " + PathText(file) + ": " + reason) {}
};

class TNicknameFile {
  public:
    explicit TNicknameFile(std::filesystem::path file) : FFile(std::move(file)) {}

    // Where the file lives. An installed program (its executable under one of installRoots, such as
    // /usr) keeps it in the user's configuration folder, whoever runs it: root may write /usr/bin,
    // but a file there is no user's and outlives the package. A portable copy keeps it next to the
    // executable when a file is there already or that folder can be written, else in the user's
    // configuration folder too.
    static std::filesystem::path Locate(const std::filesystem::path& executableDir,
                                        const std::filesystem::path& userConfigDir,
                                        const std::vector<std::filesystem::path>& installRoots);
    static std::filesystem::path Locate(const std::filesystem::path& executableDir,
                                        const std::filesystem::path& userConfigDir) {
        return Locate(executableDir, userConfigDir, SystemInstallRoots());
    }

    // The folders a package manager or installer puts programs under on this system (on Linux /usr,
    // /opt, /snap, …; on Windows the Program Files folders).
    static std::vector<std::filesystem::path> SystemInstallRoots();

    const std::filesystem::path& Path() const { return FFile; }

    // The nickname stored for the address, or "" when the file, the section or the key is missing or
    // the file cannot be read. The file is read again only when it changed since the last read.
    std::string ReadNickname(const std::string& address);

    // Why the last read found the file but could not use it (too large, unreadable), in the user's
    // words; empty when it was read or is simply missing.
    const std::string& ReadProblem() const { return FProblem; }

    // Stores the nickname for the address, creating the file and the section when missing; an empty
    // nickname removes the address's entry (and writes nothing when there is none). Throws
    // TNicknameWriteError ("Unable to write to <path>: <reason>") when the file cannot or may not be
    // written; the old file is then left exactly as it was.
    void WriteNickname(const std::string& address, const std::string& nickname);

    // How often the file was read from disk (a measure of the cache, for tests).
    int Loads() const { return FLoads; }

    struct TLine {
        std::string text;    // without its ending
        std::string ending;  // "\n", "\r\n", or "" for a last line without one
    };
    struct TText {
        bool bom = false;
        std::vector<TLine> lines;
    };

  private:
    struct TStamp {
        std::uintmax_t size = 0;
        std::filesystem::file_time_type modified{};
        bool operator==(const TStamp&) const = default;
    };
    // Brings the cache up to date with the file; false when there is no usable text.
    bool Refresh();

    std::filesystem::path FFile;
    std::optional<TStamp> FStamp;  // of the file the cache holds; empty: nothing cached
    std::optional<TText> FText;
    std::string FProblem;
    std::string FProblemReason;  // the cause alone, for write errors
    int FLoads = 0;
};
