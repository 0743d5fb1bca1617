// What the program does with the file dialog's results (no device): a cancel
// does nothing, a model that does not load says so, a world path is told from a
// model path, and every result puts the model list back as the filter.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/state.h"
#include "platform/memory.h"

namespace {

const char* const kImages[] = {".png", nullptr};

struct OpenFile : testing::Test {
  void SetUp() override {
    memoryInit(~0ull, ~0ull);
    s = static_cast<State*>(memCalloc(1, sizeof(State)));
    ASSERT_NE(s, nullptr);
    appFileDialogInit(s);
  }
  void TearDown() override {
    fileDialogDestroy(&s->fileDialog);
    memFree(s);
  }
  State* s = nullptr;
};

TEST_F(OpenFile, ResultKinds) {
  struct Case {
    i32 result;
    const char* path;
    FileDialogPick want;
  };
  const Case cases[] = {
      {0, "/a/w.qel", FileDialogPick::None},      {-1, "/a/w.qel", FileDialogPick::Cancelled},
      {1, "/a/w.qel", FileDialogPick::World},     {1, "/a/W.QEL", FileDialogPick::World},
      {1, "a.qel", FileDialogPick::World},        {1, ".qel", FileDialogPick::Model},
      {1, "/a/m.glb", FileDialogPick::Model},     {1, "/a/w.qel.glb", FileDialogPick::Model},
  };
  for (const Case& c : cases) EXPECT_EQ(fileDialogPick(c.result, c.path), c.want) << c.result << " " << c.path;
}

TEST_F(OpenFile, EveryResultRestoresTheModelList) {
  EXPECT_EQ(s->fileDialog.filterExts, appModelExtensions());
  // A cancel.
  s->fileDialog.filterExts = kImages;
  s->fileDialogResult = -1;
  handleFileDialogResult(s);
  EXPECT_EQ(s->fileDialog.filterExts, appModelExtensions());
  EXPECT_EQ(s->fileDialogResult, 0);
  // A model that cannot be loaded (no model system here): the message, no entity.
  s->fileDialog.filterExts = kImages;
  std::strcpy(s->fileDialog.resultPath, "/nowhere/m.glb");
  s->fileDialogResult = 1;
  testing::internal::CaptureStderr();
  handleFileDialogResult(s);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to load model: /nowhere/m.glb\n");
  EXPECT_EQ(s->fileDialog.filterExts, appModelExtensions());
  // Nothing pending: nothing happens.
  testing::internal::CaptureStderr();
  handleFileDialogResult(s);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
