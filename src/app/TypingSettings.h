#pragma once
// What the user chose for typing into each dongle: the target's keyboard layout and system, a pace
// and how to enter what the layout lacks, kept in
// "settings.ini" beside the nickname file, one group per dongle address. A dongle never seen before
// types on US at the link's pace.
//
// The file is the user's and may be anything: a file too large, a layout name that is malformed or a
// pace that is not offered reads as the default (and is said in the problem text); writes go through
// QSettings, which replaces the file as a whole.

#include <QString>

class QSettings;

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "hid/TextKeys.h"

inline constexpr const char* TypingSettingsFileName = "settings.ini";
inline constexpr const char* DefaultTypingLayout = "us";
// The paces offered: as fast as the link takes keys, or this many milliseconds between reports.
inline constexpr std::array<int, 3> TypingPaces{0, 20, 50};
inline constexpr std::uintmax_t TypingSettingsMaxBytes = 1024 * 1024;

struct TTypingSettings {
    std::string Layout = DefaultTypingLayout;
    int PaceMs = 0;
    // Characters the layout lacks: skipped (after asking), or entered by their code this way.
    TUnicodeEntry Entry = TUnicodeEntry::Off;
    // The target's operating system: which dead-key combinations, AltGr keys and Caps Lock
    // behaviour its layouts have.
    TTargetSystem System = TTargetSystem::Linux;
    friend bool operator==(const TTypingSettings&, const TTypingSettings&) = default;
};

// The settings file beside the nickname file at NicknameFile.
std::filesystem::path TypingSettingsFile(const std::filesystem::path& NicknameFile);
// Whether the settings file may be handed to QSettings: a missing one is fine, one larger than
// TypingSettingsMaxBytes is no file of ours (false, and *Problem, if not null, says so).
bool SettingsFileReadable(const std::filesystem::path& File, QString* Problem);

// Writes what `file` (opened on File) holds out to disk; false, with *Error in plain words, when the
// file cannot be written.
bool SyncSettingsFile(QSettings& file, const std::filesystem::path& File, QString* Error);

// The dongle's settings; the defaults when the file, its group or a value is missing or unusable.
// *Problem (may be null) receives why a value present could not be used, or "".
TTypingSettings ReadTypingSettings(const std::filesystem::path& File, const std::string& Address,
                                   QString* Problem);
// Stores the dongle's settings, keeping every other group. False, with *Error in plain words, when
// the file cannot be written (or is too large to be this program's).
bool WriteTypingSettings(const std::filesystem::path& File, const std::string& Address,
                         const TTypingSettings& Settings, QString* Error);

// "normal", "20 ms": how a pace is named in the window.
QString PaceText(int PaceMs);
// How an entry method is named in the window.
QString EntryText(TUnicodeEntry Entry);
// How a target's system is named in the window.
QString SystemText(TTargetSystem System);
// The entry method that works on a system (where it is set up for it).
TUnicodeEntry EntryOfSystem(TTargetSystem System);
