// Releases the interpreter lock for the lifetime of the object; numerical work runs inside.
#pragma once

#include "python/pyref.hpp"

namespace spanlet::py {

class ReleaseGil {
    PyThreadState* state_;

public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;
};

}  // namespace spanlet::py
