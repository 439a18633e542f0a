// Typing a text into dongles: the clipboard's text or one typed into a small dialog, as key presses
// and releases on each dongle's target keyboard layout, at the pace of each dongle's link (or the
// slower pace chosen for it), with a progress dialog whose cancel button (and Esc) stops it with
// every key released.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include <QEventLoop>

#include <algorithm>
#include <optional>
#include <thread>

#include "app/CorvastelApplication.h"
#include "app/FormControls.h"
#include "app/KeySequenceSettings.h"
#include "app/TargetState.h"
#include "app/TextTyping.h"
#include "app/TypingDialog.h"
#include "app/TypingSettings.h"
#include "app/UnitMain.h"

namespace {

// How a character the layout cannot type is named in the question: itself when it can be seen,
// else its code point.
QString CharacterName(char32_t c) {
    const QChar::Category kind = QChar::category(c);
    const bool visible = !QChar::isSpace(c) && kind != QChar::Other_Control && kind != QChar::Other_Format &&
                         kind != QChar::Other_Surrogate && kind != QChar::Other_NotAssigned &&
                         kind != QChar::Other_PrivateUse && kind != QChar::Mark_NonSpacing;
    const QString code = QStringLiteral("U+%1").arg(static_cast<uint>(c), 4, 16, QLatin1Char('0')).toUpper();
    if (!visible) {
        return code;
    }
    return QStringLiteral("\u201C%1\u201D (%2)").arg(QString::fromUcs4(&c, 1), code);
}

constexpr int ShownRefusals = 12;

// Texts longer than this are planned on a thread of their own, so the window goes on meanwhile.
constexpr std::size_t PlannedAside = 64 * 1024;

// What planning a text for one dongle needs; no session, so it can be done away from the window.
struct TPlanJob {
    std::shared_ptr<const TLayoutKeys> Layout;
    bool CapsLock = false;
    TUnicodeEntry Entry = TUnicodeEntry::Off;
};

std::vector<TTypingPlan> PlanAll(const std::u32string& Text, const std::vector<TPlanJob>& Jobs) {
    std::vector<TTypingPlan> plans;
    for (const TPlanJob& job : Jobs) {
        plans.push_back(PlanTyping(Text, *job.Layout, job.CapsLock, job.Entry));
    }
    return plans;
}

// Runs PlanAll on a thread of its own and the window's events meanwhile.
std::vector<TTypingPlan> PlanAllAside(const std::u32string& Text, const std::vector<TPlanJob>& Jobs) {
    std::vector<TTypingPlan> plans;
    QEventLoop loop;
    std::thread worker([&] {
        std::vector<TTypingPlan> made = PlanAll(Text, Jobs);
        QMetaObject::invokeMethod(
            &loop,
            [&, made = std::move(made)]() mutable {
                plans = std::move(made);
                loop.quit();
            },
            Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    return plans;
}

// What the progress of a text counts: a key sequence's keys and waits count beside its characters.
QString TypingUnits(bool Keys) {
    return Keys ? QStringLiteral("characters and keys") : QStringLiteral("characters");
}

}  // namespace

TTypingDialog::TTypingDialog(QWidget* Parent, const QString& What, int Total) : QDialog(Parent) {
    setObjectName(QStringLiteral("TypingProgress"));
    setWindowTitle(QStringLiteral("Typing text"));
    setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(this);
    Label = NewNoteLabel(What, this);
    layout->addWidget(Label);
    Bar = new QProgressBar(this);
    Bar->setRange(0, std::max(1, Total));
    Bar->setValue(0);
    layout->addWidget(Bar);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    CancelButton = buttons->button(QDialogButtonBox::Cancel);
    CancelButton->setToolTip(QStringLiteral("Stop typing; every key is released on the targets (Esc)"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    setMinimumWidth(360);
}

bool TFormCorvastelPc::TypingText() const {
    return FTyping.Running() || FPlanningText;
}

bool TFormCorvastelPc::TypeText(const QString& Text, TCorvastelDevice* Session,
                                const TTypingSettings* Chosen) {
    return TypeTextOrKeys(Text, Session, Chosen, false);
}

bool TFormCorvastelPc::TypeTextOrKeys(const QString& Text, TCorvastelDevice* Session,
                                      const TTypingSettings* Chosen, bool Keys) {
    const auto refuse = [this](const QString& Why) {
        SetNotice(TNotice::Typing, Why);
        FTypingNoticeTimer->start();
        return false;
    };
    if (FHook->Active()) {
        return refuse(
            QStringLiteral("Typing a text is not possible during pass-through: end it with "
                           "Ctrl+Shift+F12, then try again."));
    }
    if (TypingText()) {
        return refuse(QStringLiteral("A text is being typed already: wait for it or cancel it first."));
    }
    std::vector<TCorvastelDevice*> targets;
    if (Session != nullptr) {
        if (TakesInput(Session)) {
            targets.push_back(Session);
        }
    } else {
        targets = InputSessions();
    }
    if (targets.empty() && Session != nullptr && InputReady(Session) && SkippedAsInsecure(Session)) {
        return refuse(
            QStringLiteral("Nothing typed: the link to %1 is not encrypted, and input goes only over "
                           "encrypted links. Pair it from its menu, then try again.")
                .arg(DongleLabel(Session->Device->Address())));
    }
    if (targets.empty()) {
        return refuse(
            Session != nullptr
                ? QStringLiteral("This dongle takes no input yet: connect it and wait until it is ready.")
                : QStringLiteral("No dongle takes input: connect one first, then type the text."));
    }
    // Each dongle types on its own layout; the characters one cannot type are asked about per layout.
    struct TLayoutRefusals {
        std::string Layout;
        TTargetSystem System;
        QStringList Dongles;
        TTypingPlan Plan;
    };
    std::vector<TLayoutRefusals> refusals;
    std::vector<std::string> gone;
    std::vector<TTypingTarget> plans;
    const std::u32string text = Text.toStdU32String();
    if (text.size() > MaxTypedCharacters) {
        return refuse(QStringLiteral("Nothing typed: the text has %L1 characters, more than the %L2 typed at "
                                     "once. Type it in parts.")
                          .arg(static_cast<qulonglong>(text.size()))
                          .arg(static_cast<qulonglong>(MaxTypedCharacters)));
    }
    std::vector<TPlanJob> jobs;
    std::vector<TTypingSettings> chosen;
    TKeySequenceParse sequence;
    if (Keys) {
        if (const QString wrong = KeySequenceProblem(Text); !wrong.isEmpty()) {
            return refuse(QStringLiteral("Nothing typed: the key sequence is wrong at %1.").arg(wrong));
        }
        sequence = ParseKeySequence(text);
    }
    for (TCorvastelDevice* target : targets) {
        const std::string address = target->Device->Address();
        const TTypingSettings settings =
            Chosen != nullptr && Session != nullptr ? *Chosen : TypingSettingsOf(address);
        QString why;
        std::shared_ptr<const TLayoutKeys> layout = LayoutKeysOf(settings.Layout, &why, settings.System);
        if (!layout) {
            return refuse(
                QStringLiteral("Nothing typed: the keyboard layout of %1 cannot be used (%2). Choose "
                               "another one: right-click the dongle, Keyboard layout\u2026")
                    .arg(DongleLabel(address), why));
        }
        jobs.push_back({layout, (target->LedStatus.load() & LedCapsLock) != 0, settings.Entry});
        chosen.push_back(settings);
    }
    std::vector<TTypingPlan> planned;
    if (Keys) {
        // A key sequence is short (its parser bounds it) and planned per dongle below.
        planned.resize(jobs.size());
    } else if (text.size() > PlannedAside) {
        // The window goes on while a long text is planned, so a target may drop meanwhile (and a
        // new session may take its dongle or its memory): the targets are named by handle across it.
        std::vector<TSessionHandle> handles;
        for (TCorvastelDevice* target : targets) {
            handles.push_back(HandleOf(target));
        }
        SetNotice(TNotice::Typing, QStringLiteral("Preparing %L1 characters to type\u2026")
                                       .arg(static_cast<qulonglong>(text.size())));
        FPlanningText = true;
        planned = PlanAllAside(text, jobs);
        FPlanningText = false;
        SetNotice(TNotice::Typing, QString());
        for (std::size_t i = 0; i < targets.size(); ++i) {
            TCorvastelDevice* target = Resolve(handles[i]);
            targets[i] = target != nullptr && TakesInput(target) ? target : nullptr;
            if (targets[i] == nullptr) {
                gone.push_back(handles[i].Address);
            }
        }
        if (FHook->Active()) {
            return refuse(
                QStringLiteral("Nothing typed: pass-through started while the text was prepared. End it "
                               "with Ctrl+Shift+F12, then try again."));
        }
    } else {
        planned = PlanAll(text, jobs);
    }
    std::vector<TCorvastelDevice*> kept;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        TCorvastelDevice* target = targets[i];
        if (target == nullptr) {
            continue;
        }
        kept.push_back(target);
        const std::string address = target->Device->Address();
        const TTypingSettings& settings = chosen[i];
        const std::shared_ptr<const TLayoutKeys>& layout = jobs[i].Layout;
        TTypingPlan plan;
        std::vector<TSequenceStep> steps;
        if (Keys) {
            TKeySequencePlanning planning =
                PlanKeySequence(sequence.Sequence, *layout, jobs[i].CapsLock, settings.Entry);
            if (planning.Error) {
                return refuse(QStringLiteral("Nothing typed: the key sequence is wrong for %1 at %2.")
                                  .arg(DongleLabel(address), KeySequenceErrorText(text, *planning.Error)));
            }
            plan = std::move(planning.Plan.Text);
            steps = std::move(planning.Plan.Steps);
        } else {
            plan = std::move(planned[i]);
        }
        if (!plan.Refused.empty()) {
            auto same = std::find_if(refusals.begin(), refusals.end(), [&](const TLayoutRefusals& r) {
                return r.Layout == layout->Name() && r.System == layout->System();
            });
            if (same == refusals.end()) {
                refusals.push_back({layout->Name(), layout->System(), {}, plan});
                same = std::prev(refusals.end());
            }
            same->Dongles << DongleLabel(address);
        }
        plans.push_back({target, layout, std::move(plan.Characters),
                         std::chrono::milliseconds(settings.PaceMs), settings.Entry, std::move(steps)});
    }
    targets = std::move(kept);
    if (plans.empty()) {
        return refuse(QStringLiteral("Nothing typed: %1 went away while the text was prepared. "
                                     "Connect it again, then type the text.")
                          .arg(DongleLabels(gone)));
    }
    if (!refusals.empty()) {
        QStringList parts;
        for (const TLayoutRefusals& r : refusals) {
            QStringList names;
            for (std::size_t i = 0; i < r.Plan.Refused.size() && i < ShownRefusals; ++i) {
                names << QStringLiteral("%1 \u00d7%2")
                             .arg(CharacterName(r.Plan.Refused[i].Character))
                             .arg(r.Plan.Refused[i].Count);
            }
            if (r.Plan.Refused.size() > ShownRefusals) {
                names << QStringLiteral("and %1 more kinds").arg(r.Plan.Refused.size() - ShownRefusals);
            }
            const QString where = refusals.size() == 1 && plans.size() == 1
                                      ? QString()
                                      : QStringLiteral(" (%1)").arg(r.Dongles.join(QStringLiteral(", ")));
            parts << QStringLiteral(
                         "%1 of the %2 characters cannot be typed on the \u201C%3\u201D keyboard "
                         "layout%4%5:\n%6")
                         .arg(r.Plan.RefusedTotal())
                         .arg(r.Plan.RefusedTotal() + r.Plan.Characters.size())
                         .arg(QString::fromStdString(r.Layout),
                              r.System == TTargetSystem::Linux
                                  ? QString()
                                  : QStringLiteral(" of %1").arg(SystemText(r.System)),
                              where, names.join(QLatin1Char('\n')));
        }
        const QString question =
            parts.join(QStringLiteral("\n\n")) + QStringLiteral("\n\nType the rest and skip these?");
        // The question runs an event loop, in which any target may drop (and a new session may
        // take its dongle or its memory): the targets are named by handle across it.
        std::vector<TSessionHandle> asked;
        for (const TTypingTarget& plan : plans) {
            asked.push_back(HandleOf(plan.Session));
        }
        if (!ConfirmQuery(question)) {
            return refuse(QStringLiteral(
                "Nothing typed: the text holds characters the target's keyboard layout cannot type."));
        }
        std::vector<TTypingTarget> still;
        targets.clear();
        for (std::size_t i = 0; i < plans.size(); ++i) {
            TCorvastelDevice* target = Resolve(asked[i]);
            if (target != nullptr && TakesInput(target)) {
                plans[i].Session = target;
                targets.push_back(target);
                still.push_back(std::move(plans[i]));
            } else {
                gone.push_back(asked[i].Address);
            }
        }
        plans = std::move(still);
        if (plans.empty()) {
            return refuse(QStringLiteral("Nothing typed: %1 went away while the question was open. "
                                         "Connect it again, then type the text.")
                              .arg(DongleLabels(gone)));
        }
    }
    const bool nothing =
        std::all_of(plans.begin(), plans.end(), [](const TTypingTarget& p) { return p.Characters.empty(); });
    if (nothing) {
        return refuse(QStringLiteral("Nothing to type: the text is empty."));
    }
    SetNotice(TNotice::Typing, QString());
    FTypingKeys = Keys;
    FTyping.Start(std::move(plans), std::move(gone), TypingClock());
    const int total = static_cast<int>(FTyping.Total());
    const QString where = targets.size() == 1 ? DongleLabel(targets.front()->Device->Address())
                                              : QStringLiteral("%1 dongles").arg(targets.size());
    FTypingDialog = new TTypingDialog(
        this, QStringLiteral("Typing %1 %2 into %3 \u2026").arg(total).arg(TypingUnits(Keys), where), total);
    connect(FTypingDialog, &QDialog::rejected, this,
            [this] { RunReportingErrors([this] { CancelTyping(); }); });
    FTypingDialog->show();
    FTypingTimer->start();
    PumpTyping();
    return true;
}

void TFormCorvastelPc::PumpTyping() {
    const std::optional<TTypingEnd> end = FTyping.Tick(TypingClock());
    if (FTypingDialog != nullptr && !end) {
        FTypingDialog->Bar->setValue(static_cast<int>(FTyping.Typed()));
    }
    if (end) {
        EndTyping(*end);
    }
}

void TFormCorvastelPc::CancelTyping() {
    if (const std::optional<TTypingEnd> end = FTyping.Cancel()) {
        EndTyping(*end);
    }
}

QString TFormCorvastelPc::DongleLabels(const std::vector<std::string>& Addresses) const {
    QStringList labels;
    for (const std::string& address : Addresses) {
        labels << DongleLabel(address);
    }
    return labels.join(QStringLiteral(", "));
}

void TFormCorvastelPc::EndTyping(const TTypingEnd& End) {
    FTypingTimer->stop();
    QString notice;
    switch (End.Why) {
        case TTypingEnd::TWhy::AllGone:
            notice = QStringLiteral("Typing stopped: the dongle went away before the end of the text.");
            break;
        case TTypingEnd::TWhy::Cancelled:
            notice = QStringLiteral("Typing stopped after %1 of %2 %3; no key is held.")
                         .arg(End.Typed)
                         .arg(End.Total)
                         .arg(TypingUnits(FTypingKeys));
            break;
        case TTypingEnd::TWhy::Finished:
            notice = QStringLiteral("Typed %1 %2.").arg(End.Total).arg(TypingUnits(FTypingKeys));
            break;
    }
    for (const auto& [address, count] : End.Skipped) {
        notice += QStringLiteral(
                      " %1 characters were left out on %2: its Caps Lock changed after the text "
                      "was prepared, and they cannot be typed with it as it is. Type them again.")
                      .arg(count)
                      .arg(DongleLabel(address));
    }
    if (!End.LightsUnknown.empty()) {
        notice += QStringLiteral(
                      " %1 did not report its Caps Lock and Num Lock lights: the text was typed as if they "
                      "were as last known. If it came out wrong, check them on the target and type it again.")
                      .arg(DongleLabels(End.LightsUnknown));
    }
    if (!End.Gone.empty()) {
        notice += QStringLiteral(
                      " Not typed completely into %1: it went away; type the text "
                      "again once it is back.")
                      .arg(DongleLabels(End.Gone));
    }
    SetNotice(TNotice::Typing, notice);
    FTypingNoticeTimer->start();
    if (FTypingDialog != nullptr) {
        TTypingDialog* dialog = std::exchange(FTypingDialog, nullptr);
        dialog->disconnect(this);
        dialog->hide();
        dialog->deleteLater();
    }
}

void TFormCorvastelPc::TypeClipboard(TCorvastelDevice* Session) {
    const QString text = QApplication::clipboard()->text();
    if (text.isEmpty()) {
        SetNotice(TNotice::Typing, QStringLiteral("The clipboard holds no text to type: copy a text first."));
        FTypingNoticeTimer->start();
        return;
    }
    TypeText(text, Session);
}

void TFormCorvastelPc::TypeTextAsked(TCorvastelDevice* Session, const QString& Prefill) {
    const bool nowhere = Session != nullptr ? !TakesInput(Session) : InputSessions().empty();
    if (FHook->Active() || TypingText() || nowhere) {
        TypeText(QString(), Session);  // says why not, before the user writes a text for nothing
        return;
    }
    QString text = Prefill;
    // Named when one dongle is meant or takes input alone (the route chose it): "every dongle" would
    // then promise what does not happen.
    const std::vector<TCorvastelDevice*> input = InputSessions();
    const TCorvastelDevice* named = Session != nullptr  ? Session
                                    : input.size() == 1 ? input.front()
                                                        : nullptr;
    const QString title =
        named != nullptr ? QStringLiteral("Type a text into %1").arg(DongleLabel(named->Device->Address()))
                         : QStringLiteral("Type a text into every dongle that takes input");
    if (Session != nullptr) {
        // The dialog runs an event loop in which the dongle may drop: it is named by handle across it.
        const TSessionHandle handle = HandleOf(Session);
        TTypingSettings settings = TypingSettingsOf(handle.Address);
        FKeySequenceScope = handle.Address;
        if (!TextQuery(title, text, &settings, QString())) {
            return;
        }
        StoreTypingSettings(handle.Address, settings);
        TCorvastelDevice* session = Resolve(handle);
        if (session == nullptr) {
            TypeText(QString(), handle);  // says it went away; never into every dongle instead
            return;
        }
        TypeTextOrKeys(text, session, &settings, KeySequenceOption);
        return;
    }
    QStringList layouts;
    for (TCorvastelDevice* target : InputSessions()) {
        const TTypingSettings settings = TypingSettingsOf(target->Device->Address());
        layouts << QStringLiteral("%1: %2%3")
                       .arg(DongleLabel(target->Device->Address()), QString::fromStdString(settings.Layout),
                            settings.System == TTargetSystem::Linux
                                ? QString()
                                : QStringLiteral(" (%1)").arg(SystemText(settings.System)));
    }
    const QString note =
        QStringLiteral(
            "Each dongle types on its own target keyboard layout (%1); right-click a dongle to change it.")
            .arg(layouts.join(QStringLiteral(", ")));
    FKeySequenceScope.clear();
    if (TextQuery(title, text, nullptr, note)) {
        TypeTextOrKeys(text, nullptr, nullptr, KeySequenceOption);
    }
}

bool TFormCorvastelPc::TypeText(const QString& Text, const TSessionHandle& Target) {
    TCorvastelDevice* session = Resolve(Target);
    if (session == nullptr) {
        // Never into every dongle instead: the text was meant for this one.
        SetNotice(TNotice::Typing, QStringLiteral("Nothing typed: %1 went away. Connect it again, then "
                                                  "type the text.")
                                       .arg(DongleLabel(Target.Address)));
        FTypingNoticeTimer->start();
        return false;
    }
    return TypeText(Text, session);
}

void TFormCorvastelPc::TypeClipboard(const TSessionHandle& Target) {
    TCorvastelDevice* session = Resolve(Target);
    if (session == nullptr) {
        TypeText(QString(), Target);  // says it went away
        return;
    }
    TypeClipboard(session);
}

void TFormCorvastelPc::TypeTextAsked(const TSessionHandle& Target) {
    TCorvastelDevice* session = Resolve(Target);
    if (session == nullptr) {
        TypeText(QString(), Target);  // says it went away
        return;
    }
    TypeTextAsked(session, QString());
}

bool TypeTextDialog(QWidget* Parent, const QString& Title, QString& Text, TTypingSettings* Settings,
                    const QString& Note, const TKeySequenceDialogOptions& Sequences) {
    QDialog dialog(Parent);
    dialog.setWindowModality(Qt::WindowModal);  // the tray stays usable (CorvastelApplication.h)
    dialog.setWindowTitle(Title);
    auto* layout = new QVBoxLayout(&dialog);
    if (!Note.isEmpty()) {
        layout->addWidget(NewNoteLabel(Note, &dialog));
    }
    TTypingSettingsBox* settings = Settings != nullptr ? new TTypingSettingsBox(&dialog, *Settings) : nullptr;
    if (settings != nullptr) {
        layout->addWidget(settings);
    }
    layout->addWidget(NewNoteLabel(QStringLiteral("The text is typed key by key with the keys that make each "
                                                  "character on the target's layout (Ctrl+Enter types it):"),
                                   &dialog));
    auto* edit = new QPlainTextEdit(&dialog);
    edit->setObjectName(QStringLiteral("TextToType"));
    edit->setPlainText(Text);
    edit->setTabChangesFocus(false);
    edit->setMinimumSize(380, 160);
    layout->addWidget(edit);
    QCheckBox* keys = nullptr;
    QLabel* wrong = nullptr;
    if (Sequences.Keys != nullptr) {
        keys = new QCheckBox(QStringLiteral("Read {…} as &keys: {Enter}, {Tab}, {Ctrl+Alt+Del}, {Win+R}, "
                                            "{F2 hold 3s}, {wait 500ms}; {{ types a brace"),
                             &dialog);
        keys->setObjectName(QStringLiteral("KeySequenceMode"));
        keys->setToolTip(
            QStringLiteral("Keys in braces are pressed, held or waited for between the text "
                           "(docs/key-sequences.md)"));
        keys->setChecked(*Sequences.Keys);
        layout->addWidget(keys);
        wrong = NewNoteLabel(QString(), &dialog);
        wrong->setObjectName(QStringLiteral("KeySequenceError"));
        wrong->setStyleSheet(QStringLiteral("color: #b00020"));
        wrong->hide();
        layout->addWidget(wrong);
    }
    // With keys read, a wrong sequence is said here, the cursor put where it is wrong; false then.
    const auto right = [&] {
        if (keys == nullptr || !keys->isChecked()) {
            return true;
        }
        const QString text = edit->toPlainText();
        const std::u32string u32 = text.toStdU32String();
        const TKeySequenceParse parse = ParseKeySequence(u32);
        if (!parse.Error) {
            wrong->hide();
            return true;
        }
        wrong->setText(
            QStringLiteral("The key sequence is wrong at %1.").arg(KeySequenceErrorText(u32, *parse.Error)));
        wrong->show();
        // The editor counts UTF-16 units, the sequence characters.
        const std::size_t at = std::min(parse.Error->Position, u32.size());
        QTextCursor cursor = edit->textCursor();
        cursor.setPosition(QString::fromStdU32String(u32.substr(0, at)).size());
        edit->setTextCursor(cursor);
        edit->setFocus();
        return false;
    };
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Type"));
    if (Sequences.Save) {
        QPushButton* save = buttons->addButton(QStringLiteral("&Save as…"), QDialogButtonBox::ActionRole);
        save->setObjectName(QStringLiteral("SaveKeySequence"));
        save->setToolTip(QStringLiteral("Save the text as a key sequence, to play it from the menus"));
        QObject::connect(save, &QPushButton::clicked, &dialog, [&, save = Sequences.Save] {
            if (keys != nullptr) {
                keys->setChecked(true);
            }
            if (right()) {
                save(edit->toPlainText());
            }
        });
    }
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
        if (right()) {
            dialog.accept();
        }
    });
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    auto* accept = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return), &dialog);
    QObject::connect(accept, &QShortcut::activated, buttons, &QDialogButtonBox::accepted);
    auto* acceptPad = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Enter), &dialog);
    QObject::connect(acceptPad, &QShortcut::activated, buttons, &QDialogButtonBox::accepted);
    edit->setFocus();
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    Text = edit->toPlainText();
    if (keys != nullptr) {
        *Sequences.Keys = keys->isChecked();
    }
    if (settings != nullptr) {
        *Settings = settings->Settings();
    }
    return true;
}

bool ConfirmDialog(QWidget* Parent, const QString& Question) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("CorvastelPcApp"), Question,
                    QMessageBox::Yes | QMessageBox::No, Parent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    box.setWindowModality(Qt::WindowModal);  // the tray stays usable (CorvastelApplication.h)
    return box.exec() == QMessageBox::Yes;
}
