// Typing a text into dongles: the clipboard's text or one typed into a small dialog, as key presses
// and releases on each dongle's target keyboard layout, at the pace of each dongle's link (or the
// slower pace chosen for it), with a progress dialog whose cancel button (and Esc) stops it with
// every key released.
#include <QApplication>
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
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

#include "app/CorvastelApplication.h"
#include "app/FormControls.h"
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
    return FTyping.Running();
}

bool TFormCorvastelPc::TypeText(const QString& Text, TCorvastelDevice* Session,
                                const TTypingSettings* Chosen) {
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
    if (targets.empty()) {
        return refuse(
            Session != nullptr
                ? QStringLiteral("This dongle takes no input yet: connect it and wait until it is ready.")
                : QStringLiteral("No dongle takes input: connect one first, then type the text."));
    }
    // Each dongle types on its own layout; the characters one cannot type are asked about per layout.
    struct TLayoutRefusals {
        std::string Layout;
        QStringList Dongles;
        TTypingPlan Plan;
    };
    std::vector<TLayoutRefusals> refusals;
    std::vector<std::string> gone;
    std::vector<TTypingTarget> plans;
    const std::u32string text = Text.toStdU32String();
    for (TCorvastelDevice* target : targets) {
        const std::string address = target->Device->Address();
        const TTypingSettings settings =
            Chosen != nullptr && Session != nullptr ? *Chosen : TypingSettingsOf(address);
        QString why;
        std::shared_ptr<const TLayoutKeys> layout = LayoutKeysOf(settings.Layout, &why);
        if (!layout) {
            return refuse(
                QStringLiteral("Nothing typed: the keyboard layout of %1 cannot be used (%2). Choose "
                               "another one: right-click the dongle, Keyboard layout\u2026")
                    .arg(DongleLabel(address), why));
        }
        TTypingPlan plan =
            PlanTyping(text, *layout, (target->LedStatus.load() & LedCapsLock) != 0, settings.Entry);
        if (!plan.Refused.empty()) {
            auto same = std::find_if(refusals.begin(), refusals.end(),
                                     [&](const TLayoutRefusals& r) { return r.Layout == layout->Name(); });
            if (same == refusals.end()) {
                refusals.push_back({layout->Name(), {}, plan});
                same = std::prev(refusals.end());
            }
            same->Dongles << DongleLabel(address);
        }
        plans.push_back({target, layout, std::move(plan.Characters),
                         std::chrono::milliseconds(settings.PaceMs), settings.Entry});
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
                         "layout%4:\n%5")
                         .arg(r.Plan.RefusedTotal())
                         .arg(r.Plan.RefusedTotal() + r.Plan.Characters.size())
                         .arg(QString::fromStdString(r.Layout), where, names.join(QLatin1Char('\n')));
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
    FTyping.Start(std::move(plans), std::move(gone), TypingClock());
    const int total = static_cast<int>(FTyping.Total());
    const QString where = targets.size() == 1 ? DongleLabel(targets.front()->Device->Address())
                                              : QStringLiteral("%1 dongles").arg(targets.size());
    FTypingDialog = new TTypingDialog(
        this, QStringLiteral("Typing %1 characters into %2 \u2026").arg(total).arg(where), total);
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
            notice = QStringLiteral("Typing stopped after %1 of %2 characters; no key is held.")
                         .arg(End.Typed)
                         .arg(End.Total);
            break;
        case TTypingEnd::TWhy::Finished:
            notice = QStringLiteral("Typed %1 characters.").arg(End.Total);
            break;
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
        if (!TextQuery(title, text, &settings, QString())) {
            return;
        }
        StoreTypingSettings(handle.Address, settings);
        TCorvastelDevice* session = Resolve(handle);
        if (session == nullptr) {
            TypeText(QString(), handle);  // says it went away; never into every dongle instead
            return;
        }
        TypeText(text, session, &settings);
        return;
    }
    QStringList layouts;
    for (TCorvastelDevice* target : InputSessions()) {
        layouts << QStringLiteral("%1: %2").arg(
            DongleLabel(target->Device->Address()),
            QString::fromStdString(TypingSettingsOf(target->Device->Address()).Layout));
    }
    const QString note =
        QStringLiteral(
            "Each dongle types on its own target keyboard layout (%1); right-click a dongle to change it.")
            .arg(layouts.join(QStringLiteral(", ")));
    if (TextQuery(title, text, nullptr, note)) {
        TypeText(text, nullptr);
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
                    const QString& Note) {
    QDialog dialog(Parent);
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
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Type"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    auto* accept = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return), &dialog);
    QObject::connect(accept, &QShortcut::activated, &dialog, &QDialog::accept);
    auto* acceptPad = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Enter), &dialog);
    QObject::connect(acceptPad, &QShortcut::activated, &dialog, &QDialog::accept);
    edit->setFocus();
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    Text = edit->toPlainText();
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
    return box.exec() == QMessageBox::Yes;
}
