#include "tests/support/recording_host.h"

namespace kivo::testing {

void RecordingHost::addStatus(std::string_view message) {
  status += message;
  status += "\r\n";
}

void RecordingHost::showMessage(std::string_view text) {
  messages.emplace_back(text);
  events.push_back("message");
}

void RecordingHost::prepareStatusBox(int widthTwips) {
  statusBoxWidth = widthTwips;
  events.push_back("statusbox");
}

}  // namespace kivo::testing
