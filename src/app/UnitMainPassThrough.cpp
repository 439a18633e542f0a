// Pass-through mode, the shortcut buttons, the key display and the input hook handlers.
#include "app/UnitMain.h"

void TFormCorvastelPc::BtnHookClick(QObject* /*Sender*/) {}

void TFormCorvastelPc::LeavePassThrough() {}

void TFormCorvastelPc::BtnShortcutMouseDown(QObject* /*Sender*/, Qt::MouseButton /*Button*/,
                                            TShiftState /*Shift*/, int /*X*/, int /*Y*/) {}

void TFormCorvastelPc::BtnShortcutMouseUp(QObject* /*Sender*/, Qt::MouseButton /*Button*/,
                                          TShiftState /*Shift*/, int /*X*/, int /*Y*/) {}

void TFormCorvastelPc::ShowPressedKey(const TIntArray& /*Keys*/) {}

void TFormCorvastelPc::ShowKeypadMouse(const QString& /*Primary*/, const QString& /*Second*/) {}

bool TFormCorvastelPc::IsCtrlShiftPressed(const TIntArray& /*Keys*/) const {
    return false;
}

bool TFormCorvastelPc::IsExitChordPressed(const TIntArray& /*Keys*/) const {
    return false;
}

void TFormCorvastelPc::KeyboardHookHandler(THook& /*Hook*/, THookMessage& /*HookMsg*/) {}

void TFormCorvastelPc::MouseHookHandler(THook& /*Hook*/, THookMessage& /*HookMsg*/) {}
