// Calls into plug-in code from a host's C entry point without letting an exception cross the
// C boundary.
#pragma once

namespace fw {

// Runs `f`; true when it returned, false when it threw.
template <class F>
bool Guarded(F&& f)
{
    try {
        f();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace fw
