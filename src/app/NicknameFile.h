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
// Encoding: UTF-8 (a leading byte-order mark is accepted on read and kept on write).
// Writes replace the file atomically (a temporary file in the same folder, then rename), so a crash or
// a full disk never leaves a truncated file or loses the other entries.

#include <filesystem>
#include <stdexcept>
#include <string>

inline constexpr const char* NicknameFileName = "cvinfo.ini";
inline constexpr const char* NicknameSection = "Nickname";
// Longest value returned by a read, in characters (longer values are cut).
inline constexpr size_t NicknameMaxChars = 2047;

class TNicknameWriteError : public std::runtime_error {
public:
    explicit TNicknameWriteError(const std::filesystem::path& file)
        : std::runtime_error("Unable to write to " + file.string()) {}
};

class TNicknameFile {
public:
    explicit TNicknameFile(std::filesystem::path file) : FFile(std::move(file)) {}

    // Where the file lives: next to the executable when a file is there already or that folder can be
    // written (portable use); otherwise in the user's configuration folder, which an installed build
    // (executable under /usr/bin) has to use.
    static std::filesystem::path Locate(const std::filesystem::path& executableDir,
                                        const std::filesystem::path& userConfigDir);

    const std::filesystem::path& Path() const { return FFile; }

    // The nickname stored for the address, or "" when the file, the section or the key is missing or
    // the file cannot be read. Reads the file anew on every call.
    std::string ReadNickname(const std::string& address) const;

    // Stores the nickname for the address, creating the file and the section when missing. Throws
    // TNicknameWriteError ("Unable to write to <path>") when the file cannot be written; the old file
    // is then left exactly as it was.
    void WriteNickname(const std::string& address, const std::string& nickname) const;

private:
    std::filesystem::path FFile;
};
