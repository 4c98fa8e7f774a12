// For thread-local variables read on every attribute write or bitmap call.
//
// The default model of a loaded library calls into the loader at each access; initial-exec reads
// the variable at a fixed offset from the thread pointer. Only for a few small variables: they
// take room that the loader keeps for libraries loaded after start-up.
#pragma once

#define VELDRAKE_HOT_THREAD_LOCAL thread_local __attribute__((tls_model("initial-exec")))
