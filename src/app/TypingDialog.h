#pragma once
// The progress of typing a text: what is typed where, a progress bar, and a cancel button (Esc
// cancels too). Closing it in any way cancels the typing.

#include <QDialog>

#include <functional>

#include "app/TypingSettings.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;

class TTypingDialog : public QDialog {
  public:
    TTypingDialog(QWidget* Parent, const QString& What, int Total);
    QLabel* Label = nullptr;
    QProgressBar* Bar = nullptr;
    QPushButton* CancelButton = nullptr;
};

// A dongle's keyboard layout (every layout of the machine's keyboard data), its target's system and
// typing pace.
class TTypingSettingsBox : public QWidget {
  public:
    TTypingSettingsBox(QWidget* Parent, const TTypingSettings& Settings);
    TTypingSettings Settings() const;
    QComboBox* Layout = nullptr;
    QComboBox* System = nullptr;
    QComboBox* Pace = nullptr;
    QComboBox* Entry = nullptr;
};

// The modal dialogs typing asks with: a text (pre-filled with Text) and a yes/no question, both
// shown as plain text. With Settings, the text dialog also shows that dongle's layout and pace to
// change; Note says more above the text.
// Keys: the dialog's check box "read {…} as keys" (shown when not null), in and out; Save, when set,
// is a button that saves the text as a key sequence. With the box ticked, a wrong sequence is said in
// the dialog, with the cursor where it is wrong, and the dialog stays open.
struct TKeySequenceDialogOptions {
    bool* Keys = nullptr;
    std::function<void(const QString& Text)> Save;
};
bool TypeTextDialog(QWidget* Parent, const QString& Title, QString& Text, TTypingSettings* Settings,
                    const QString& Note, const TKeySequenceDialogOptions& Sequences = {});
// A dongle's layout and pace alone; true and the choice on OK.
bool TypingSettingsDialog(QWidget* Parent, const QString& Title, TTypingSettings& Settings);
bool ConfirmDialog(QWidget* Parent, const QString& Question);
