#include "app/NicknameFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

struct TIniText {
    bool bom = false;
    std::string newline = "\n";
    std::vector<std::string> lines;  // without line ends
};

std::string_view Trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

// "[name]" -> name; nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') return std::nullopt;
    const auto close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

struct TEntry {
    std::string_view key;
    std::string_view value;
};

std::optional<TEntry> Entry(std::string_view line) {
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const auto key = Trim(line.substr(0, eq));
    if (key.empty() || key.front() == ';' || key.front() == '#') return std::nullopt;
    return TEntry{key, Trim(line.substr(eq + 1))};
}

std::optional<TIniText> Load(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    // A read that broke off halfway must not pass for the whole file: a write would then drop the rest.
    if (in.bad()) return std::nullopt;
    std::string text = buffer.str();
    TIniText ini;
    if (text.compare(0, Utf8Bom.size(), Utf8Bom) == 0) {
        ini.bom = true;
        text.erase(0, Utf8Bom.size());
    }
    if (text.find("\r\n") != std::string::npos) ini.newline = "\r\n";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        ini.lines.push_back(std::move(line));
        start = end + 1;
    }
    return ini;
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
            if (chars == maxChars) return std::string(s.substr(0, i));
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
        if (c == '\r' || c == '\n') c = ' ';
    }
    return out;
}

void WriteAtomically(const fs::path& file, const std::string& content) {
    std::error_code ec;
    const fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
    fs::create_directories(dir, ec);
    std::string tmpl = (dir / (file.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(tmpl.data());
    if (fd < 0) throw TNicknameWriteError(file);
    struct stat st {};
    const bool existed = ::stat(file.c_str(), &st) == 0;
    fchmod(fd, existed ? (st.st_mode & 07777) : 0644);
    size_t written = 0;
    bool ok = true;
    while (ok && written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) written += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmpl.c_str(), file.c_str()) != 0) {
        ::unlink(tmpl.c_str());
        throw TNicknameWriteError(file);
    }
}

}  // namespace

fs::path TNicknameFile::Locate(const fs::path& executableDir, const fs::path& userConfigDir) {
    const fs::path besideExecutable = executableDir / NicknameFileName;
    std::error_code ec;
    if (fs::exists(besideExecutable, ec)) return besideExecutable;
    if (::access(executableDir.c_str(), W_OK) == 0) return besideExecutable;
    return userConfigDir / NicknameFileName;
}

std::string TNicknameFile::ReadNickname(const std::string& address) const {
    const auto ini = Load(FFile);
    if (!ini) return {};
    bool inSection = false;
    for (const auto& line : ini->lines) {
        if (auto name = SectionName(line)) {
            inSection = EqualsIgnoringAsciiCase(*name, NicknameSection);
            continue;
        }
        if (!inSection) continue;
        if (auto entry = Entry(line); entry && EqualsIgnoringAsciiCase(entry->key, address)) {
            return CutToChars(Unquote(entry->value), NicknameMaxChars);
        }
    }
    return {};
}

void TNicknameFile::WriteNickname(const std::string& address, const std::string& nickname) const {
    std::error_code ec;
    auto loaded = Load(FFile);
    if (!loaded && fs::exists(FFile, ec)) throw TNicknameWriteError(FFile);  // there but unreadable
    TIniText ini = loaded.value_or(TIniText{});
    const std::string entryLine = OneLine(address) + "=" + OneLine(nickname);

    std::optional<size_t> sectionAt;
    std::optional<size_t> keyAt;
    size_t lastContentInSection = 0;
    bool inSection = false;
    for (size_t i = 0; i < ini.lines.size(); ++i) {
        if (auto name = SectionName(ini.lines[i])) {
            inSection = !sectionAt && EqualsIgnoringAsciiCase(*name, NicknameSection);
            if (inSection) sectionAt = lastContentInSection = i;
            continue;
        }
        if (!inSection) continue;
        if (!Trim(ini.lines[i]).empty()) lastContentInSection = i;
        if (auto entry = Entry(ini.lines[i]); entry && EqualsIgnoringAsciiCase(entry->key, address)) {
            keyAt = i;
            break;
        }
    }
    if (keyAt) {
        ini.lines[*keyAt] = entryLine;
    } else if (sectionAt) {
        ini.lines.insert(ini.lines.begin() + static_cast<std::ptrdiff_t>(lastContentInSection + 1), entryLine);
    } else {
        ini.lines.push_back(std::string("[") + NicknameSection + "]");
        ini.lines.push_back(entryLine);
    }

    std::string content = ini.bom ? std::string(Utf8Bom) : std::string();
    for (const auto& line : ini.lines) content += line + ini.newline;
    WriteAtomically(FFile, content);
}
