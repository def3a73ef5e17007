// The reader's trace: with TALKING_READER_TRACE=1 in the environment, one line on standard
// error for each key the reader takes, each page it hears and shows or fails to, and each
// prompt it plays, so that support (and a test that drives the real program) can follow
// what it does without a sound card or a screen. Off otherwise. Never carries a character
// typed into the access-code box.
//
// Threading: GUI thread.
#pragma once

#include <string>

// True when the trace was asked for (read once).
bool TraceOn();
// Writes "talking-reader: trace: <what>" when the trace is on.
void Trace(const std::string& what);
