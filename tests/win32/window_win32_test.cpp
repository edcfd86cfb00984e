// The native window, cross-built for Windows, under Wine in a virtual display with a window
// manager: started, read and clicked from outside through the probe (window_probe.cpp), as a
// user and a screen reader would reach it. Expectations come from the layout table and the
// scenario the Qt window's run test drives too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/form/layout.h"
#include "tests/support/files.h"
#include "tests/support/kivo_schema.h"
#include "tests/support/standin_process.h"
#include "tests/support/web_directory.h"

extern char** environ;

namespace {

using kivo::Control;
using kivo::ControlKind;
using kivo::LayoutOf;

// Pixels at Wine's 96 dpi.
int Px(int twips) { return (twips + 7) / 15; }

pid_t Spawn(const std::vector<std::string>& args, const char* output, int displayFd = -1) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (displayFd >= 0) posix_spawn_file_actions_adddup2(&actions, displayFd, 3);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// Xvfb and openbox for the whole test program, unless the test run gives a display (as
// scripts/windows_test.sh does): the prefix's desktop process, which the first Wine program
// starts, draws every later window on its own display. Without a window manager, Wine's
// message boxes do not take clicks.
class VirtualDisplay : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* given = std::getenv("DISPLAY");
    if (given == nullptr || *given == '\0') {
      ASSERT_NO_FATAL_FAILURE(startDisplay());
    }
    if (!Managed()) openbox_ = Spawn({"openbox"}, "/dev/null");
    bool managed = Managed();
    for (int i = 0; i < 100 && !managed; ++i) {
      usleep(100000);
      managed = Managed();
    }
    ASSERT_TRUE(managed) << "openbox did not start";
  }
  void TearDown() override {
    Stop(openbox_);
    Stop(xvfb_);
  }

 private:
  static bool Managed() {
    return std::system("xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'") ==
           0;
  }

  void startDisplay() {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    xvfb_ = Spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                  "/dev/null", fds[1]);
    close(fds[1]);
    ASSERT_GT(xvfb_, 0);
    pollfd ready{fds[0], POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 20000), 1) << "Xvfb did not start";
    char number[16] = {};
    ASSERT_GT(read(fds[0], number, sizeof number - 1), 0);
    close(fds[0]);
    setenv("DISPLAY", (":" + std::string(number, strcspn(number, "\n"))).c_str(), 1);
  }

  pid_t xvfb_ = -1;
  pid_t openbox_ = -1;
};

struct Answer {
  int status = -1;
  std::string out;
};

// One command of the probe under Wine, cut off after two minutes.
Answer Probe(const std::vector<std::string>& args) {
  const std::string output = ::testing::TempDir() + "probe_out";
  std::vector<std::string> command = {"timeout", "-k",   "5",
                                      "120",     "wine", std::getenv("KIVO_WINDOWS_PROBE")};
  command.insert(command.end(), args.begin(), args.end());
  Answer answer;
  const pid_t pid = Spawn(command, output.c_str());
  if (pid <= 0) return answer;
  int status = 0;
  waitpid(pid, &status, 0);
  answer.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  answer.out = kivo::testing::ReadFile(output);
  return answer;
}

std::string Out(const std::vector<std::string>& args) {
  const Answer answer = Probe(args);
  EXPECT_EQ(answer.status, 0) << "probe " << args.front();
  return answer.out;
}

std::string Name(Control control) { return LayoutOf(control).name; }

struct State {
  bool visible;
  bool enabled;
  int left, top, width, height;
  int mask;  // the character a text box shows for each one typed, 0 for none
};

State StateOf(Control control) {
  std::istringstream in(Out({"state", Name(control)}));
  State s{};
  in >> s.visible >> s.enabled >> s.left >> s.top >> s.width >> s.height >> s.mask;
  return s;
}

class Win32Window : public ::testing::Test {
 protected:
  void TearDown() override { Probe({"kill"}); }

  void Launch(const std::vector<std::string>& environment = {}) {
    std::vector<std::string> args = {"launch", std::getenv("KIVO_WINDOWS_WINDOW")};
    args.insert(args.end(), environment.begin(), environment.end());
    ASSERT_EQ(Probe(args).status, 0) << "the window did not open";
  }

  // Presses Tab on the focused control again and again; the controls it reaches, in order.
  std::vector<std::string> TabOrder(int presses) {
    std::vector<std::string> reached;
    for (int i = 0; i < presses; ++i) {
      Out({"key", Out({"focus"}), "tab"});
      reached.push_back(Out({"focus"}));
    }
    return reached;
  }
};

TEST_F(Win32Window, OpensAsLaidOutWithTheUserNameAndTheFocusOnUpdate) {
  // Wine puts its own USERNAME into the environment of a program started from Linux.
  Launch({"USERNAME=Zoë Admin"});

  EXPECT_EQ(Out({"client"}), std::to_string(Px(kivo::kFormWidthTwips)) + " " +
                                 std::to_string(Px(kivo::kFormHeightTwips)));
  for (const kivo::ControlLayout& layout : kivo::FormLayout()) {
    if (layout.kind == ControlKind::kLine) continue;
    const State state = StateOf(layout.control);
    SCOPED_TRACE(layout.name);
    EXPECT_EQ(state.visible, layout.visible);
    EXPECT_EQ(state.enabled, layout.enabled);
    EXPECT_EQ(state.left, Px(layout.left));
    EXPECT_EQ(state.top, Px(layout.top));
    EXPECT_EQ(state.width, Px(layout.width));
    EXPECT_EQ(state.height, Px(layout.height));
    if (layout.kind == ControlKind::kTextBox) {
      EXPECT_EQ(state.mask, layout.masked ? '*' : 0);
    }
  }
  EXPECT_EQ(Out({"get", "Option1"}), std::string(LayoutOf(Control::Option1).text) + " (Zoë Admin)");
  EXPECT_EQ(Out({"get", "pwd"}), LayoutOf(Control::pwd).text);
  for (const kivo::ControlLayout& layout : kivo::FormLayout()) {
    if (const std::optional<Control> label = kivo::LabelOf(layout.control)) {
      EXPECT_EQ(Out({"label", layout.name}), LayoutOf(*label).text) << layout.name;
    }
  }

  EXPECT_EQ(Out({"focus"}), "Command1");
  // Hidden controls and the disabled status box are skipped; of the options only the selected.
  EXPECT_EQ(TabOrder(4),
            (std::vector<std::string>{"Command2", "Option1", "WebDirbox", "Command1"}));

  // Enter clicks the focused button; on Exit it ends the program.
  TabOrder(1);
  Out({"key", "Command2", "return"});
  EXPECT_EQ(Probe({"gone"}).status, 0);
}

TEST_F(Win32Window, LogonSwitchShowsTheSqlLoginAndKeepsWhatWasTyped) {
  Launch();
  const Control sqlLogin[] = {Control::Label1, Control::Label2, Control::saname, Control::pwd};

  Out({"click", "Option2"});
  for (Control control : sqlLogin) EXPECT_TRUE(StateOf(control).visible) << Name(control);
  Out({"set", "saname", "operator"});
  EXPECT_EQ(TabOrder(6), (std::vector<std::string>{"WebDirbox", "saname", "pwd", "Command1",
                                                   "Command2", "Option2"}));

  Out({"click", "Option1"});
  for (Control control : sqlLogin) EXPECT_FALSE(StateOf(control).visible) << Name(control);
  Out({"click", "Option2"});
  EXPECT_EQ(Out({"get", "saname"}), "operator");

  // The close box ends the program.
  Out({"close"});
  EXPECT_EQ(Probe({"gone"}).status, 0);
}

TEST_F(Win32Window, WholeRunThroughTheDriverUpgradesTheStandIn) {
  setenv("KIVO_ODBC_DRIVER", "FreeTDS", 1);
  const kivo::testing::WindowRunScenario run = kivo::testing::DriverRunFromWindow();
  kivo::testing::StandIn server(run.schema.scenarioJson());
  kivo::testing::WebDirectory dir;
  dir.writeEntry(kivo::testing::KivoConnectionValue(server.port()));
  std::string webDir = "Z:" + dir.pathText();
  std::replace(webDir.begin(), webDir.end(), '/', '\\');

  Launch();
  Out({"set", "WebDirbox", webDir});
  Out({"click", "Option2"});
  Out({"set", "saname", run.login});
  Out({"set", "pwd", run.password});
  Out({"click", "Command1"});

  // Title, one button, no icon, the text.
  EXPECT_EQ(Out({"message"}), std::string(kivo::kApplicationTitle) + "\n1 0\n" + run.message);
  // The enabled status box is a tab stop that Tab and Shift+Tab leave again, typing nothing
  // into the log.
  EXPECT_EQ(Out({"focus"}), "Command1");
  EXPECT_EQ(TabOrder(7), (std::vector<std::string>{"Command2", "StatusBox", "Option2", "WebDirbox",
                                                   "saname", "pwd", "Command1"}));
  EXPECT_EQ(TabOrder(2), (std::vector<std::string>{"Command2", "StatusBox"}));
  Out({"key", "StatusBox", "shift-tab"});
  EXPECT_EQ(Out({"focus"}), "Command2");
  EXPECT_EQ(Out({"get", "StatusBox"}), run.statusLog);
  const State box = StateOf(Control::StatusBox);
  EXPECT_TRUE(box.enabled);
  EXPECT_EQ(box.width, Px(6735));
  EXPECT_EQ(server.columnType("CHXD.Customer_Hist", "Address"),
            std::optional<std::string>("nvarchar(250)"));

  Out({"click", "Command2"});
  EXPECT_EQ(Probe({"gone"}).status, 0);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new VirtualDisplay);
  return RUN_ALL_TESTS();
}
