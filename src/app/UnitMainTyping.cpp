// Typing a text into dongles: the clipboard's text or one typed into a small dialog, as key presses
// and releases on a US layout, at the pace of each dongle's link, with a progress dialog whose
// cancel button (and Esc) stops it with every key released.
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

#include "app/CorvastelApplication.h"
#include "app/TargetState.h"
#include "app/TextTyping.h"
#include "app/TypingDialog.h"
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
    Label = new QLabel(What, this);
    Label->setTextFormat(Qt::PlainText);
    Label->setWordWrap(true);
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
    return FTyper != nullptr && FTyper->Running();
}

bool TFormCorvastelPc::TypeText(const QString& Text, TCorvastelDevice* Session) {
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
    TTypingPlan plan = PlanTyping(Text.toStdU32String());
    QStringList gone;
    if (!plan.Refused.empty()) {
        QStringList names;
        for (std::size_t i = 0; i < plan.Refused.size() && i < ShownRefusals; ++i) {
            names << QStringLiteral("%1 \u00d7%2")
                         .arg(CharacterName(plan.Refused[i].Character))
                         .arg(plan.Refused[i].Count);
        }
        if (plan.Refused.size() > ShownRefusals) {
            names << QStringLiteral("and %1 more kinds").arg(plan.Refused.size() - ShownRefusals);
        }
        const QString question =
            QStringLiteral(
                "%1 of the %2 characters cannot be typed on a US keyboard layout:\n%3\n\n"
                "Type the rest and skip these?")
                .arg(plan.RefusedTotal())
                .arg(plan.RefusedTotal() + plan.Keys.size())
                .arg(names.join(QLatin1Char('\n')));
        // The question runs an event loop, in which any target may drop (and a new session may
        // take its dongle or its memory): the targets are named by handle across it.
        std::vector<TSessionHandle> asked;
        for (const TCorvastelDevice* target : targets) {
            asked.push_back(HandleOf(target));
        }
        if (!ConfirmQuery(question)) {
            return refuse(
                QStringLiteral("Nothing typed: the text holds characters a US keyboard cannot type."));
        }
        targets.clear();
        for (const TSessionHandle& handle : asked) {
            TCorvastelDevice* target = Resolve(handle);
            if (target != nullptr && TakesInput(target)) {
                targets.push_back(target);
            } else {
                gone << DongleLabel(handle.Address);
            }
        }
        if (targets.empty()) {
            return refuse(QStringLiteral("Nothing typed: %1 went away while the question was open. "
                                         "Connect it again, then type the text.")
                              .arg(gone.join(QStringLiteral(", "))));
        }
    }
    if (plan.Keys.empty()) {
        return refuse(QStringLiteral("Nothing to type: the text is empty."));
    }
    const int total = static_cast<int>(plan.Keys.size());
    SetNotice(TNotice::Typing, QString());
    FTypingGone = gone;
    FTypingTargets.clear();
    for (const TCorvastelDevice* target : targets) {
        FTypingTargets.push_back(HandleOf(target));
    }
    FTyper = std::make_unique<TTextTyper>(std::move(plan.Keys), targets);
    const QString where = targets.size() == 1 ? PeerText(targets.front()->Device->DeviceName())
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
    if (FTyper == nullptr) {
        return;
    }
    FTyper->Pump();
    if (FTypingDialog != nullptr) {
        FTypingDialog->Bar->setValue(static_cast<int>(FTyper->Typed()));
    }
    if (!FTyper->Running()) {
        EndTyping();
    }
}

void TFormCorvastelPc::CancelTyping() {
    if (FTyper == nullptr) {
        return;
    }
    FTyper->Cancel();
    EndTyping();
}

void TFormCorvastelPc::EndTyping() {
    FTypingTimer->stop();
    if (FTyper != nullptr) {
        const std::size_t typed = FTyper->Typed();
        const std::size_t total = FTyper->Total();
        QString notice;
        if (FTyper->Targets() == 0) {
            notice = QStringLiteral("Typing stopped: the dongle went away before the end of the text.");
        } else if (FTyper->Cancelled()) {
            notice =
                QStringLiteral("Typing stopped after %1 of %2 characters; no key is held.").arg(typed).arg(total);
        } else {
            notice = QStringLiteral("Typed %1 characters.").arg(total);
        }
        // A target that left the table before the end got only part of the text (or none of it).
        QStringList gone = FTypingGone;
        for (const TSessionHandle& handle : FTypingTargets) {
            if (Resolve(handle) == nullptr) {
                gone << DongleLabel(handle.Address);
            }
        }
        if (!gone.isEmpty()) {
            notice += QStringLiteral(" Not typed completely into %1: it went away; type the text "
                                     "again once it is back.")
                          .arg(gone.join(QStringLiteral(", ")));
        }
        SetNotice(TNotice::Typing, notice);
        FTypingNoticeTimer->start();
    }
    FTyper.reset();
    FTypingTargets.clear();
    FTypingGone.clear();
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
    const QString title =
        Session != nullptr
            ? QStringLiteral("Type a text into %1").arg(PeerText(Session->Device->DeviceName()))
            : QStringLiteral("Type a text into every dongle that takes input");
    // The dialog runs an event loop in which the dongle may drop: it is named by handle across it.
    const TSessionHandle handle = HandleOf(Session);
    if (!TextQuery(title, text)) {
        return;
    }
    if (Session == nullptr) {
        TypeText(text, nullptr);
        return;
    }
    TypeText(text, handle);
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

bool TypeTextDialog(QWidget* Parent, const QString& Title, QString& Text) {
    QDialog dialog(Parent);
    dialog.setWindowTitle(Title);
    auto* layout = new QVBoxLayout(&dialog);
    auto* prompt = new QLabel(QStringLiteral("The text is typed key by key on a US keyboard layout "
                                             "(Ctrl+Enter types it):"),
                              &dialog);
    prompt->setTextFormat(Qt::PlainText);
    prompt->setWordWrap(true);
    layout->addWidget(prompt);
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
    return true;
}

bool ConfirmDialog(QWidget* Parent, const QString& Question) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("CorvastelPcApp"), Question,
                    QMessageBox::Yes | QMessageBox::No, Parent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}
