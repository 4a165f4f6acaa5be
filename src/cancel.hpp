// A caller's request to stop a long computation. The core knows nothing of
// who asks: a caller installs a hook (the extension's asks the interpreter
// whether Ctrl-C was pressed), and the long loops of the fits and the
// batches ask `requested()` between chunks of their work. A fit that was
// asked to stop returns Cancelled from its front end (fit_in_scale), its
// partial results discarded.
#pragma once

namespace velarix::cancel {

// True when the caller asks to stop. Called from the thread that runs the
// computation, at most every kInterval; it must be cheap and must not throw.
using Hook = bool (*)();

// Installs the hook for every thread (nullptr: none).
void install(Hook hook);

// Whether this thread's caller has asked to stop: once the hook has said so,
// true until `take`. The hook is consulted at most once per kInterval per
// thread, so that a check between small chunks costs a clock read.
bool requested();

// Whether a stop was requested on this thread since the last `take`; clears
// it.
bool take();

}  // namespace velarix::cancel
