// The radio's state as the stack says it: one standing notice with what keeps Bluetooth from use and
// what to do, the start hint only while a scan can work, and dongles brought back once the radio is.
#include <QString>

#include "app/Notices.h"
#include "app/UnitMain.h"

void TFormCorvastelPc::RadioChanged(TRadioProblem Problem) {
    if (FClosed) {
        return;
    }
    const bool wasDown = FRadioKnown && RadioDown();
    FRadioKnown = true;
    FRadioProblem = Problem;
    SetNotice(TNotice::StackProblem, RadioNotice(Problem, wasDown));

    const QString startHint = QString::fromUtf8(StartHint);
    if (RadioDown()) {
        if (NoticeText(TNotice::Guide) == startHint) {
            SetNotice(TNotice::Guide, QString());
        }
    } else if (NoticeText(TNotice::Guide).isEmpty() && FoundDeviceCount == 0 && !Scanning) {
        SetNotice(TNotice::Guide, startHint);
    }

    if (wasDown && !RadioDown()) {
        // Each waited for the radio, not for its back-off: a user who switches Bluetooth on again
        // expects the dongles back now.
        Reconnect.RadioBack(ReconnectClock());
        ReconnectDue();
    } else {
        ArmReconnectTimer();  // stopped while the radio is down
    }
    UpdateLinkNotices();
}
