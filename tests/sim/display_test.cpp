#include "sim/display.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/main_dialog.h"
#include "app/resources.h"
#include "app/screens.h"
#include "sim/gui.h"
#include "support/terminal_fixture.h"
#include "text/text.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::ReadHostFile;
using testing_support::TempDir;
using testing_support::TerminalTest;

// Where the main dialog's controls lie on the screen, in pixels.
constexpr int kProgressLeft = 83;
constexpr int kProgressRight = 234;  // exclusive
constexpr int kProgressTop = 170;
constexpr int kProgressBottom = 190;
constexpr int kErrorTop = 218;
constexpr int kErrorBottom = 238;

// The bitmap as the screen shows it when nothing covers it.
sim::ScreenImage BitmapImage(int id) {
  const BitmapResource* bitmap = FindBitmapResource(id);
  sim::ScreenImage image;
  for (std::size_t i = 0; i < image.pixels.size(); ++i) {
    const uint8_t* colour = bitmap->palette + 3 * bitmap->pixels[i];
    image.pixels[i] = (uint32_t{colour[0]} << 16) | (uint32_t{colour[1]} << 8) | colour[2];
  }
  return image;
}

struct MainState {
  int bitmap = 129;
  bool progressVisible = false;
  int rangeMax = 100;
  int position = 0;
  bool errorVisible = false;
  std::string errorText = "(1019)CHECKSUM FAILED (CFileAccess::IsCheckSumValid:)";
};

platform::DialogState MainDialog(const MainState& state) {
  CRunContext run;
  CVostrelHHTDlg dialog(run);
  delete dialog.m_picture.SetBitmap(new ui::Bitmap(state.bitmap));
  dialog.m_progress.SetRange(0, state.rangeMax);
  dialog.m_progress.SetPos(state.position);
  dialog.m_progress.ShowWindow(state.progressVisible);
  dialog.m_errorLine.SetWindowText(state.errorText);
  dialog.m_errorLine.ShowWindow(state.errorVisible);
  return dialog.Describe();
}

platform::DialogState VersionDialog(std::vector<std::vector<std::string>> rows) {
  platform::DialogState dialog{132, "Version Information", 173, 75, true, {}};
  platform::ControlState list;
  list.id = 1002;
  list.kind = platform::ControlKind::kListView;
  list.x = 3;
  list.y = 4;
  list.width = 166;
  list.height = 61;
  list.columns = {"Software", "Current", "New", "Update"};
  list.columnWidths = {80, 74, 74, 58};
  list.rows = std::move(rows);
  platform::ControlState version;
  version.id = 1009;
  version.kind = platform::ControlKind::kStaticText;
  version.x = 134;
  version.y = 66;
  version.width = 36;
  version.height = 8;
  version.text = "1.0.08";
  dialog.controls = {list, version};
  return dialog;
}

// Columns in [left, right) of the rows [top, bottom) where the pictures differ.
struct Span {
  int first = -1;
  int last = -1;
  int count = 0;
};
Span Differences(const sim::ScreenImage& a, const sim::ScreenImage& b, int top, int bottom,
                 int left = 0, int right = sim::kScreenWidth) {
  Span span;
  for (int x = left; x < right; ++x) {
    bool differs = false;
    for (int y = top; y < bottom; ++y) differs = differs || a.At(x, y) != b.At(x, y);
    if (!differs) continue;
    if (span.first < 0) span.first = x;
    span.last = x;
    ++span.count;
  }
  return span;
}

// Rows [top, bottom) where the pictures differ anywhere.
Span RowDifferences(const sim::ScreenImage& a, const sim::ScreenImage& b) {
  Span span;
  for (int y = 0; y < sim::kScreenHeight; ++y) {
    bool differs = false;
    for (int x = 0; x < sim::kScreenWidth; ++x) differs = differs || a.At(x, y) != b.At(x, y);
    if (!differs) continue;
    if (span.first < 0) span.first = y;
    span.last = y;
    ++span.count;
  }
  return span;
}

TEST(BitmapResourcesTest, TheElevenScreenPicturesAreBuiltIn) {
  std::vector<int> ids;
  for (const BitmapResource& bitmap : BitmapResources()) ids.push_back(bitmap.id);
  EXPECT_EQ(ids, (std::vector<int>{129, 130, 132, 133, 134, 135, 136, 141, 142, 143, 144}));
  for (const ScreenInfo* screen = ScreensBegin(); screen != ScreensEnd(); ++screen) {
    SCOPED_TRACE(screen->name);
    const BitmapResource* bitmap = FindBitmapResource(screen->bitmap);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(bitmap->width, 320);
    EXPECT_EQ(bitmap->height, 240);
    // A picture carries text: far more than a few colours, and none like another.
    const std::set<uint8_t> used(bitmap->pixels, bitmap->pixels + 320 * 240);
    EXPECT_GT(used.size(), 16u);
    for (const ScreenInfo* other = ScreensBegin(); other != screen; ++other) {
      EXPECT_FALSE(std::equal(bitmap->pixels, bitmap->pixels + 320 * 240,
                              FindBitmapResource(other->bitmap)->pixels))
          << other->name;
    }
  }
  for (const int missing : {0, 128, 131, 145}) EXPECT_EQ(FindBitmapResource(missing), nullptr);
}

TEST(BitmapResourcesTest, UpdateScreensLeaveTheProgressBarAreaClear) {
  for (const int id : {135, 136, 141}) {
    SCOPED_TRACE(id);
    const sim::ScreenImage image = BitmapImage(id);
    const uint32_t background = image.At(kProgressLeft, kProgressTop);
    for (int y = kProgressTop; y < kProgressBottom; ++y) {
      for (int x = kProgressLeft; x < kProgressRight; ++x) {
        ASSERT_EQ(image.At(x, y), background) << x << "," << y;
      }
    }
  }
}

class DisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = sim::Display::Open();
    ASSERT_TRUE(opened) << opened.error();
    m_display = std::move(*opened);
  }
  sim::ScreenImage Render(const std::vector<platform::DialogState>& dialogs) {
    return m_display->Render(platform::ScreenFrame{dialogs});
  }
  sim::ScreenImage RenderMain(const MainState& state) { return Render({MainDialog(state)}); }

  std::unique_ptr<sim::Display> m_display;
};

TEST_F(DisplayTest, TheMainDialogShowsItsPictureAsItIs) {
  for (const ScreenInfo* screen = ScreensBegin(); screen != ScreensEnd(); ++screen) {
    SCOPED_TRACE(screen->name);
    EXPECT_TRUE(RenderMain({.bitmap = screen->bitmap}) == BitmapImage(screen->bitmap));
  }
  const sim::ScreenImage empty = Render({});
  EXPECT_TRUE(std::all_of(empty.pixels.begin(), empty.pixels.end(),
                          [](uint32_t pixel) { return pixel == 0; }));
}

TEST_F(DisplayTest, RenderingIsDeterministic) {
  const std::vector<platform::DialogState> dialogs = {
      MainDialog({.bitmap = 133, .progressVisible = true, .position = 37, .errorVisible = true}),
      VersionDialog({{"BOOT", "1.0", "1.1", "Yes"}})};
  const sim::ScreenImage first = Render(dialogs);
  EXPECT_TRUE(first == Render(dialogs));
  EXPECT_FALSE(first == BitmapImage(133));
}

TEST_F(DisplayTest, TheProgressBarIsShownOnlyWhenVisibleAndFilledToItsPosition) {
  const sim::ScreenImage picture = BitmapImage(135);
  EXPECT_TRUE(RenderMain({.bitmap = 135, .position = 60}) == picture);

  const sim::ScreenImage empty = RenderMain({.bitmap = 135, .progressVisible = true});
  const Span bar = Differences(empty, picture, 0, sim::kScreenHeight);
  EXPECT_EQ(bar.first, kProgressLeft);
  EXPECT_EQ(bar.last, kProgressRight - 1);
  const Span rows = RowDifferences(empty, picture);
  EXPECT_EQ(rows.first, kProgressTop);
  EXPECT_EQ(rows.last, kProgressBottom - 1);

  // The filled part, measured along the bar's middle row against the empty bar.
  const auto filled = [&](int rangeMax, int position) {
    const sim::ScreenImage image = RenderMain(
        {.bitmap = 135, .progressVisible = true, .rangeMax = rangeMax, .position = position});
    return Differences(image, empty, 180, 181);
  };
  const Span half = filled(100, 50);
  const Span full = filled(100, 100);
  EXPECT_EQ(filled(100, 0).count, 0);
  EXPECT_EQ(half.first, kProgressLeft + 1);
  EXPECT_EQ(full.first, kProgressLeft + 1);
  EXPECT_EQ(full.last, kProgressRight - 2);
  EXPECT_NEAR(half.count * 2, full.count, 2);
  EXPECT_EQ(filled(200, 100).count, half.count);
  EXPECT_EQ(filled(0, 0).count, 0);  // an empty range shows an empty bar
}

TEST_F(DisplayTest, TheErrorLineIsShownOnlyWhenVisibleAndCentred) {
  const sim::ScreenImage picture = BitmapImage(133);
  EXPECT_TRUE(RenderMain({.bitmap = 133}) == picture);

  const sim::ScreenImage shown = RenderMain({.bitmap = 133, .errorVisible = true});
  const Span rows = RowDifferences(shown, picture);
  EXPECT_EQ(rows.first, kErrorTop);
  EXPECT_EQ(rows.last, kErrorBottom - 1);

  // The text against the same line without text: centred on the screen.
  const sim::ScreenImage blank = RenderMain({.bitmap = 133, .errorVisible = true, .errorText = ""});
  for (const std::string text :
       {"(0) ()", "(1019)CHECKSUM FAILED (CFileAccess::IsCheckSumValid:)"}) {
    SCOPED_TRACE(text);
    const Span glyphs =
        Differences(RenderMain({.bitmap = 133, .errorVisible = true, .errorText = text}), blank,
                    kErrorTop, kErrorBottom);
    ASSERT_GT(glyphs.count, 0);
    EXPECT_NEAR(glyphs.first + glyphs.last, sim::kScreenWidth, 6);
    EXPECT_GT(glyphs.first, 1);
    EXPECT_LT(glyphs.last, sim::kScreenWidth - 2);
  }
}

class ScreenRecorderTest : public TerminalTest {};

bool IsPng320By240(std::string_view bytes) {
  using namespace std::literals;
  return bytes.starts_with("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x01\x40\0\0\0\xf0"sv);
}

TEST_F(ScreenRecorderTest, AWholeRunSavesOnePictureForEachChangeOfTheScreenTrace) {
  const std::filesystem::path dir = Dir() / "shots";
  auto recorder = sim::ScreenRecorder::Start(Term().Gui(), dir);
  ASSERT_TRUE(recorder) << recorder.error();

  const sim::RunOutcome outcome = Run("");  // no package: loading, then invalid package

  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 2}));
  EXPECT_TRUE((*recorder)->Written()) << (*recorder)->Written().error();
  std::vector<std::filesystem::path> expected;
  for (std::size_t i = 0; i < outcome.trace.size(); ++i) {
    expected.push_back(dir / text::Sprintf("%04d-screen%02d.png", static_cast<int>(i) + 1,
                                           outcome.trace[i].screen));
  }
  ASSERT_EQ(expected.size(), 2u);
  EXPECT_EQ(expected[0].filename(), "0001-screen01.png");
  EXPECT_EQ(expected[1].filename(), "0002-screen02.png");
  EXPECT_EQ((*recorder)->Files(), expected);
  std::size_t onDisk = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    SCOPED_TRACE(entry.path().string());
    EXPECT_TRUE(IsPng320By240(ReadHostFile(entry.path())));
    ++onDisk;
  }
  EXPECT_EQ(onDisk, expected.size());
}

TEST_F(ScreenRecorderTest, AFolderThatCannotBeCreatedIsReported) {
  testing_support::WriteHostFile(Dir() / "file", "x");
  auto recorder = sim::ScreenRecorder::Start(Term().Gui(), Dir() / "file" / "shots");
  ASSERT_FALSE(recorder);
  EXPECT_THAT(recorder.error(), HasSubstr("shots"));
}

}  // namespace
