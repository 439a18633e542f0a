#include "app/KeySequenceSettings.h"

#include <QSettings>

#include "app/TypingSettings.h"

namespace {

constexpr char Group[] = "KeySequences";
constexpr char List[] = "Sequence";
constexpr char NameKey[] = "Name";
constexpr char TextKey[] = "Text";
constexpr char DongleKey[] = "Dongle";
// Addresses and the identifiers other systems give dongles: letters, digits, ':' and '-'.
constexpr int AddressMaxLength = 64;

QString FileText(const std::filesystem::path& File) {
    return QString::fromStdU16String(File.u16string());
}

bool IsAddress(const QString& Text) {
    if (Text.isEmpty() || Text.size() > AddressMaxLength) {
        return false;
    }
    for (const QChar c : Text) {
        if (c.unicode() > 0x7F || !(c.isLetterOrNumber() || c == QLatin1Char(':') || c == QLatin1Char('-'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

QString KeySequenceNameProblem(const QString& Name) {
    if (Name.trimmed().isEmpty()) {
        return QStringLiteral("it has no name");
    }
    if (Name.size() > KeySequenceNameMaxLength) {
        return QStringLiteral("its name is longer than %1 characters").arg(KeySequenceNameMaxLength);
    }
    for (const QChar c : Name) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format ||
            c.category() == QChar::Other_Surrogate) {
            return QStringLiteral("its name holds a control character");
        }
    }
    return QString();
}

QString KeySequenceProblem(const QString& Text) {
    const std::u32string text = Text.toStdU32String();
    const TKeySequenceParse parse = ParseKeySequence(text);
    return parse.Error ? KeySequenceErrorText(text, *parse.Error) : QString();
}

QString KeySequenceErrorText(std::u32string_view Text, const TKeySequenceError& Error) {
    // Line and column, as an editor counts them.
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < Error.Position && i < Text.size(); ++i) {
        if (Text[i] == U'\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return QStringLiteral("line %1, column %2: %3")
        .arg(line)
        .arg(column)
        .arg(QString::fromStdString(Error.Reason));
}

std::vector<TSavedKeySequence> ReadKeySequences(const std::filesystem::path& File, QString* Problem) {
    std::vector<TSavedKeySequence> sequences;
    if (Problem != nullptr) {
        Problem->clear();
    }
    if (!SettingsFileReadable(File, Problem)) {
        return sequences;
    }
    QSettings file(FileText(File), QSettings::IniFormat);
    file.beginGroup(Group);
    const int size = file.beginReadArray(List);
    QStringList leftOut;
    for (int i = 0; i < size; ++i) {
        if (i == static_cast<int>(KeySequencesMaxSaved)) {
            leftOut << QStringLiteral("entries %1 to %2 (at most %3 are read)")
                           .arg(i + 1)
                           .arg(size)
                           .arg(KeySequencesMaxSaved);
            break;
        }
        file.setArrayIndex(i);
        TSavedKeySequence saved;
        saved.Name = file.value(NameKey).toString();
        saved.Text = file.value(TextKey).toString();
        const QString dongle = file.value(DongleKey).toString();
        QString why = KeySequenceNameProblem(saved.Name);
        if (why.isEmpty() && saved.Text.isEmpty()) {
            why = QStringLiteral("it has no text");
        }
        if (why.isEmpty()) {
            const QString wrong = KeySequenceProblem(saved.Text);
            if (!wrong.isEmpty()) {
                why = QStringLiteral("its text is wrong at %1").arg(wrong);
            }
        }
        if (why.isEmpty() && !dongle.isEmpty() && !IsAddress(dongle)) {
            why = QStringLiteral("its dongle is no address");
        }
        if (!why.isEmpty()) {
            leftOut << QStringLiteral("entry %1 (%2)").arg(i + 1).arg(why);
            continue;
        }
        saved.Dongle = dongle.toStdString();
        sequences.push_back(std::move(saved));
    }
    file.endArray();
    if (!leftOut.isEmpty() && Problem != nullptr) {
        *Problem = QStringLiteral("Saved key sequences in %1 left out: %2. Save them again to replace them.")
                       .arg(FileText(File), leftOut.join(QStringLiteral("; ")));
    }
    return sequences;
}

bool WriteKeySequences(const std::filesystem::path& File, const std::vector<TSavedKeySequence>& Sequences,
                       QString* Error) {
    if (!SettingsFileReadable(File, Error)) {
        return false;
    }
    QSettings file(FileText(File), QSettings::IniFormat);
    file.remove(Group);
    file.beginGroup(Group);
    file.beginWriteArray(List, static_cast<int>(Sequences.size()));
    for (std::size_t i = 0; i < Sequences.size(); ++i) {
        file.setArrayIndex(static_cast<int>(i));
        file.setValue(NameKey, Sequences[i].Name);
        file.setValue(TextKey, Sequences[i].Text);
        file.setValue(DongleKey, QString::fromStdString(Sequences[i].Dongle));
    }
    file.endArray();
    file.endGroup();
    return SyncSettingsFile(file, File, Error);
}
