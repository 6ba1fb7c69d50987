// The terminal in a window, under SDL's offscreen video driver so that no display is needed:
// the user's keys and clicks go in as SDL events, and the window must show, pixel for pixel,
// the pictures that --screens saves of the same run.
#include "sim/window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/display.h"
#include "sim/shell.h"
#include "sim/window_run.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using sim::WindowInput;
using testing_support::ApplicationSettings;
using testing_support::BuildPackage;
using testing_support::TempDir;
using testing_support::WriteHostFile;

constexpr int kScale = 2;
constexpr uint32_t kPlay = 13;
constexpr uint32_t kStop = 17;
constexpr uint32_t kBack = 16;
constexpr uint32_t kTab = 9;
constexpr uint32_t kF3 = 114;

const sim::FaceKey& Key(uint32_t virtualKey) {
  for (const sim::FaceKey& key : sim::kFaceKeys) {
    if (key.virtualKey == virtualKey) return key;
  }
  throw std::logic_error("no such key on the face");
}

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("SDL_VIDEODRIVER", "offscreen", 1); }

  void SetUp() override {
    const auto dir = m_dir.Path() / "terminal";
    const sim::Status created = sim::Terminal::Init(dir, m_config);
    ASSERT_TRUE(created.ok()) << created.error();
    auto terminal = sim::Terminal::Open(dir, sim::ClockMode::kRealtime);
    ASSERT_TRUE(terminal.ok()) << terminal.error();
    m_terminal = std::move(*terminal);
    m_terminal->Clock().SetSpeed(1000);
    auto window = sim::TerminalWindow::Open({"window test", kScale});
    ASSERT_TRUE(window.ok()) << window.error();
    m_window = std::move(*window);
  }

  // An application package beside the program.
  void PlaceApplicationPackage() {
    const std::string script =
        "MKDIR|\\Flash Disk2\\Apps\r\n"
        "COPY|App.exe|\\Flash Disk2\\Apps\\App.exe\r\n"
        "MKDIR|\\Flash Disk2\\Tavimon\r\n"
        "COPY|version.txt|\\Flash Disk2\\Tavimon\\version.txt\r\n";
    WriteHostFile(m_terminal->Files().HostPath("\\Storage Card\\install.bin"),
                  BuildPackage({{"Vostrel.ini", ApplicationSettings("2.0.0", script)},
                                {"App.exe", "application 2.0.0"},
                                {"version.txt", "2.0.0\r\n"}}));
  }

  // What the user does in the window once a screen appears.
  struct Step {
    int screen;
    bool versionDialog;
    std::function<void(sim::TerminalWindow&)> act;
  };

  // Runs the updater in the window; each step acts when its screen first appears after the
  // previous step's. `shown` hears of every frame that changed the screen trace.
  sim::WindowRun Run(std::vector<Step> steps,
                     std::function<void(const sim::ShownFrame&)> shown = nullptr) {
    std::size_t next = 0;
    sim::WindowRunOptions options;
    options.onShown = [&](const sim::ShownFrame& frame) {
      if (!frame.traceChanged) return;
      if (shown) shown(frame);
      if (next < steps.size() && frame.entry.screen == steps[next].screen &&
          frame.entry.versionDialog == steps[next].versionDialog) {
        steps[next++].act(*m_window);
      }
    };
    auto ran = sim::RunInWindow(*m_terminal, {}, *m_window, options);
    EXPECT_TRUE(ran.ok()) << ran.error();
    EXPECT_EQ(next, steps.size()) << "steps left undone";
    return ran.ok() ? *ran : sim::WindowRun{};
  }

  static void Type(sim::TerminalWindow& window, const char* name) {
    ASSERT_TRUE(window.PushKey(name, true).ok());
    ASSERT_TRUE(window.PushKey(name, false).ok());
  }
  static void Click(sim::TerminalWindow& window, uint32_t virtualKey) {
    const sim::FaceRect& rect = Key(virtualKey).rect;
    const int x = (rect.x + rect.w / 2) * kScale;
    const int y = (rect.y + rect.h / 2) * kScale;
    window.PushMouse(x, y, true);
    window.PushMouse(x, y, false);
  }

  TempDir m_dir;
  sim::TerminalConfig m_config;
  std::unique_ptr<sim::Terminal> m_terminal;
  std::unique_ptr<sim::TerminalWindow> m_window;
};

TEST_F(WindowTest, AWholeUpdateThroughTheWindowShowsThePixelsThatScreensSaves) {
  PlaceApplicationPackage();
  auto recorder = sim::ScreenRecorder::Start(m_terminal->Gui(), m_dir.Path() / "shots");
  ASSERT_TRUE(recorder.ok()) << recorder.error();
  std::vector<sim::ScreenImage> windowScreens;
  std::vector<int> windowScreenNumbers;

  const sim::WindowRun run = Run({{3, false, [](sim::TerminalWindow& w) { Type(w, "Return"); }},
                                  {8, false, [](sim::TerminalWindow& w) { Type(w, "Return"); }}},
                                 [&](const sim::ShownFrame& frame) {
                                   auto screen = m_window->ReadScreen();
                                   ASSERT_TRUE(screen.ok()) << screen.error();
                                   windowScreens.push_back(*screen);
                                   windowScreenNumbers.push_back(frame.entry.screen);
                                 });

  EXPECT_FALSE(run.closed);
  EXPECT_EQ(run.outcome.screens, (std::vector<int>{1, 3, 7, 8}));
  EXPECT_EQ(run.outcome.end, sim::RunEnd::kRebooted);
  EXPECT_EQ(run.outcome.exitCode, 0);
  EXPECT_EQ(run.outcome.parts[2].installedAfter, "2.0.0");
  EXPECT_EQ(
      testing_support::ReadHostFile(m_terminal->Files().HostPath("\\Flash Disk2\\Apps\\App.exe")),
      "application 2.0.0");

  // Each picture of --screens, the progress bar's steps among them, is what the window showed.
  const std::vector<std::filesystem::path>& files = (*recorder)->Files();
  ASSERT_EQ(files.size(), windowScreens.size());
  EXPECT_TRUE(std::any_of(run.outcome.trace.begin(), run.outcome.trace.end(),
                          [](const sim::TraceEntry& entry) { return entry.progressVisible; }));
  auto display = sim::Display::Open();
  ASSERT_TRUE(display.ok()) << display.error();
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].filename().string());
    auto saved = (*display)->LoadPng(files[i]);
    ASSERT_TRUE(saved.ok()) << saved.error();
    EXPECT_TRUE(*saved == windowScreens[i]);
    EXPECT_EQ(run.outcome.trace[i].screen, windowScreenNumbers[i]);
  }
}

// On the version dialog TAB is held while F3 is pressed and released, which unmarks the
// application; TAB's release does not close the dialog, STOP does. With nothing marked, PLAY
// finds nothing to update. The keyboard and clicks on the face (where a click holds TAB until
// the next) must do the same.
TEST_F(WindowTest, TabHeldWhileF3IsPressedFlipsTheApplicationFromTheKeyboardAndTheFace) {
  PlaceApplicationPackage();
  const struct {
    const char* name;
    std::function<void(sim::TerminalWindow&)> back, tabF3, stop, play;
  } ways[] = {
      {"keyboard", [](sim::TerminalWindow& w) { Type(w, "Backspace"); },
       [](sim::TerminalWindow& w) {
         ASSERT_TRUE(w.PushKey("Tab", true).ok());
         Type(w, "F3");
         ASSERT_TRUE(w.PushKey("Tab", false).ok());
       },
       [](sim::TerminalWindow& w) { Type(w, "Escape"); },
       [](sim::TerminalWindow& w) { Type(w, "Return"); }},
      {"face", [](sim::TerminalWindow& w) { Click(w, kBack); },
       [](sim::TerminalWindow& w) {
         Click(w, kTab);
         Click(w, kF3);
         Click(w, kTab);
       },
       [](sim::TerminalWindow& w) { Click(w, kStop); },
       [](sim::TerminalWindow& w) { Click(w, kPlay); }},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    const sim::WindowRun run = Run({{3, false, way.back},
                                    {3, true,
                                     [&](sim::TerminalWindow& w) {
                                       way.tabF3(w);
                                       way.stop(w);
                                     }},
                                    {3, false, way.play},
                                    {5, false, way.play}});
    EXPECT_EQ(run.outcome.screens, (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(run.outcome.end, sim::RunEnd::kLeft);
    EXPECT_TRUE(run.outcome.parts[2].offered);
    EXPECT_FALSE(run.outcome.parts[2].marked);
  }
}

// Closing the window cuts the power: while the updater waits for a key with nothing else due,
// and while it waits for a shell that will not stop. The run ends there and the terminal
// starts again.
TEST_F(WindowTest, ClosingTheWindowCutsThePowerWhereverTheUpdaterWaits) {
  PlaceApplicationPackage();
  sim::TerminalConfig& config = m_terminal->MutableConfig();
  config.Get<sim::ShellConfig>().onDestroy = sim::ShellDestroy::kIgnore;
  config.Get<sim::ShellConfig>().canBeTerminated = false;
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::vector<int> screens;
  } cases[] = {
      {"on the welcome screen",
       {{3, false, [](sim::TerminalWindow& w) { w.PushClose(); }}},
       {1, 3}},
      {"during the update",
       {{3, false, [](sim::TerminalWindow& w) { Type(w, "Return"); }},
        {7, false, [](sim::TerminalWindow& w) { w.PushClose(); }}},
       {1, 3, 7}},
  };
  // The shell's shutdown waits ten seconds of the terminal's time; slow enough that the close
  // comes first.
  m_terminal->Clock().SetSpeed(10);
  for (const auto& closing : cases) {
    SCOPED_TRACE(closing.name);
    const int restarts = m_terminal->Seen().restarts;
    const sim::WindowRun run = Run(closing.steps);
    EXPECT_TRUE(run.closed);
    EXPECT_EQ(run.outcome.end, sim::RunEnd::kPowerCut);
    EXPECT_EQ(run.outcome.screens, closing.screens);
    EXPECT_EQ(run.outcome.exitCode, 4);
    EXPECT_EQ(m_terminal->Seen().restarts, restarts + 1);
  }
}

// Each key of the face is pressed by its keyboard key and by a click; a key already held is
// not pressed again, and the mouse lets go of a key wherever the button is released.
TEST_F(WindowTest, EveryKeyOfTheFaceWorksFromTheKeyboardAndByClicking) {
  const auto down = [](uint32_t key) { return WindowInput{WindowInput::Kind::kKeyDown, key}; };
  const auto up = [](uint32_t key) { return WindowInput{WindowInput::Kind::kKeyUp, key}; };
  for (const sim::FaceKey& key : sim::kFaceKeys) {
    SCOPED_TRACE(key.label);
    for (const char* name : key.keyNames) {
      if (name == nullptr) continue;
      Type(*m_window, name);
      EXPECT_EQ(m_window->Poll(0),
                (std::vector<WindowInput>{down(key.virtualKey), up(key.virtualKey)}));
    }
    Click(*m_window, key.virtualKey);
    if (key.latching) {
      EXPECT_EQ(m_window->Poll(0), std::vector<WindowInput>{down(key.virtualKey)});
      Click(*m_window, key.virtualKey);
      EXPECT_EQ(m_window->Poll(0), std::vector<WindowInput>{up(key.virtualKey)});
    } else {
      EXPECT_EQ(m_window->Poll(0),
                (std::vector<WindowInput>{down(key.virtualKey), up(key.virtualKey)}));
    }
  }

  // Enter held while PLAY is clicked: one press, released when both have let go.
  ASSERT_TRUE(m_window->PushKey("Return", true).ok());
  const sim::FaceRect& play = Key(kPlay).rect;
  m_window->PushMouse((play.x + 2) * kScale, (play.y + 2) * kScale, true);
  m_window->PushMouse(0, 0, false);  // let go outside the key
  EXPECT_EQ(m_window->Poll(0), std::vector<WindowInput>{down(kPlay)});
  ASSERT_TRUE(m_window->PushKey("Return", false).ok());
  m_window->PushMouse(0, 0, true);  // the body of the terminal: no key
  m_window->PushClose();
  EXPECT_EQ(m_window->Poll(0),
            (std::vector<WindowInput>{up(kPlay), {WindowInput::Kind::kClose, 0}}));
}

TEST(FaceTest, TheKeysLieOnTheFaceApartFromEachOtherTheScreenAndTheStatusLine) {
  const sim::FaceRect face = {0, 0, sim::kFaceWidth, sim::kFaceHeight};
  const auto overlap = [](const sim::FaceRect& a, const sim::FaceRect& b) {
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
  };
  const auto inside = [](const sim::FaceRect& inner, const sim::FaceRect& outer) {
    return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.w <= outer.x + outer.w &&
           inner.y + inner.h <= outer.y + outer.h;
  };
  EXPECT_TRUE(inside(sim::kFaceScreen, sim::kFaceBezel));
  EXPECT_TRUE(inside(sim::kFaceBezel, face));
  EXPECT_FALSE(overlap(sim::kFaceBezel, sim::kFaceStatus));
  for (const sim::FaceKey& key : sim::kFaceKeys) {
    SCOPED_TRACE(key.label);
    EXPECT_TRUE(inside(key.rect, face));
    EXPECT_FALSE(overlap(key.rect, sim::kFaceBezel));
    EXPECT_FALSE(overlap(key.rect, sim::kFaceStatus));
    EXPECT_FALSE(overlap(key.rect, sim::kFaceHint));
    for (const sim::FaceKey& other : sim::kFaceKeys) {
      if (&other != &key) {
        EXPECT_FALSE(overlap(key.rect, other.rect)) << other.label;
      }
    }
  }
  EXPECT_EQ(std::size(sim::kFaceKeys), 8U);
}

}  // namespace
