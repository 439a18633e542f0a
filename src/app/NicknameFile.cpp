#include "app/NicknameFile.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";
using TText = TNicknameFile::TText;
using TLine = TNicknameFile::TLine;

std::string_view Trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// "[name]" -> name; nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[')
        return std::nullopt;
    const auto close = line.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

struct TEntry {
    std::string_view key;
    std::string_view value;
};

std::optional<TEntry> Entry(std::string_view line) {
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    const auto key = Trim(line.substr(0, eq));
    if (key.empty() || key.front() == ';' || key.front() == '#')
        return std::nullopt;
    return TEntry{key, Trim(line.substr(eq + 1))};
}

// A value enclosed in matching quotes is read without them, as INI readers do.
std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

// Cuts UTF-8 text after maxChars code points.
std::string CutToChars(std::string_view s, size_t maxChars) {
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (chars == maxChars)
                return std::string(s.substr(0, i));
            ++chars;
        }
    }
    return std::string(s);
}

// Keys and values are single-line: a line break inside one would split the entry and could plant
// other keys in the file.
std::string OneLine(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return out;
}

std::string ErrnoText(int error) {
    return std::generic_category().message(error);
}

#ifdef _WIN32
std::string WindowsErrorText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length > 0 && buffer != nullptr) {
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
        text.resize(static_cast<size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), text.data(), size, nullptr,
                            nullptr);
    }
    LocalFree(buffer);
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == '.' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(error) : text;
}
#endif

// Splits the text into lines, each with its own ending.
TText Parse(std::string text) {
    TText ini;
    if (text.compare(0, Utf8Bom.size(), Utf8Bom) == 0) {
        ini.bom = true;
        text.erase(0, Utf8Bom.size());
    }
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        TLine line;
        if (end == std::string::npos) {
            line.text = text.substr(start);
            start = text.size();
        } else {
            const bool crlf = end > start && text[end - 1] == '\r';
            line.text = text.substr(start, end - start - (crlf ? 1 : 0));
            // Moved in whole: assigning a literal here trips a false -Wrestrict of GCC 12 at -O3.
            line.ending = crlf ? std::string("\r\n") : std::string("\n");
            start = end + 1;
        }
        ini.lines.push_back(std::move(line));
    }
    return ini;
}

// Reads at most limit bytes; nullopt with the reason when the file cannot be read whole.
std::optional<std::string> ReadBounded(const fs::path& file, std::uintmax_t limit, std::string* reason) {
    errno = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *reason = errno != 0 ? ErrnoText(errno) : "it cannot be opened";
        return std::nullopt;
    }
    std::string text;
    char buffer[16384];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > limit) {
            *reason = "it is larger than 1 MiB";
            return std::nullopt;
        }
    }
    // A read that broke off halfway must not pass for the whole file: a write would then drop the rest.
    if (in.bad()) {
        *reason = "reading it failed";
        return std::nullopt;
    }
    return text;
}

// The ending new lines get: the file's first one, LF for a file without any.
std::string DefaultEnding(const TText& ini) {
    for (const auto& line : ini.lines) {
        if (!line.ending.empty())
            return line.ending;
    }
    return "\n";
}

// Where a write goes: a symbolic link's target (so the link stays a link), else the file itself.
fs::path WriteTarget(const fs::path& file) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(file, ec)))
        return file;
    const fs::path target = fs::weakly_canonical(file, ec);
    if (ec)
        throw TNicknameWriteError(file, "its link cannot be followed (" + ec.message() + ")");
    return target;
}

// Refuses a file the user made read-only, or one this user may not write.
void CheckWritable(const fs::path& shown, const fs::path& target) {
    std::error_code ec;
    const fs::file_status status = fs::status(target, ec);
    if (ec || !fs::exists(status))
        return;  // a new file: the folder decides
    constexpr fs::perms writable = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if ((status.permissions() & writable) == fs::perms::none) {
        throw TNicknameWriteError(shown, "the file is read-only");
    }
#ifndef _WIN32
    if (::access(target.c_str(), W_OK) != 0)
        throw TNicknameWriteError(shown, ErrnoText(errno));
#endif
}

// Replaces target with content atomically: a temporary file in the target's own folder (a rename
// cannot cross file systems), flushed to disk, then renamed over it. shown: the path for messages.
void ReplaceAtomically(const fs::path& shown, const fs::path& target, const std::string& content) {
    std::error_code ec;
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    fs::create_directories(dir, ec);
    if (ec)
        throw TNicknameWriteError(shown, ec.message());
#ifdef _WIN32
    static unsigned counter = 0;
    const fs::path temp = dir / (target.filename().wstring() + L"." + std::to_wstring(GetCurrentProcessId()) +
                                 L"." + std::to_wstring(++counter) + L".tmp");
    HANDLE handle =
        CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw TNicknameWriteError(shown, WindowsErrorText(GetLastError()));
    DWORD error = 0;
    size_t written = 0;
    while (error == 0 && written < content.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - written, 1u << 20));
        DWORD n = 0;
        if (!WriteFile(handle, content.data() + written, chunk, &n, nullptr))
            error = GetLastError();
        written += n;
    }
    if (error == 0 && !FlushFileBuffers(handle))
        error = GetLastError();
    CloseHandle(handle);
    if (error == 0) {
        // ReplaceFileW keeps the old file's attributes and security; MoveFileExW makes a new one.
        const bool replaced = fs::exists(target, ec)
                                  ? ReplaceFileW(target.c_str(), temp.c_str(), nullptr,
                                                 REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                                  : MoveFileExW(temp.c_str(), target.c_str(),
                                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (!replaced)
            error = GetLastError();
    }
    if (error != 0) {
        DeleteFileW(temp.c_str());
        throw TNicknameWriteError(shown, WindowsErrorText(error));
    }
#else
    std::string tmpl = (dir / (target.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(tmpl.data());
    if (fd < 0)
        throw TNicknameWriteError(shown, ErrnoText(errno));
    struct stat st {};
    const bool existed = ::stat(target.c_str(), &st) == 0;
    int error = 0;
    if (::fchmod(fd, existed ? (st.st_mode & 07777) : 0644) != 0)
        error = errno;
    size_t written = 0;
    while (error == 0 && written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            error = n < 0 ? errno : EIO;
        else
            written += static_cast<size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(tmpl.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(tmpl.c_str());
        throw TNicknameWriteError(shown, ErrnoText(error));
    }
    // The rename itself reaches the disk with the folder.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
#endif
}

}  // namespace

std::string PathText(const fs::path& path) {
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

namespace {
// Whether path lies in root or below it, by their components (no file system access: the executable's
// folder comes resolved from the platform, and a root that does not exist here simply never matches).
bool IsWithin(const fs::path& path, const fs::path& root) {
    if (root.empty())
        return false;
    const fs::path p = path.lexically_normal();
    const fs::path r = root.lexically_normal();
    auto pi = p.begin();
    for (auto ri = r.begin(); ri != r.end(); ++ri) {
        if (ri->empty())
            continue;  // the empty last component of a root written with a trailing separator
        if (pi == p.end())
            return false;
#ifdef _WIN32
        if (!EqualsIgnoringAsciiCase(pi->string(), ri->string()))
            return false;
#else
        if (*pi != *ri)
            return false;
#endif
        ++pi;
    }
    return true;
}
}  // namespace

std::vector<fs::path> TNicknameFile::SystemInstallRoots() {
#ifdef _WIN32
    std::vector<fs::path> roots;
    for (const wchar_t* name : {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432"}) {
        if (const wchar_t* value = ::_wgetenv(name); value != nullptr && *value != L'\0')
            roots.emplace_back(value);
    }
    return roots;
#else
    // /bin and /sbin are /usr's on merged systems and the distribution's elsewhere; /app is a
    // Flatpak's own prefix.
    return {"/usr", "/bin", "/sbin", "/opt", "/snap", "/app", "/nix/store"};
#endif
}

fs::path TNicknameFile::Locate(const fs::path& executableDir, const fs::path& userConfigDir,
                               const std::vector<fs::path>& installRoots) {
    for (const fs::path& root : installRoots) {
        if (IsWithin(executableDir, root))
            return userConfigDir / NicknameFileName;
    }
    const fs::path besideExecutable = executableDir / NicknameFileName;
    std::error_code ec;
    if (fs::exists(besideExecutable, ec))
        return besideExecutable;
#ifdef _WIN32
    if (::_waccess(executableDir.c_str(), 2) == 0)
        return besideExecutable;
#else
    if (::access(executableDir.c_str(), W_OK) == 0)
        return besideExecutable;
#endif
    return userConfigDir / NicknameFileName;
}

bool TNicknameFile::Refresh() {
    std::error_code ec;
    const fs::file_status status = fs::status(FFile, ec);
    if (status.type() == fs::file_type::not_found) {
        FStamp.reset();
        FText.reset();
        FProblem.clear();
        FProblemReason.clear();
        return false;
    }
    TStamp stamp;
    if (!ec) {
        stamp.size = fs::is_regular_file(status) ? fs::file_size(FFile, ec) : 0;
    }
    if (!ec) {
        stamp.modified = fs::last_write_time(FFile, ec);
    }
    if (!ec && FStamp && *FStamp == stamp)
        return FText.has_value();
    FStamp.reset();
    FText.reset();
    std::optional<std::string> text;
    if (ec) {
        FProblemReason = ec.message();
    } else if (!fs::is_regular_file(status)) {
        FProblemReason = "it is not a file";
    } else if (stamp.size > NicknameFileMaxBytes) {
        FProblemReason = "it is larger than 1 MiB";
    } else {
        ++FLoads;
        text = ReadBounded(FFile, NicknameFileMaxBytes, &FProblemReason);
    }
    if (!ec)
        FStamp = stamp;
    if (!text) {
        FProblem = "The nickname file " + PathText(FFile) + " was not read (" + FProblemReason +
                   "), so no nicknames are shown and none can be set. Remove the file, or replace it with a "
                   "short one holding the [Nickname] section.";
        return false;
    }
    FProblem.clear();
    FProblemReason.clear();
    FText = Parse(std::move(*text));
    return true;
}

std::string TNicknameFile::ReadNickname(const std::string& address) {
    if (!Refresh())
        return {};
    bool inSection = false;
    for (const auto& line : FText->lines) {
        if (auto name = SectionName(line.text)) {
            inSection = EqualsIgnoringAsciiCase(*name, NicknameSection);
            continue;
        }
        if (!inSection)
            continue;
        if (auto entry = Entry(line.text); entry && EqualsIgnoringAsciiCase(entry->key, address)) {
            return CutToChars(Unquote(entry->value), NicknameMaxChars);
        }
    }
    return {};
}

void TNicknameFile::WriteNickname(const std::string& address, const std::string& nickname) {
    const fs::path target = WriteTarget(FFile);
    CheckWritable(FFile, target);
    TText ini;
    if (Refresh()) {
        ini = *FText;
    } else if (!FProblem.empty()) {
        // What could not be read cannot be written back: the rest of it would be lost.
        throw TNicknameWriteError(FFile, FProblemReason);
    }
    if (nickname.empty()) {
        // Every entry of the address the reader could find goes: with only the first gone, a later
        // one would be read.
        bool inSection = false;
        std::vector<TLine> kept;
        for (TLine& line : ini.lines) {
            if (auto name = SectionName(line.text)) {
                inSection = EqualsIgnoringAsciiCase(*name, NicknameSection);
            } else if (inSection) {
                if (auto entry = Entry(line.text); entry && EqualsIgnoringAsciiCase(entry->key, address))
                    continue;
            }
            kept.push_back(std::move(line));
        }
        if (kept.size() == ini.lines.size())
            return;  // nothing stored: nothing to write
        ini.lines = std::move(kept);
        std::string content = ini.bom ? std::string(Utf8Bom) : std::string();
        for (const auto& line : ini.lines)
            content += line.text + line.ending;
        ReplaceAtomically(FFile, target, content);
        FStamp.reset();
        return;
    }
    const std::string ending = DefaultEnding(ini);
    const std::string entryLine = OneLine(address) + "=" + OneLine(nickname);

    std::optional<size_t> sectionAt;
    std::optional<size_t> keyAt;
    size_t lastContentInSection = 0;
    bool inSection = false;
    for (size_t i = 0; i < ini.lines.size(); ++i) {
        if (auto name = SectionName(ini.lines[i].text)) {
            inSection = !sectionAt && EqualsIgnoringAsciiCase(*name, NicknameSection);
            if (inSection)
                sectionAt = lastContentInSection = i;
            continue;
        }
        if (!inSection)
            continue;
        if (!Trim(ini.lines[i].text).empty())
            lastContentInSection = i;
        if (auto entry = Entry(ini.lines[i].text); entry && EqualsIgnoringAsciiCase(entry->key, address)) {
            keyAt = i;
            break;
        }
    }
    if (keyAt) {
        ini.lines[*keyAt].text = entryLine;
    } else {
        const size_t at = sectionAt ? lastContentInSection + 1 : ini.lines.size();
        // The line before the new one ends the file without a line break: it gets one.
        if (at > 0 && ini.lines[at - 1].ending.empty())
            ini.lines[at - 1].ending = ending;
        std::vector<TLine> added;
        if (!sectionAt)
            added.push_back({std::string("[") + NicknameSection + "]", ending});
        added.push_back({entryLine, ending});
        ini.lines.insert(ini.lines.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
    }

    std::string content = ini.bom ? std::string(Utf8Bom) : std::string();
    for (const auto& line : ini.lines)
        content += line.text + line.ending;
    ReplaceAtomically(FFile, target, content);
    FStamp.reset();  // read back at the next read
}
