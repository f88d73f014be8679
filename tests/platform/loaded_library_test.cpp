// Libraries opened at their first use: what a user reads when one is not
// there or is too old to have a function the program calls.
#include "platform/loaded_library.h"

#include <gtest/gtest.h>

namespace sl::platform {
namespace {

using Function = int (*)(int);

TEST(LoadedLibrary, AMissingLibraryOrFunctionIsNamedAndNothingIsCalled) {
  LoadedLibrary absent("libnothing",
                       {"libsonolabel-no-such-library.so.9", "libsonolabel-no-such-library.so"});
  EXPECT_EQ(absent.Error().rfind("libnothing could not be loaded: ", 0), 0u) << absent.Error();
  Function f = reinterpret_cast<Function>(1);
  absent.Resolve("abs", f);
  EXPECT_EQ(f, nullptr);

  // The first name that loads is taken; the first missing function is the
  // one named, and the ones found are still found.
  LoadedLibrary libc("libc", {"libsonolabel-no-such-library.so", "libc.so.6"});
  EXPECT_EQ(libc.Error(), "");
  Function absolute = nullptr;
  libc.Resolve("abs", absolute);
  ASSERT_NE(absolute, nullptr);
  EXPECT_EQ(absolute(-3), 3);
  Function missing = nullptr, alsoMissing = nullptr;
  libc.Resolve("sonolabel_no_such_function", missing);
  libc.Resolve("sonolabel_another_one", alsoMissing);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(libc.Error(), "libc lacks sonolabel_no_such_function");
}

}  // namespace
}  // namespace sl::platform
