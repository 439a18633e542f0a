#pragma once
// Key sequences the user saved by name, for one dongle or for every dongle, kept in "settings.ini"
// beside the nickname file, group [KeySequences], as a list (Name, Text, Dongle: its address, empty
// for every dongle).
//
// The file is the user's and may be anything: at most KeySequencesMaxSaved entries are read, and an
// entry without a usable name, with a text that is no valid sequence or too long, or with a dongle
// that is no address is left out; the problem text says which and why.

#include <QString>
#include <QStringList>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "hid/KeySequence.h"

inline constexpr std::size_t KeySequencesMaxSaved = 50;
inline constexpr int KeySequenceNameMaxLength = 60;

struct TSavedKeySequence {
    QString Name;
    QString Text;
    std::string Dongle;  // the address of the dongle it is for; empty: every dongle
    friend bool operator==(const TSavedKeySequence&, const TSavedKeySequence&) = default;
};

// Why a name cannot name a saved sequence, in plain words; empty when it can.
QString KeySequenceNameProblem(const QString& Name);

// Where a sequence is wrong, in a user's words ("line 2, column 5: …"); empty when it is right.
QString KeySequenceProblem(const QString& Text);
// An error of the sequence Text in a user's words: "line 2, column 5: …".
QString KeySequenceErrorText(std::u32string_view Text, const TKeySequenceError& Error);

// The saved sequences in File, in their order; *Problem (may be null) receives what was left out and
// why, or "".
std::vector<TSavedKeySequence> ReadKeySequences(const std::filesystem::path& File, QString* Problem);
// Replaces the saved sequences, keeping every other group. False, with *Error in plain words, when
// the file cannot be written (or is too large to be this program's).
bool WriteKeySequences(const std::filesystem::path& File, const std::vector<TSavedKeySequence>& Sequences,
                       QString* Error);
