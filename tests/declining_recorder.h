// A recorder that declines every change and answers as if it was made, as
// report-only does; installed for its scope.
#pragma once
#include "undo/change_gate.h"

class CDecliningRecorder : public IChangeRecorder
{
public:
    CDecliningRecorder() { SetChangeRecorder(this); }
    ~CDecliningRecorder() { SetChangeRecorder(NULL); }
    virtual Verdict Before(const ChangeRequest&) { return kDecline; }
    virtual void After(const ChangeRequest&, bool) {}
};
