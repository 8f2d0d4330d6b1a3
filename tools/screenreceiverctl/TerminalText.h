// Text on its way to a terminal: sender names from the service and words from the command
// line, echoed in tables and messages. A name could otherwise carry escape sequences that
// rewrite the screen or retitle the window, or direction controls that reorder the text
// around it. Pure functions; no state, no locks.
#pragma once

#include <string>

namespace ctl {

// Every byte shown, nothing acting: C0 and C1 controls, DEL and the bidirectional marks,
// embeddings, overrides and isolates are escaped, as \xNN when a single byte and
// \u{NNNN} when a multi-byte character; bytes that are not well-formed UTF-8 as \xNN.
// The backslash is doubled, so an escape in the output always stands for one thing.
std::string TerminalText(const std::string& text);

} // namespace ctl
