// Releases the interpreter lock for the lifetime of the object; numerical work runs inside.
#pragma once

#include "core/base/pool.hpp"
#include "python/pyref.hpp"

namespace spanlet::py {

// While released, parallel work started on this thread takes the lock back briefly between its
// items to run the signal handlers. A handler that raises (KeyboardInterrupt from Ctrl-C) cancels
// the work: the core call unwinds with Cancelled, dropping its partial results, and the entry
// point's guard returns with the handler's exception set.
class ReleaseGil {
    PyThreadState* state_;
    CancelScope scope_;

    static bool signalled(void* self) {
        auto* released = static_cast<ReleaseGil*>(self);
        PyEval_RestoreThread(released->state_);
        const bool raised = PyErr_CheckSignals() != 0;
        released->state_ = PyEval_SaveThread();
        return raised;
    }

public:
    ReleaseGil() : state_(PyEval_SaveThread()), scope_(&signalled, this) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;
};

}  // namespace spanlet::py
