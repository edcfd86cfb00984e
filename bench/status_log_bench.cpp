// The status log through the real window, offscreen: what one AddStatus costs when the box
// already holds n lines, what n calls cost together, and from what size on one call takes
// longer than a frame. Every call rewrites the whole box, so the cost per line grows with the
// log and the total with its square.
//
// Prints one JSON object per line on standard output, for bench/run.
#include <QApplication>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"
#include "app/qt/startup.h"

namespace {

using Clock = std::chrono::steady_clock;

// A status line as long as the run's typical ones.
constexpr const char* kLine = "Table CHXD.T2011 columns altered!";
constexpr double kFrameMs = 1000.0 / 60.0;

class SilentDialogs : public Dialogs {
 public:
  void message(QWidget*, const QString&) override {}
  void setBusyPointer(bool) override {}
};

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Window {
  SilentDialogs dialogs;
  std::unique_ptr<Form1> form;
  Window() : form(OpenMainWindow(kivo::RunEnvironment{}, dialogs)) {
    if (!form) std::exit(2);
    QApplication::processEvents();
  }
};

// One call when the box holds `lines` lines already: median of `samples` calls. The box is
// filled by one AddStatus whose message holds lines - 1 line ends, which leaves it as `lines`
// single calls would.
double MillisecondsPerLineAt(int lines, int samples) {
  Window window;
  std::string prefill;
  prefill.reserve(static_cast<std::size_t>(lines) * 40);
  for (int i = 1; i < lines; ++i) prefill.append(kLine).append("\r\n");
  prefill.append(kLine);
  window.form->form().addStatus(prefill);
  std::vector<double> times;
  for (int i = 0; i < samples; ++i) {
    const auto start = Clock::now();
    window.form->form().addStatus(kLine);
    times.push_back(MillisecondsSince(start));
  }
  return Median(times);
}

// `lines` calls into an empty box, as a run makes them.
double MillisecondsForCalls(int lines) {
  Window window;
  const auto start = Clock::now();
  for (int i = 0; i < lines; ++i) window.form->form().addStatus(kLine);
  return MillisecondsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const int samples = 5;

  for (const int lines : {50, 500, 5000}) {
    const double perLine = MillisecondsPerLineAt(lines, samples);
    std::printf("{\"kind\": \"per_line\", \"lines\": %d, \"ms\": %.6f}\n", lines, perLine);
    std::fflush(stdout);
  }
  // The smallest log at which one more line takes longer than a frame: doubling, then halving
  // the interval down to a few percent. Bounded by kMostLines, far beyond any run.
  constexpr int kMostLines = 1 << 18;
  int below = 5000;
  int above = 0;
  double atAbove = 0;
  for (int lines = 10000; lines <= kMostLines; lines *= 2) {
    const double ms = MillisecondsPerLineAt(lines, samples);
    if (ms > kFrameMs) {
      above = lines;
      atAbove = ms;
      break;
    }
    below = lines;
  }
  while (above != 0 && above - below > below / 32) {
    const int middle = below + (above - below) / 2;
    const double ms = MillisecondsPerLineAt(middle, samples);
    if (ms > kFrameMs) {
      above = middle;
      atAbove = ms;
    } else {
      below = middle;
    }
  }
  if (above != 0) {
    std::printf("{\"kind\": \"frame\", \"lines\": %d, \"ms\": %.6f}\n", above, atAbove);
  } else {
    std::printf("{\"kind\": \"frame\", \"lines\": null, \"below\": %d}\n", below);
  }
  std::fflush(stdout);

  for (const int lines : {50, 500, 5000}) {
    const double total = MillisecondsForCalls(lines);
    std::printf("{\"kind\": \"total\", \"lines\": %d, \"ms\": %.3f}\n", lines, total);
    std::fflush(stdout);
  }
  return 0;
}
