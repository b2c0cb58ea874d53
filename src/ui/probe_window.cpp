#include "probe_window.h"

namespace approbe::ui {

void IProbeWindow::Apply(const WindowBatch& batch)
{
    using Kind = WindowOp::Kind;
    for (const WindowOp& op : batch.ops()) {
        switch (op.kind) {
        case Kind::Field: SetField(op.id, op.text); break;
        case Kind::Log: AppendLog(op.text); break;
        case Kind::ClearLog: ClearLog(); break;
        case Kind::Caption: SetCaption(op.text); break;
        case Kind::EnableConnect: EnableConnect(op.id != 0); break;
        case Kind::PauseCaption: SetPauseCaption(op.text); break;
        case Kind::BarRange: SetBarRange(op.id, op.a, op.b); break;
        case Kind::BarPos: SetBarPos(op.id, op.a); break;
        case Kind::BarColour: SetBarColour(op.id, op.colour); break;
        case Kind::Stale: SetStale(op.id != 0); break;
        }
    }
}

} // namespace approbe::ui
