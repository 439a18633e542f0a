// Pass-through mode, the shortcut buttons, the key display and the input hook handlers.
#include <QCheckBox>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolTip>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/UnitMain.h"

namespace {

inline constexpr char HookHint[] = "按住CTRL+SHIFT+小键盘模拟鼠标  按住CTRL+SHIFT暂停鼠标直传";
inline constexpr char HookHintEnglish[] =
    "Hold Ctrl+Shift and use the numeric keypad as a mouse; hold Ctrl+Shift to pause sending the mouse "
    "(it then works here). Ctrl+Shift+F12 ends pass-through.";
inline constexpr char ShortcutPanelText[] = "辅助快捷键：";

QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Sets the key display's size for the label's current text. The sizes were chosen for a narrow
// Windows face; where the fallback face is wider, a long text (say "Ctrl+Alt+Del" at 32 pt) would be
// cut off at both ends, so it is made just small enough to fit the label instead.
void SetFontPoints(QLabel* label, int points) {
    QFont font = label->font();
    int pixels = KeyDisplayPixels(points);
    font.setPixelSize(pixels);
    const int room = label->contentsRect().width();
    const QString text = label->text();
    while (pixels > 8 && room > 0 && QFontMetrics(font).horizontalAdvance(text) > room) {
        font.setPixelSize(--pixels);
    }
    label->setFont(font);
}

// What the forwarding logic needs of the window.
class TWindowForwarding final : public TForwardTarget {
  public:
    explicit TWindowForwarding(TFormCorvastelPc& window, THookPlatform& platform)
        : FWindow(window), FPlatform(platform) {}

    bool KeyboardForwarded() const override { return FWindow.cbKeyboard->isChecked(); }
    bool MouseForwarded() const override { return FWindow.cbMouse->isChecked(); }
    void SendReportToActive(TReportType ReportType, bool Empty) override {
        FWindow.SendReportToActive(ReportType, Empty);
    }
    void ShowPressedKey(const TIntArray& Keys) override { FWindow.ShowPressedKey(Keys); }
    void ShowKeypadMouse(std::string_view Primary, std::string_view Second) override {
        FWindow.ShowKeypadMouse(FromUtf8(Primary), FromUtf8(Second));
    }
    void ExitPassThrough() override { FWindow.ExitPassThrough(); }
    bool HeldPointerPosition(THookPoint& Pt) override { return FPlatform.HeldPointerPosition(Pt); }
    bool SelectRoute(int Digit) override { return FWindow.SelectRoute(Digit); }

  private:
    TFormCorvastelPc& FWindow;
    THookPlatform& FPlatform;
};

// The hook error in the user's terms: what failed, then why, when the platform says. The error's
// own text names the hook's class, which says nothing to a user.
std::runtime_error HookFailure(const EHookError& error, bool mouse) {
    std::string text = mouse ? "Pass-through cannot start: this computer's mouse cannot be captured."
                             : "Pass-through cannot start: this computer's keyboard cannot be captured.";
    if (!error.Reason().empty()) {
        text += "\n" + error.Reason();
    } else {
        text += "\nAnother program may hold it (a menu, a screen lock): close that and try again.";
    }
    return std::runtime_error(text);
}

}  // namespace

TForwardTarget& TFormCorvastelPc::Forwarding() {
    if (!FForwarding) {
        FForwarding = std::make_unique<TWindowForwarding>(*this, *FHookPlatform);
    }
    return *FForwarding;
}

void TFormCorvastelPc::BtnHookClick(QObject* /*Sender*/) {
    const bool on = !FHook->Active();
    // Mouse only: the keyboard hook just watches for Ctrl+Shift and the exit chord, and takes no key.
    FHook->SetStartsSwallowing(cbKeyboard->isChecked());
    try {
        FHook->SetActive(on);
    } catch (const EHookError& error) {
        // The same box as a failing mouse hook: what failed and the platform's reason (a Wayland
        // session, no X server), which would otherwise reach only stderr.
        AbandonPassThrough(error);
    }
    if (!on) {
        // Off whatever the mouse box says: a mouse hook left on would keep the desktop's mouse.
        FHookMouse->SetActive(false);
    } else if (cbMouse->isChecked()) {
        try {
            FHookMouse->SetActive(true);
        } catch (const EHookError& error) {
            AbandonPassThrough(error);
        }
    }
    BtnHook->setText(HookCaptions[FHook->Active()]);
    if (FHook->Active()) {
        MouseXgt.time = 0;
        MouseStartPt = {0, 0};
        CtrlShiftHeld = false;
        Memo1->clear();
        cbKeyboard->setEnabled(false);
        cbMouse->setEnabled(false);
        // The described hint first, then the same in English; wrapped, not one line across the screen.
        const QString hint =
            ToolTipText(QString::fromUtf8(HookHint) + QLatin1Char('\n') + QString::fromUtf8(HookHintEnglish));
        BtnHook->setToolTip(hint);
        if (BtnHook->isVisible()) {
            QToolTip::showText(BtnHook->mapToGlobal(QPoint(0, BtnHook->height())), hint, BtnHook);
        }
        if (cbKeyboard->isChecked()) {
            Button1->setVisible(true);
            Button2->setVisible(true);
            StatusBar1->SetPanelText(1, QString::fromUtf8(ShortcutPanelText));
        }
    } else {
        LeavePassThrough();
        ShowHookButtonHelp();
        QToolTip::hideText();
    }
    UpdateLinkNotices();
}

void TFormCorvastelPc::LeavePassThrough() {
    ClearPressedKeys();
    SendReportToActive(TReportType::KeyboardIn, true);
    ClearMouseItems();
    SendReportToActive(TReportType::Mouse, true);
    // Keypad keys and buttons still down can no longer be released through the hooks.
    ForgetHeldModeKeys();
    lbKeyPrimary->clear();
    lbKeySecond->clear();
    cbKeyboard->setEnabled(true);
    cbMouse->setEnabled(true);
    Button1->setVisible(false);
    Button2->setVisible(false);
    StatusBar1->SetPanelText(1, QString());
}

void TFormCorvastelPc::ExitPassThrough() {
    LeavePassThrough();
    FHook->SetActive(false);
    FHookMouse->SetActive(false);
    BtnHook->setText(HookCaptions[FHook->Active()]);
    ShowHookButtonHelp();
    QToolTip::hideText();
    UpdateLinkNotices();
}

void TFormCorvastelPc::AbandonPassThrough(const EHookError& Error) {
    // No capture may go on while the window shows Off, and nothing stays held on the targets.
    const bool controlsShowOn = !cbKeyboard->isEnabled();
    FHook->SetActive(false);
    FHookMouse->SetActive(false);
    if (controlsShowOn) {
        LeavePassThrough();
    }
    BtnHook->setText(HookCaptions[false]);
    ShowHookButtonHelp();
    QToolTip::hideText();
    UpdateLinkNotices();
    throw HookFailure(Error, std::string_view(Error.what()).starts_with(FHookMouse->ClassName()));
}

void TFormCorvastelPc::BtnShortcutMouseDown(QObject* Sender, Qt::MouseButton /*Button*/,
                                            TShiftState /*Shift*/, int /*X*/, int /*Y*/) {
    if (!FHook->Active() || !cbKeyboard->isChecked()) {
        return;
    }
    // While the button is held, local input is not captured.
    FShortcutHeld = true;
    FHook->SetActive(false);
    if (cbMouse->isChecked()) {
        FHookMouse->SetActive(false);
    }
    if (Sender == Button1) {
        ClearPressedKeys();
        for (int32_t usage : {UsageLeftCtrl, UsageLeftAlt, 76 /* Delete */}) {
            AddPressedKey(usage);
            SendReportToActive(TReportType::KeyboardIn, false);
        }
        lbKeyPrimary->setText("Ctrl+Alt+Del");
    } else {
        // Keys still held go into these reports as well (Ctrl and Shift held to pause the mouse).
        for (int32_t usage : {UsageLeftWin, 15 /* L */}) {
            AddPressedKey(usage);
            SendReportToActive(TReportType::KeyboardIn, false);
        }
        lbKeyPrimary->setText("Win+L");
    }
    SetFontPoints(lbKeyPrimary, ShortcutPoints);
    lbKeySecond->clear();
    ClearPressedKeys();
    SendReportToActive(TReportType::KeyboardIn, true);
    // With the hooks off, the releases of keys held now (Ctrl and Shift, held to pause the mouse so
    // the button could be clicked) are never seen: forget them with the table, or the keypad would
    // stay a mouse and mouse forwarding stay paused after the button is let go. Buttons held on the
    // target through the keypad mouse are released too.
    CtrlShiftHeld = false;
    ForgetHeldModeKeys();
    const bool buttonHeld =
        std::any_of(MouseItems.begin(), MouseItems.begin() + MouseItemCount, [](const TMouseItem& m) {
            return m.Code >= MouseCodeLeft && m.Code <= MouseCodeButton5 && m.Value > 0;
        });
    if (buttonHeld) {
        ClearMouseItems();
        SendReportToActive(TReportType::Mouse, true);
    }
}

void TFormCorvastelPc::BtnShortcutMouseUp(QObject* /*Sender*/, Qt::MouseButton /*Button*/,
                                          TShiftState /*Shift*/, int /*X*/, int /*Y*/) {
    // Only a press that took the hooks off puts them back: a release alone must not start capturing.
    if (std::exchange(FShortcutHeld, false)) {
        // The pointer moved freely meanwhile: motion starts again from where it is held now.
        MouseXgt.time = 0;
        MouseStartPt = {0, 0};
        try {
            if (cbKeyboard->isChecked()) {
                FHook->SetActive(true);
            }
            if (cbMouse->isChecked()) {
                FHookMouse->SetActive(true);
            }
        } catch (const EHookError& error) {
            AbandonPassThrough(error);
        }
    }
    lbKeyPrimary->clear();
    lbKeySecond->clear();
}

void TFormCorvastelPc::ShowPressedKey(const TIntArray& Keys) {
    if (Keys.empty()) {
        lbKeyPrimary->clear();
        lbKeySecond->clear();
        return;
    }
    const int32_t usage = Keys.back();
    const std::string_view primary = UsageIdToKeyLabel(usage);
    lbKeyPrimary->setText(FromUtf8(primary));
    // The table doubles '&' for labels that take accelerators; this label shows text as it is.
    lbKeySecond->setText(
        FromUtf8(UsageIdToShiftLabel(usage)).replace(QLatin1String("&&"), QLatin1String("&")));
    SetFontPoints(lbKeyPrimary, KeyPrimaryPoints(primary));
}

void TFormCorvastelPc::ShowKeypadMouse(const QString& Primary, const QString& Second) {
    lbKeyPrimary->setText(Primary);
    lbKeySecond->setText(Second);
    // QString lengths are UTF-16 units, as the size rules count.
    SetFontPoints(lbKeyPrimary, Primary.size() > 3 ? 40 : 64);
    SetFontPoints(lbKeySecond, Second.size() > 3 ? 28 : 40);
}

bool TFormCorvastelPc::IsCtrlShiftPressed(const TIntArray& Keys) const {
    return ::IsCtrlShiftPressed(Keys);
}

bool TFormCorvastelPc::IsExitChordPressed(const TIntArray& Keys) const {
    return ::IsExitChordPressed(Keys);
}

void TFormCorvastelPc::KeyboardHookHandler(THook& Hook, THookMessage& HookMsg) {
    const auto& keyboard = static_cast<const TLowLevelKeyboardHook&>(Hook);
    HookMsg.Result = ForwardKeyEvent(Forwarding(), keyboard.HookStruct());
}

void TFormCorvastelPc::MouseHookHandler(THook& Hook, THookMessage& HookMsg) {
    const auto& mouse = static_cast<const TLowLevelMouseHook&>(Hook);
    HookMsg.Result = ForwardMouseEvent(Forwarding(), {MouseStartPt, MouseXgt, MouseYgt, MouseZgt},
                                       mouse.MouseState(), mouse.HookStruct());
}
