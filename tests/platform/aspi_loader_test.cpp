// Choosing and loading an ASPI layer library.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/aspi_loader.h"

namespace sl::platform {
namespace {

TEST(AspiLoader, ResolvesLayerChoice) {
  EXPECT_EQ(ResolveAspiLayer("/opt/sl/bin", ""), "/opt/sl/bin/libwnaspi32-sg.so");
  EXPECT_EQ(ResolveAspiLayer("/opt/sl/bin", "sg"), "/opt/sl/bin/libwnaspi32-sg.so");
  EXPECT_EQ(ResolveAspiLayer("/opt/sl/bin", "sim"), "/opt/sl/bin/libwnaspi32-sim.so");
  EXPECT_EQ(ResolveAspiLayer("/opt/sl/bin", "/usr/lib/my-aspi.so"), "/usr/lib/my-aspi.so");
  EXPECT_EQ(ResolveAspiLayer("/opt/sl/bin", "my-aspi.so"), "./my-aspi.so");  // no library search
  EXPECT_EQ(ResolveAspiLayer("", "sim"), "./libwnaspi32-sim.so");

  const char* saved = std::getenv("SONOLABEL_ASPI");
  std::string keep = saved ? saved : "";
  setenv("SONOLABEL_ASPI", "sim", 1);
  EXPECT_EQ(ResolveAspiLayer("/x"), "/x/libwnaspi32-sim.so");
  unsetenv("SONOLABEL_ASPI");
  EXPECT_EQ(ResolveAspiLayer("/x"), "/x/libwnaspi32-sg.so");
  if (saved) setenv("SONOLABEL_ASPI", keep.c_str(), 1);
}

TEST(AspiLoader, LoadFailuresAreToldApart) {
  AspiLibrary lib;
  EXPECT_FALSE(lib.Load("/nonexistent/libwnaspi32-none.so"));
  EXPECT_FALSE(lib.Loaded());
  EXPECT_FALSE(lib.Error().empty());
  EXPECT_FALSE(lib.Load(""));

  // Loads, but has neither entry point.
  ASSERT_TRUE(lib.Load("libm.so.6"));
  EXPECT_TRUE(lib.Loaded());
  EXPECT_EQ(lib.supportInfo, nullptr);
  EXPECT_EQ(lib.sendCommand, nullptr);
  EXPECT_TRUE(AspiLibrary::IsResident("libm.so.6"));
  lib.Unload();
  EXPECT_FALSE(lib.Loaded());
  EXPECT_FALSE(AspiLibrary::IsResident("/nonexistent/libwnaspi32-none.so"));
}

}  // namespace
}  // namespace sl::platform
