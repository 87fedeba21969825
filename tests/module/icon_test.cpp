// The root items' own icons: the Windows module returns its resources at the system's icon size, the
// Linux module has none and leaves every icon to the host.
#include <gtest/gtest.h>

#include "support/test_env.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

TEST(IconTest, OnlyTheTwoSpecialRootItemsHaveAnIcon) {
  ResetConfigFolder();
  LoadedModule module;
  ASSERT_TRUE(module.Load());
#if defined(_WIN32)
  const int32_t has_icons = 1;
#else
  const int32_t has_icons = 0;
#endif
  const struct { const char* path; int32_t flags; bool special; } cases[] = {
      {"\\[Add New Entry]", 1, true}, {"\\[Settings]", 0, true},  {"\\[Settings]", 1, true}, {"\\Some entry", 1, false},
      {"\\[Settings]\\x", 1, false}, {"\\", 0, false},           {"\\***_TEMPORARY_***", 1, false}};
  for (const auto& c : cases) {
    std::basic_string<HostChar> path = H(c.path);
    HostIcon icon = nullptr;
    const int32_t result = c.special ? has_icons : 0;
    EXPECT_EQ(module.m.FsExtractCustomIconW(path.data(), c.flags, &icon), result) << c.path;
    EXPECT_EQ(icon != nullptr, result == 1) << c.path;
#if defined(_WIN32)
    if (!icon) continue;
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(static_cast<HICON>(icon), &info));
    BITMAP bitmap{};
    GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
    EXPECT_EQ(bitmap.bmWidth, GetSystemMetrics(c.flags == 1 ? SM_CXSMICON : SM_CXICON)) << c.path;
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    // Shared: asking again gives the same handle, which the host must not destroy.
    HostIcon again = nullptr;
    module.m.FsExtractCustomIconW(path.data(), c.flags, &again);
    EXPECT_EQ(again, icon) << c.path;
#endif
  }
  std::basic_string<HostChar> settings = H("\\[Settings]");
  EXPECT_EQ(module.m.FsExtractCustomIconW(nullptr, 1, nullptr), 0);
  EXPECT_EQ(module.m.FsExtractCustomIconW(settings.data(), 1, nullptr), 0);
}

}  // namespace
