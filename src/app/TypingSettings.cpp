#include "app/TypingSettings.h"

#include <QSettings>

#include <algorithm>
#include <system_error>

#include "layout/SystemLayouts.h"
#include "layout/XkbLayout.h"

namespace {

constexpr char LayoutKey[] = "Layout";
constexpr char PaceKey[] = "PaceMs";
constexpr char EntryKey[] = "UnicodeEntry";
constexpr char SystemKey[] = "System";

struct TEntryName {
    TUnicodeEntry Entry;
    const char* Name;
};
constexpr TEntryName EntryNames[] = {{TUnicodeEntry::Off, "off"},
                                     {TUnicodeEntry::Linux, "linux"},
                                     {TUnicodeEntry::Windows, "windows"},
                                     {TUnicodeEntry::Mac, "mac"}};

QString FileText(const std::filesystem::path& File) {
    return QString::fromStdU16String(File.u16string());
}

// Whether QSettings may read the file: a missing one is fine, a huge one is no file of ours.
bool Readable(const std::filesystem::path& File, QString* Problem) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(File, error);
    if (!error && size > TypingSettingsMaxBytes) {
        if (Problem != nullptr) {
            *Problem =
                QStringLiteral("%1 is too large (%2 bytes) to be this program's settings; it is not used.")
                    .arg(FileText(File))
                    .arg(size);
        }
        return false;
    }
    return true;
}

}  // namespace

bool SettingsFileReadable(const std::filesystem::path& File, QString* Problem) {
    return Readable(File, Problem);
}

std::filesystem::path TypingSettingsFile(const std::filesystem::path& NicknameFile) {
    return NicknameFile.parent_path() / TypingSettingsFileName;
}

TTypingSettings ReadTypingSettings(const std::filesystem::path& File, const std::string& Address,
                                   QString* Problem) {
    TTypingSettings settings;
    if (Problem != nullptr) {
        Problem->clear();
    }
    if (!Readable(File, Problem)) {
        return settings;
    }
    QSettings file(FileText(File), QSettings::IniFormat);
    file.beginGroup(QString::fromStdString(Address));
    const QString layout = file.value(LayoutKey).toString();
    if (!layout.isEmpty()) {
        const std::string name = layout.toStdString();
        if (IsLayoutName(name)) {
            settings.Layout = name;
        } else if (Problem != nullptr) {
            *Problem = QStringLiteral("The layout remembered for %1 in %2 is no layout name; it types on US.")
                           .arg(QString::fromStdString(Address), FileText(File));
        }
    }
    bool ok = false;
    const int pace = file.value(PaceKey).toInt(&ok);
    if (ok && std::find(TypingPaces.begin(), TypingPaces.end(), pace) != TypingPaces.end()) {
        settings.PaceMs = pace;
    }
    const QString entry = file.value(EntryKey).toString();
    for (const TEntryName& e : EntryNames) {
        if (entry == QLatin1String(e.Name)) {
            settings.Entry = e.Entry;
        }
    }
    const QString system = file.value(SystemKey).toString();
    if (!system.isEmpty() && !SystemNamed(system.toStdString(), &settings.System) && Problem != nullptr &&
        Problem->isEmpty()) {
        *Problem = QStringLiteral(
                       "The system remembered for %1 in %2 is none of linux, windows or macos; it "
                       "types as for Linux.")
                       .arg(QString::fromStdString(Address), FileText(File));
    }
    return settings;
}

bool WriteTypingSettings(const std::filesystem::path& File, const std::string& Address,
                         const TTypingSettings& Settings, QString* Error) {
    QString problem;
    if (!Readable(File, &problem)) {
        *Error = problem;
        return false;
    }
    QSettings file(FileText(File), QSettings::IniFormat);
    file.beginGroup(QString::fromStdString(Address));
    file.setValue(LayoutKey, QString::fromStdString(Settings.Layout));
    file.setValue(PaceKey, Settings.PaceMs);
    file.setValue(SystemKey, QString::fromLatin1(SystemName(Settings.System)));
    for (const TEntryName& e : EntryNames) {
        if (e.Entry == Settings.Entry) {
            file.setValue(EntryKey, QString::fromLatin1(e.Name));
        }
    }
    file.endGroup();
    return SyncSettingsFile(file, File, Error);
}

bool SyncSettingsFile(QSettings& file, const std::filesystem::path& File, QString* Error) {
    file.sync();
    if (file.status() != QSettings::NoError) {
        *Error = QStringLiteral("Unable to write to %1: %2")
                     .arg(FileText(File), file.status() == QSettings::AccessError
                                              ? QStringLiteral("access denied")
                                              : QStringLiteral("the file is not a settings file"));
        return false;
    }
    return true;
}

QString PaceText(int PaceMs) {
    return PaceMs <= 0 ? QStringLiteral("normal (as fast as the link takes keys)")
                       : QStringLiteral("%1 ms between key events").arg(PaceMs);
}

QString EntryText(TUnicodeEntry Entry) {
    switch (Entry) {
        case TUnicodeEntry::Off:
            break;
        case TUnicodeEntry::Linux:
            return QStringLiteral("Linux: Ctrl+Shift+U and the hex code (IBus, GTK)");
        case TUnicodeEntry::Windows:
            return QStringLiteral("Windows: Alt and the code on the keypad (Latin-1 letters only)");
        case TUnicodeEntry::Mac:
            return QStringLiteral("macOS: Option and the hex code (Unicode Hex Input source)");
    }
    return QStringLiteral("skip them (asked before typing)");
}

QString SystemText(TTargetSystem System) {
    switch (System) {
        case TTargetSystem::Linux:
            break;
        case TTargetSystem::Windows:
            return QStringLiteral("Windows");
        case TTargetSystem::Mac:
            return QStringLiteral("macOS");
    }
    return QStringLiteral("Linux");
}

TUnicodeEntry EntryOfSystem(TTargetSystem System) {
    switch (System) {
        case TTargetSystem::Linux:
            break;
        case TTargetSystem::Windows:
            return TUnicodeEntry::Windows;
        case TTargetSystem::Mac:
            return TUnicodeEntry::Mac;
    }
    return TUnicodeEntry::Linux;
}
