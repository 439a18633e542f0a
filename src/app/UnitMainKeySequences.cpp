// Key sequences: a text whose {…} are keys, typed as a text is (the typing pump), and the sequences
// the user saved by name, played from the device list's menu and the tray's.
#include <QMenu>
#include <QTimer>

#include <algorithm>

#include "app/CorvastelApplication.h"
#include "app/UnitMain.h"

bool TFormCorvastelPc::TypeKeySequence(const QString& Text, TCorvastelDevice* Session,
                                       const TTypingSettings* Chosen) {
    return TypeTextOrKeys(Text, Session, Chosen, true);
}

const std::vector<TSavedKeySequence>& TFormCorvastelPc::SavedKeySequences() {
    QString problem;
    FKeySequences = ReadKeySequences(TypingSettingsPath(), &problem);
    if (!problem.isEmpty()) {
        SetNotice(TNotice::Typing, problem);
    }
    TrayChanged();
    return FKeySequences;
}

bool TFormCorvastelPc::SaveKeySequence(const QString& Text, const std::string& Dongle) {
    const auto refuse = [this](const QString& Why) {
        SetNotice(TNotice::Typing, Why);
        FTypingNoticeTimer->start();
        return false;
    };
    if (const QString wrong = KeySequenceProblem(Text); !wrong.isEmpty()) {
        return refuse(QStringLiteral("Not saved: the key sequence is wrong at %1.").arg(wrong));
    }
    const QString whom = Dongle.empty() ? QStringLiteral("every dongle") : DongleLabel(Dongle);
    QString name;
    if (!InputQuery(QStringLiteral("Save the key sequence"),
                    QStringLiteral("Name of the key sequence for %1 (menus list it by this name):").arg(whom),
                    name)) {
        return false;
    }
    name = name.trimmed();
    if (const QString why = KeySequenceNameProblem(name); !why.isEmpty()) {
        return refuse(QStringLiteral("Not saved: %1. Give it a name of one line, up to %2 characters.")
                          .arg(why)
                          .arg(KeySequenceNameMaxLength));
    }
    std::vector<TSavedKeySequence> sequences = SavedKeySequences();
    const TSavedKeySequence saved{name, Text, Dongle};
    const auto same = std::find_if(sequences.begin(), sequences.end(), [&](const TSavedKeySequence& s) {
        return s.Name == name && s.Dongle == Dongle;
    });
    if (same != sequences.end()) {
        *same = saved;
    } else if (sequences.size() >= KeySequencesMaxSaved) {
        return refuse(QStringLiteral("Not saved: %1 key sequences are saved already, the most there can be. "
                                     "Remove one first (right-click a dongle, Key sequences).")
                          .arg(KeySequencesMaxSaved));
    } else {
        sequences.push_back(saved);
    }
    QString error;
    if (!WriteKeySequences(TypingSettingsPath(), sequences, &error)) {
        return refuse(QStringLiteral("The key sequence \u201C%1\u201D is not saved: %2").arg(name, error));
    }
    FKeySequences = std::move(sequences);
    TrayChanged();
    SetNotice(TNotice::Typing,
              QStringLiteral("Saved the key sequence \u201C%1\u201D for %2.").arg(name, whom));
    FTypingNoticeTimer->start();
    return true;
}

bool TFormCorvastelPc::RemoveKeySequence(const TSavedKeySequence& Saved) {
    const QString whom = Saved.Dongle.empty() ? QStringLiteral("every dongle") : DongleLabel(Saved.Dongle);
    if (!ConfirmQuery(
            QStringLiteral("Remove the key sequence \u201C%1\u201D for %2?").arg(Saved.Name, whom))) {
        return false;
    }
    std::vector<TSavedKeySequence> sequences = SavedKeySequences();
    std::erase(sequences, Saved);
    QString error;
    if (!WriteKeySequences(TypingSettingsPath(), sequences, &error)) {
        SetNotice(
            TNotice::Typing,
            QStringLiteral("The key sequence \u201C%1\u201D is not removed: %2").arg(Saved.Name, error));
        return false;
    }
    FKeySequences = std::move(sequences);
    TrayChanged();
    return true;
}

bool TFormCorvastelPc::PlayKeySequence(const TSavedKeySequence& Saved, const TSessionHandle* Target) {
    if (Target != nullptr) {
        TCorvastelDevice* session = Resolve(*Target);
        if (session == nullptr) {
            return TypeText(QString(), *Target);  // says it went away; never into every dongle instead
        }
        return TypeKeySequence(Saved.Text, session);
    }
    if (Saved.Dongle.empty()) {
        return TypeKeySequence(Saved.Text, nullptr);
    }
    const int slot = FindSession(Saved.Dongle);
    if (slot < 0) {
        SetNotice(
            TNotice::Typing,
            QStringLiteral("Nothing typed: \u201C%1\u201D is for %2, which is not connected. Connect it, "
                           "then play it again.")
                .arg(Saved.Name, DongleLabel(Saved.Dongle)));
        FTypingNoticeTimer->start();
        return false;
    }
    return TypeKeySequence(Saved.Text, Sessions[slot]);
}

void TFormCorvastelPc::AddKeySequenceMenu(QMenu& Menu, TCorvastelDevice* Session) {
    const std::string address = Session != nullptr ? Session->Device->Address() : std::string();
    std::vector<TSavedKeySequence> shown;
    for (const TSavedKeySequence& saved : SavedKeySequences()) {
        if (saved.Dongle.empty() || saved.Dongle == address) {
            shown.push_back(saved);
        }
    }
    QMenu* sub = Menu.addMenu(Session != nullptr ? QStringLiteral("Key sequences")
                                                 : QStringLiteral("Key sequences into every dongle"));
    sub->setObjectName(QStringLiteral("MenuKeySequences"));
    const bool open = !FHook->Active() && !TypingText();
    // The menu runs an event loop in which the dongle may drop: its entries name it by handle.
    const TSessionHandle handle = HandleOf(Session);
    for (const TSavedKeySequence& saved : shown) {
        QString label = saved.Name;
        label.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QAction* play = sub->addAction(label, this, ReportingErrors([this, saved, handle, Session] {
                                           PlayKeySequence(saved, Session != nullptr ? &handle : nullptr);
                                       }));
        play->setObjectName(QStringLiteral("MenuPlaySequence"));
        play->setToolTip(saved.Text);
        play->setEnabled(open);
    }
    if (shown.empty()) {
        sub->addAction(QStringLiteral("None saved: type one in Type text\u2026 and press Save as\u2026"))
            ->setEnabled(false);
        return;
    }
    QMenu* remove = sub->addMenu(QStringLiteral("Remove"));
    remove->setObjectName(QStringLiteral("MenuRemoveSequences"));
    for (const TSavedKeySequence& saved : shown) {
        QString label = saved.Name;
        label.replace(QLatin1Char('&'), QStringLiteral("&&"));
        if (!saved.Dongle.empty() && Session == nullptr) {
            label += QStringLiteral(" (%1)").arg(DongleLabel(saved.Dongle));
        }
        remove->addAction(label, this, ReportingErrors([this, saved] { RemoveKeySequence(saved); }))
            ->setObjectName(QStringLiteral("MenuRemoveSequence"));
    }
}
