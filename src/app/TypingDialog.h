#pragma once
// The progress of typing a text: what is typed where, a progress bar, and a cancel button (Esc
// cancels too). Closing it in any way cancels the typing.

#include <QDialog>

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

// The modal dialogs typing asks with: a text (pre-filled with Text) and a yes/no question, both
// shown as plain text.
bool TypeTextDialog(QWidget* Parent, const QString& Title, QString& Text);
bool ConfirmDialog(QWidget* Parent, const QString& Question);
