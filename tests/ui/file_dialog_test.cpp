// The file dialog on a temporary tree: what is listed and in which order, sizes,
// walking up to "/", typed paths, links and directories it cannot read; then the
// window through the UI core with synthetic input: clicks on directories and
// files, Select, Cancel, the close box and Return in the path box.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ui/file_dialog.h"
#include "ui/ui.h"

namespace {

const char* const kModels[] = {".glb", ".gltf", ".qel", nullptr};

struct TempTree {
  std::string root;
  TempTree() {
    char tmpl[] = "/tmp/fdlg-test-XXXXXX";
    root = mkdtemp(tmpl);
  }
  ~TempTree() {
    std::string cmd = "chmod -R u+rwx '" + root + "' 2>/dev/null; rm -rf '" + root + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string path(const std::string& rel) const { return root + "/" + rel; }
  void dir(const std::string& rel) const { ASSERT_EQ(mkdir(path(rel).c_str(), 0755), 0) << rel; }
  void file(const std::string& rel, size_t bytes = 3) const {
    FILE* f = fopen(path(rel).c_str(), "wb");
    ASSERT_NE(f, nullptr) << rel;
    std::string data(bytes, 'x');
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
  }
  void link(const std::string& target, const std::string& rel) const {
    ASSERT_EQ(symlink(target.c_str(), path(rel).c_str()), 0) << rel;
  }
};

std::vector<std::string> names(const FileDialog& fd) {
  std::vector<std::string> out;
  for (i32 i = 0; i < fd.fileCount; i++) out.push_back(std::string(fd.isDir[i] ? "/" : "") + fd.names[i]);
  return out;
}

i32 indexOf(const FileDialog& fd, const char* name) {
  for (i32 i = 0; i < fd.fileCount; i++)
    if (strcmp(fd.names[i], name) == 0) return i;
  return -1;
}

struct Listing : testing::Test {
  void SetUp() override { fileDialogInit(&fd, tree.root.c_str(), kModels); }
  void TearDown() override { fileDialogDestroy(&fd); }
  TempTree tree;
  FileDialog fd{};
};

TEST_F(Listing, OrderHiddenEntriesAndFilter) {
  tree.dir("Beta");
  tree.dir("alpha");
  tree.dir(".hiddendir");
  for (const char* f : {"b.GLB", "A.gltf", "c.txt", "pic.PNG", "z.qel", ".x.glb", "noext", "photo.jpeg.txt"})
    tree.file(f);
  fileDialogOpen(&fd);
  EXPECT_EQ(names(fd), (std::vector<std::string>{"/..", "/alpha", "/Beta", "A.gltf", "b.GLB", "pic.PNG", "z.qel"}));
  EXPECT_STREQ(fd.pathBuf, tree.root.c_str());
  EXPECT_EQ(std::string(fd.paths[indexOf(fd, "z.qel")]), tree.path("z.qel"));
  // A filter of nothing takes every file that is not hidden.
  fd.filterExts = nullptr;
  fileDialogLoadDirectory(&fd);
  EXPECT_EQ(fd.fileCount, 10);
}

TEST_F(Listing, SizesAndTheirText) {
  tree.file("small.glb", 1023);
  tree.file("mid.glb", 1536);
  fileDialogOpen(&fd);
  EXPECT_EQ(fd.sizes[indexOf(fd, "small.glb")], 1023u);
  EXPECT_EQ(fd.sizes[indexOf(fd, "mid.glb")], 1536u);
  struct Case {
    u64 bytes;
    const char* text;
  };
  const Case cases[] = {{0, "0 B"},           {1023, "1023 B"},          {1024, "1.0 KB"},
                        {1536, "1.5 KB"},     {10240, "10 KB"},          {10 * 1024 - 52, "9.9 KB"},
                        {5ull << 20, "5.0 MB"}, {3ull << 30, "3.0 GB"},  {1ull << 50, "1024 TB"}};
  for (const Case& c : cases) {
    char buf[32];
    fileDialogFormatSize(c.bytes, buf, sizeof buf);
    EXPECT_STREQ(buf, c.text) << c.bytes;
  }
}

TEST_F(Listing, StopsAt2048Entries) {
  for (int i = 0; i < 2100; i++) {
    char name[32];
    snprintf(name, sizeof name, "f%04d.glb", i);
    tree.file(name, 1);
  }
  fileDialogOpen(&fd);
  ASSERT_EQ(fd.fileCount, kFileDialogMaxEntries);
  EXPECT_STREQ(fd.names[0], "..");
  for (i32 i = 2; i < fd.fileCount; i++) EXPECT_LT(strcmp(fd.names[i - 1], fd.names[i]), 0);
}

TEST_F(Listing, UpGoesToTheRootAndStaysThere) {
  tree.dir("a");
  ASSERT_TRUE(fileDialogNavigateTo(&fd, tree.path("a").c_str()));
  EXPECT_STREQ(fd.dirPath, tree.path("a").c_str());
  for (int i = 0; i < 64 && strcmp(fd.dirPath, "/") != 0; i++) ASSERT_TRUE(fileDialogNavigateTo(&fd, ".."));
  EXPECT_STREQ(fd.dirPath, "/");
  EXPECT_STREQ(fd.pathBuf, "/");
  EXPECT_EQ(indexOf(fd, ".."), -1);
  EXPECT_GE(indexOf(fd, "tmp"), 0);
  ASSERT_TRUE(fileDialogNavigateTo(&fd, ".."));
  EXPECT_STREQ(fd.dirPath, "/");
  ASSERT_TRUE(fileDialogNavigateTo(&fd, "/tmp"));
  ASSERT_TRUE(fileDialogNavigateTo(&fd, ".."));
  EXPECT_STREQ(fd.dirPath, "/");
}

TEST_F(Listing, TypedPathsAreResolvedAgainstTheListedDirectory) {
  struct Case {
    const char* dir;
    const char* typed;
    const char* want;  // null: refused
  };
  const Case cases[] = {
      {"/t/u", "sub", "/t/u/sub"},
      {"/t/u", "./sub/../sub//x/", "/t/u/sub/x"},
      {"/t/u", "..", "/t"},
      {"/t/u", "../../../..", "/"},
      {"/t/u", "/x/./y/../z", "/x/z"},
      {"/", "..", "/"},
      {"/t", "", nullptr},
      {".", "../a", "../a"},
      {".", "a/../../b", "../b"},
      {".", "a/..", "."},
  };
  for (const Case& c : cases) {
    FileDialog d{};
    strcpy(d.dirPath, c.dir);
    char out[kFileDialogPathSize];
    b8 ok = fileDialogResolvePath(&d, c.typed, out, sizeof out);
    EXPECT_EQ(ok, c.want != nullptr) << c.dir << " + " << c.typed;
    if (ok && c.want) {
      EXPECT_STREQ(out, c.want) << c.dir << " + " << c.typed;
    }
  }
}

TEST_F(Listing, PathsThatDoNotFitAreRefusedNotCut) {
  std::string dir = "/" + std::string(1000, 'd');
  std::string name(40, 'n');
  FileDialog d{};
  strcpy(d.dirPath, dir.c_str());
  char out[kFileDialogPathSize];
  EXPECT_FALSE(fileDialogResolvePath(&d, name.c_str(), out, sizeof out));
  // Exactly filling the buffer but the terminator is refused too; one less fits.
  std::string fits(kFileDialogPathSize - 1 - dir.size() - 1, 'n');
  EXPECT_TRUE(fileDialogResolvePath(&d, fits.c_str(), out, sizeof out));
  EXPECT_EQ(strlen(out), kFileDialogPathSize - 1);
  EXPECT_FALSE(fileDialogResolvePath(&d, (fits + "n").c_str(), out, sizeof out));
  // A long detour that ends short is fine.
  EXPECT_TRUE(fileDialogResolvePath(&d, (name + "/..").c_str(), out, sizeof out));
  EXPECT_EQ(std::string(out), dir);

  fileDialogOpen(&fd);
  std::string tooLong = "/" + std::string(kFileDialogPathSize, 'x');
  EXPECT_FALSE(fileDialogNavigateTo(&fd, tooLong.c_str()));
  EXPECT_STREQ(fd.dirPath, tree.root.c_str());
}

TEST_F(Listing, SubmittedPaths) {
  tree.dir("sub");
  tree.file("sub/m.glb");
  tree.file("notes.txt");
  tree.file("w.qel");
  fileDialogOpen(&fd);
  // A directory, relative to the listing.
  EXPECT_TRUE(fileDialogSubmitPath(&fd, "sub"));
  EXPECT_STREQ(fd.dirPath, tree.path("sub").c_str());
  EXPECT_TRUE(fd.active);
  // A file outside the filter, one that is not there: nothing happens.
  EXPECT_FALSE(fileDialogSubmitPath(&fd, "../notes.txt"));
  EXPECT_FALSE(fileDialogSubmitPath(&fd, "missing.glb"));
  EXPECT_TRUE(fd.active);
  EXPECT_FALSE(fd.fileSelected);
  // A matching file is taken with its normalised path.
  EXPECT_TRUE(fileDialogSubmitPath(&fd, ".././w.qel"));
  EXPECT_TRUE(fd.fileSelected);
  EXPECT_FALSE(fd.active);
  EXPECT_STREQ(fd.resultPath, tree.path("w.qel").c_str());
}

TEST_F(Listing, SymbolicLinks) {
  tree.dir("real");
  tree.file("model.glb");
  tree.link(tree.path("real"), "dirlink");
  tree.link("model.glb", "filelink.glb");
  tree.link(tree.path("nowhere"), "broken.glb");
  tree.link("loop.glb", "loop.glb");
  fileDialogOpen(&fd);
  EXPECT_EQ(names(fd), (std::vector<std::string>{"/..", "/dirlink", "/real", "filelink.glb", "model.glb"}));
  EXPECT_EQ(fd.sizes[indexOf(fd, "filelink.glb")], 3u);
  ASSERT_TRUE(fileDialogSubmitPath(&fd, "dirlink"));
  EXPECT_STREQ(fd.dirPath, tree.path("dirlink").c_str());
  // Up from a linked directory goes back where the path came from.
  ASSERT_TRUE(fileDialogNavigateTo(&fd, ".."));
  EXPECT_STREQ(fd.dirPath, tree.root.c_str());
}

TEST_F(Listing, PathsThatAreNoDirectoryListNothing) {
  tree.file("plain.glb");
  for (const std::string& p : {tree.path("missing"), tree.path("plain.glb")}) {
    ASSERT_TRUE(fileDialogNavigateTo(&fd, p.c_str()));
    EXPECT_EQ(fd.fileCount, 0) << p;
  }
  ASSERT_TRUE(fileDialogNavigateTo(&fd, ".."));
  EXPECT_STREQ(fd.dirPath, tree.root.c_str());
  EXPECT_EQ(fd.fileCount, 2);
}

TEST_F(Listing, DirectoriesThatCannotBeReadListNothing) {
  tree.dir("locked");
  tree.file("locked/a.glb");
  ASSERT_EQ(chmod(tree.path("locked").c_str(), 0), 0);
  if (access(tree.path("locked/a.glb").c_str(), F_OK) == 0) GTEST_SKIP() << "permissions do not bind this user";
  ASSERT_TRUE(fileDialogNavigateTo(&fd, tree.path("locked").c_str()));
  EXPECT_EQ(fd.fileCount, 0);
}

TEST(FileDialogPreview, VisiblePartAndTextureWindow) {
  FileDialogPreviewQuad q;
  // Cut at the top by 20 of its 50 rows: the lower 60% shows, centre y upward.
  ASSERT_TRUE(fileDialogPreviewQuad(mu_rect(10, 20, 100, 50), mu_rect(0, 40, 200, 100), 300, &q));
  EXPECT_FLOAT_EQ(q.width, 100);
  EXPECT_FLOAT_EQ(q.height, 30);
  EXPECT_FLOAT_EQ(q.centerX, 60);
  EXPECT_FLOAT_EQ(q.centerY, 300 - 40 - 15);
  EXPECT_FLOAT_EQ(q.uvX, 0);
  EXPECT_FLOAT_EQ(q.uvY, 0.4f);
  EXPECT_FLOAT_EQ(q.uvW, 1);
  EXPECT_FLOAT_EQ(q.uvH, 0.6f);
  ASSERT_TRUE(fileDialogPreviewQuad(mu_rect(10, 20, 100, 50), mu_rect(60, 0, 200, 60), 300, &q));
  EXPECT_FLOAT_EQ(q.uvX, 0.5f);
  EXPECT_FLOAT_EQ(q.uvW, 0.5f);
  EXPECT_FLOAT_EQ(q.uvH, 0.8f);
  EXPECT_FALSE(fileDialogPreviewQuad(mu_rect(10, 20, 100, 50), mu_rect(0, 70, 200, 100), 300, &q));
  EXPECT_FALSE(fileDialogPreviewQuad(mu_rect(10, 20, 0, 50), mu_rect(0, 0, 200, 100), 300, &q));
}

TEST(FileDialogNames, FilterAndPreviewImages) {
  EXPECT_TRUE(fileDialogMatchesFilter(kModels, "X.GLTF"));
  EXPECT_FALSE(fileDialogMatchesFilter(kModels, "x.gltf.bak"));
  EXPECT_FALSE(fileDialogMatchesFilter(kModels, "glb"));
  EXPECT_TRUE(fileDialogMatchesFilter(nullptr, "anything"));
  for (const char* n : {"a.png", "b.JPG", "c.jpeg", "d.Tga", "e.ktx2", "f.bmp"}) EXPECT_TRUE(fileDialogIsPreviewImage(n)) << n;
  for (const char* n : {"png", "a.png.txt", "a.pngx", "a.", "a.ktx"}) EXPECT_FALSE(fileDialogIsPreviewImage(n)) << n;
}

// The window, built by the UI core on the CPU and driven by synthetic input.
struct Window : testing::Test {
  void SetUp() override {
    ASSERT_TRUE(fontInitRuntime(&font, nullptr, nullptr, PIPELINE_FONT, TERRAIN_FONT_FILE, 24.0f, 512, 512));
    uiInit(&ui, nullptr, nullptr, &font, PIPELINE_UI);
    uiUpdateScale(&ui, kW, kH);
    tree.dir("sub");
    tree.file("sub/inner.glb");
    tree.file("A.gltf");
    tree.file("notes.txt");
    tree.file("pic.png");
    tree.file("z.qel");
    fileDialogInit(&fd, tree.root.c_str(), kModels);
    fileDialogOpen(&fd);
  }
  void TearDown() override {
    fileDialogDestroy(&fd);
    uiDestroy(&ui);
    fontDestroy(&font);
  }
  i32 frame() {
    fontBeginFrame(&font);
    uiBegin(&ui);
    i32 r = fileDialogUpdate(&fd, ui.mu, uiGetScale(&ui), kH);
    uiEnd(&ui, VK_NULL_HANDLE, kW, kH);
    return r;
  }
  // Where the text `s` was drawn last frame (its middle), or false.
  b8 find(const char* s, i32* x, i32* y) {
    mu_Command* cmd = nullptr;
    while (mu_next_command(ui.mu, &cmd)) {
      if (cmd->type != MU_COMMAND_TEXT || strcmp(cmd->text.str, s) != 0) continue;
      *x = cmd->text.pos.x + 3;
      *y = cmd->text.pos.y + uiTextHeight(nullptr) / 2;
      return true;
    }
    return false;
  }
  b8 drawn(const char* s) {
    i32 x, y;
    return find(s, &x, &y);
  }
  // Points, waits two frames (the window under the pointer, then the control
  // under it, are known a frame late), presses, releases: the press frame's result.
  i32 clickAt(i32 x, i32 y) {
    mu_input_mousemove(ui.mu, x, y);
    frame();
    frame();
    mu_input_mousedown(ui.mu, x, y, MU_MOUSE_LEFT);
    i32 r = frame();
    mu_input_mouseup(ui.mu, x, y, MU_MOUSE_LEFT);
    return r;
  }
  i32 click(const char* text) {
    i32 x = 0, y = 0;
    EXPECT_TRUE(find(text, &x, &y)) << text;
    return clickAt(x, y);
  }
  i32 returnKey() {
    mu_input_keydown(ui.mu, MU_KEY_RETURN);
    i32 r = frame();
    mu_input_keyup(ui.mu, MU_KEY_RETURN);
    return r;
  }
  static constexpr i32 kW = 1280, kH = 720;
  TempTree tree;
  Font font{};
  Ui ui{};
  FileDialog fd{};
};

TEST_F(Window, ClickingADirectoryEntersItAtOnce) {
  ASSERT_EQ(frame(), 0);
  ASSERT_TRUE(drawn("[sub]"));
  ASSERT_TRUE(drawn(" A.gltf"));
  EXPECT_EQ(click("[sub]"), 0);
  EXPECT_STREQ(fd.dirPath, tree.path("sub").c_str());
  // That frame ended at the click: nothing after it was drawn.
  EXPECT_FALSE(drawn(" A.gltf"));
  EXPECT_FALSE(drawn("Select"));
  frame();
  EXPECT_TRUE(drawn(" inner.glb"));
  EXPECT_EQ(click("[..]"), 0);
  EXPECT_STREQ(fd.dirPath, tree.root.c_str());
}

TEST_F(Window, GridViewDirectoryClick) {
  frame();
  EXPECT_EQ(click("C"), 0);
  EXPECT_TRUE(fd.gridView);
  frame();
  EXPECT_TRUE(drawn("G"));
  EXPECT_TRUE(drawn("A.gltf"));
  EXPECT_EQ(click("[sub]"), 0);
  EXPECT_STREQ(fd.dirPath, tree.path("sub").c_str());
  EXPECT_FALSE(drawn("A.gltf"));
}

TEST_F(Window, SelectTakesTheSelectedFile) {
  frame();
  EXPECT_EQ(click("Select"), 0);  // nothing selected yet
  EXPECT_TRUE(fd.active);
  EXPECT_EQ(click(" z.qel"), 0);
  EXPECT_EQ(fd.selectedIndex, 4);
  EXPECT_STREQ(fd.selectedFile, "z.qel");
  frame();
  EXPECT_TRUE(drawn("z.qel"));  // the "File:" row
  EXPECT_EQ(click("Select"), 1);
  EXPECT_TRUE(fd.fileSelected);
  EXPECT_FALSE(fd.active);
  EXPECT_STREQ(fd.resultPath, tree.path("z.qel").c_str());
  // Closed: no window, no result.
  EXPECT_EQ(frame(), 0);
  EXPECT_FALSE(drawn("Select"));
}

TEST_F(Window, CancelAndTheCloseBoxCancel) {
  frame();
  EXPECT_EQ(click("Cancel"), -1);
  EXPECT_TRUE(fd.cancelled);
  EXPECT_FALSE(fd.active);
  EXPECT_EQ(frame(), 0);

  fileDialogOpen(&fd);
  frame();
  mu_Container* cnt = mu_get_container(ui.mu, kFileDialogTitle);
  ASSERT_NE(cnt, nullptr);
  const i32 th = ui.mu->style->title_height;
  EXPECT_EQ(clickAt(cnt->rect.x + cnt->rect.w - th / 2, cnt->rect.y + th / 2), -1);
  EXPECT_TRUE(fd.cancelled);
  EXPECT_FALSE(fd.active);
  // Opened again, the window shows again where it was.
  fileDialogOpen(&fd);
  EXPECT_EQ(frame(), 0);
  EXPECT_TRUE(drawn("Select"));
  EXPECT_EQ(fd.winX, 100);
}

TEST_F(Window, ReturnInThePathBox) {
  frame();
  ASSERT_EQ(click(fd.pathBuf), 0);  // focus the box
  ASSERT_TRUE(uiTextInputActive(&ui));
  // Another file: nothing happens.
  strcpy(fd.pathBuf, "notes.txt");
  EXPECT_EQ(returnKey(), 0);
  EXPECT_TRUE(fd.active);
  // A directory is listed.
  frame();
  ASSERT_EQ(click(fd.pathBuf), 0);
  strcpy(fd.pathBuf, "sub");
  EXPECT_EQ(returnKey(), 0);
  EXPECT_STREQ(fd.dirPath, tree.path("sub").c_str());
  EXPECT_STREQ(fd.pathBuf, tree.path("sub").c_str());
  // A matching file is taken.
  frame();
  ASSERT_EQ(click(fd.pathBuf), 0);
  mu_input_text(ui.mu, "/../A.gltf");
  frame();
  EXPECT_EQ(returnKey(), 1);
  EXPECT_STREQ(fd.resultPath, tree.path("A.gltf").c_str());
  EXPECT_FALSE(fd.active);
}

TEST_F(Window, NamesThatAreNotUtf8AndTheUpArrow) {
  tree.file("\xff\xfe\xc3(.glb");
  fileDialogLoadDirectory(&fd);
  ASSERT_GE(indexOf(fd, "\xff\xfe\xc3(.glb"), 0);
  frame();
  EXPECT_TRUE(drawn(" \xff\xfe\xc3(.glb"));
  EXPECT_GT(uiVertexCount(&ui), 0u);
  // The up button's arrow is a glyph of the font, not the '?' of a missing one.
  FontBakedChar arrow{}, question{};
  ASSERT_TRUE(fontEnsureGlyph(&font, 0x2191, &arrow));
  ASSERT_TRUE(fontEnsureGlyph(&font, '?', &question));
  EXPECT_NE(arrow.x0 * 65536 + arrow.y0, question.x0 * 65536 + question.y0);
  EXPECT_EQ(click("\xE2\x86\x91"), 0);
  EXPECT_STREQ(fd.dirPath, tree.root.substr(0, tree.root.rfind('/')).c_str());
}

}  // namespace
