// The form's logic through a recording view: what any front end is asked to do.
#include "app/form/main_form.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivo {
namespace {

class RecordingView : public FormView {
 public:
  RecordingView() {
    for (const ControlLayout& layout : FormLayout()) {
      texts[layout.control] = layout.text;
      if (!layout.visible) hidden.insert(layout.control);
    }
  }

  std::string controlText(Control control) const override { return texts.at(control); }
  void setControlText(Control control, std::string_view text) override {
    texts[control] = std::string(text);
  }
  void setControlVisible(Control control, bool visible) override {
    calls.push_back(std::string(visible ? "show " : "hide ") + LayoutOf(control).name);
    if (visible) {
      hidden.erase(control);
    } else {
      hidden.insert(control);
    }
  }
  void setControlEnabled(Control control, bool enabled) override {
    calls.push_back(std::string(enabled ? "enable " : "disable ") + LayoutOf(control).name);
  }
  void setControlWidth(Control control, int twips) override {
    calls.push_back(std::string("width ") + LayoutOf(control).name + " " + std::to_string(twips));
  }
  void setControlBackground(Control control, Rgb colour) override {
    calls.push_back(std::string("background ") + LayoutOf(control).name + " " +
                    std::to_string(colour.red));
  }
  void selectOption(Control option) override {
    calls.push_back(std::string("select ") + LayoutOf(option).name);
    selected = option;
  }
  bool optionSelected(Control option) const override { return selected == option; }
  void showTextEnd(Control box) override {
    calls.push_back(std::string("end ") + LayoutOf(box).name);
  }
  void messageBox(std::string_view text) override { messages.emplace_back(text); }
  void setBusyPointer(bool busy) override { calls.push_back(busy ? "busy" : "arrow"); }
  void unload() override { calls.push_back("unload"); }

  std::map<Control, std::string> texts;
  std::set<Control> hidden;
  Control selected = Control::StatusBox;
  std::vector<std::string> calls;
  std::vector<std::string> messages;
};

NameLookup Names(std::string user) {
  NameLookup names;
  names.computerName = [] { return std::string("WEB01"); };
  names.logonUserName = [user]() -> std::string {
    if (user.empty()) throw std::runtime_error("no user");
    return user;
  };
  return names;
}

TEST(MainForm, StartUpRunsItsStepsInOrderAndTheCaptionKeepsAnAmpersand) {
  unsetenv("USERNAME");
  RecordingView view;
  MainForm form(view, RunEnvironment{}, Names("R&D"));
  form.Form_Load();
  EXPECT_EQ(view.calls,
            (std::vector<std::string>{"background StatusBox 240", "select Option1", "hide Label1",
                                      "hide Label2", "hide saname", "hide pwd"}));
  EXPECT_EQ(view.texts[Control::ServerName], "WEB01");
  // Escaping for a toolkit's shortcut markers is the view's business, not the form's.
  EXPECT_EQ(view.texts[Control::Option1], "Use Windows Logon (R&D)");

  RecordingView failing;
  MainForm withoutUser(failing, RunEnvironment{}, Names(""));
  withoutUser.Form_Load();
  EXPECT_EQ(failing.texts[Control::Option1], "Use Windows Logon ()");
}

TEST(MainForm, LogonSwitchAndExitOnlyChangeVisibilityOrUnload) {
  RecordingView view;
  MainForm form(view, RunEnvironment{}, Names("u"));
  form.Option2_Click();
  EXPECT_EQ(view.hidden.count(Control::pwd), 0U);
  form.Option1_Click();
  EXPECT_EQ(view.hidden.count(Control::pwd), 1U);
  EXPECT_EQ(view.texts[Control::pwd], "quietlantern");
  view.calls.clear();
  form.Command2_Click();
  EXPECT_EQ(view.calls, std::vector<std::string>{"unload"});
}

TEST(MainForm, StatusLinesAppendToWhatTheBoxHoldsAndShowTheEnd) {
  RecordingView view;
  MainForm form(view, RunEnvironment{}, Names("u"));
  RunHost& host = form;
  view.texts[Control::StatusBox] = "typed";
  host.addStatus("");
  host.addStatus("line\r\n");
  EXPECT_EQ(view.texts[Control::StatusBox], "typed\r\nline\r\n\r\n");
  EXPECT_EQ(view.calls, (std::vector<std::string>{"end StatusBox", "end StatusBox"}));

  view.calls.clear();
  host.prepareStatusBox(6735);
  host.enableExit();
  EXPECT_EQ(view.calls, (std::vector<std::string>{"width StatusBox 6735", "enable StatusBox",
                                                  "enable Command2"}));
}

TEST(MainForm, AnErrorThatEscapesStartUpBecomesTheTextToReport) {
  RecordingView view;
  NameLookup names = Names("u");
  names.computerName = []() -> std::string { throw Error::Standard(kInvalidArgument); };
  MainForm form(view, RunEnvironment{}, names);
  EXPECT_EQ(LoadForm(form),
            std::optional<std::string>("Error 5: Invalid procedure call or argument"));
  EXPECT_TRUE(view.calls.size() == 1U && view.messages.empty());
}

TEST(FormLayout, CaptionsDoubleAmpersandsAndTwipsRoundAsWindowsRounds) {
  for (const std::string caption : {"R&D", "&&", "a & b&", "plain"}) {
    EXPECT_EQ(UnescapeCaption(EscapeCaption(caption)), caption);
  }
  EXPECT_EQ(EscapeCaption("R&D"), "R&&D");
  EXPECT_EQ(UnescapeCaption("a&b&&&"), "a&b&&");
  EXPECT_TRUE(ReadsShortcuts(Control::Option1) && ReadsShortcuts(Control::Command2));
  EXPECT_FALSE(ReadsShortcuts(Control::Label4) || ReadsShortcuts(Control::WebDirbox));

  // Half a pixel rounds up: 5 twips at 144 dpi; the form is 677 x 507 there.
  EXPECT_EQ(TwipsToPixels(7, kStandardDpi), 0);
  EXPECT_EQ(TwipsToPixels(8, kStandardDpi), 1);
  EXPECT_EQ(TwipsToPixels(kFormWidthTwips, kStandardDpi), 451);
  EXPECT_EQ(TwipsToPixels(5, 144), 1);
  EXPECT_EQ(TwipsToPixels(-5, 144), -1);
  EXPECT_EQ(TwipsToPixels(kFormWidthTwips, 144), 677);
  EXPECT_EQ(TwipsToPixels(kFormHeightTwips, 144), 507);
}

}  // namespace
}  // namespace kivo
