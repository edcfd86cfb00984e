#pragma once

#include <string>
#include <string_view>

namespace kivo {

// What VisibleText makes of line ends.
enum class LineEnds {
  kEscape,   // every CR and LF is escaped: the text stays one line
  kKeepCrLf  // a CR LF pair becomes "\n"; a lone CR or LF is escaped
};

// `text` as it may go to a terminal: what could drive the terminal (C0 controls, DEL, C1
// controls) or silently reorder the line (bidirectional embeddings, overrides, isolates and
// marks, line and paragraph separators) is shown as an escape, \x1b below U+0080 and \u202e
// above, and so is each byte that is not UTF-8 (\xff). Everything else, backslashes included,
// stays as it is, so ordinary text and Windows paths read unchanged. With kEscape the result
// holds nothing to escape again.
std::string VisibleText(std::string_view text, LineEnds lineEnds = LineEnds::kEscape);

}  // namespace kivo
