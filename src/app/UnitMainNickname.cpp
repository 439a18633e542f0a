// Nicknames of dongles.
#include "app/UnitMain.h"

void TFormCorvastelPc::BtnRenameClick(QObject* /*Sender*/) {}
