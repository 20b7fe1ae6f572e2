#include "bundle/write_behind.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "testutil/temp_dir.h"

namespace {

using bundle::WriteBehind;

// Many whole files, the caller waiting now and then for a random earlier job (as the reader
// does for its buffers), with one file that cannot be created at a different place each round
// (or none): every file before it is complete, it and every job after it until Drain are
// dropped and reported by their first ticket, progress never goes back, and the writer goes on
// after Drain. Run under the thread sanitizer too.
TEST(WriteBehind, WaitsAndFailuresKeepOrderAndProgress) {
  std::mt19937 rng(11);
  for (int bad : {-1, 0, 1, 7, 63, 199}) {
    testutil::TempDir dir;
    constexpr int kFiles = 200;
    std::vector<std::u16string> paths(kFiles);
    std::vector<std::string> data(kFiles);
    std::vector<platform::File> files(kFiles);
    std::vector<WriteBehind::Ticket> tickets(kFiles);
    WriteBehind writer;
    WriteBehind::Ticket seen = 0;
    for (int i = 0; i < kFiles; ++i) {
      std::string name = "f" + std::to_string(i);
      paths[i] = i == bad ? dir.u16("missing/" + name) : dir.u16(name);
      data[i].assign(rng() % 5000, static_cast<char>('a' + i % 26));
      tickets[i] =
          writer.SubmitFile(&files[i], &paths[i], nullptr,
                            reinterpret_cast<const uint8_t*>(data[i].data()), data[i].size());
      if (rng() % 8 == 0) {
        WriteBehind::Ticket t = tickets[rng() % (i + 1)];
        writer.WaitFor(t);
        ASSERT_TRUE(writer.Done(t));
      }
      for (WriteBehind::Ticket t = seen + 1; t <= tickets[i] && writer.Done(t); ++t) seen = t;
      ASSERT_LE(writer.Backlog(), static_cast<size_t>(i + 1));
    }
    const WriteBehind::Ticket failed = writer.Drain();
    EXPECT_EQ(failed, bad < 0 ? 0 : tickets[bad]) << "bad " << bad;
    EXPECT_EQ(writer.Backlog(), 0u);
    for (int i = 0; i < kFiles; ++i) {
      const bool written = bad < 0 || i < bad;
      ASSERT_EQ(std::filesystem::exists(dir / ("f" + std::to_string(i))), written)
          << "bad " << bad << ", file " << i;
      if (written) {
        ASSERT_EQ(testutil::ReadFile(dir / ("f" + std::to_string(i))), data[i]);
      }
    }
    // After Drain the failure is forgotten and jobs run again.
    platform::File again;
    std::u16string path = dir.u16("again");
    writer.WaitFor(writer.SubmitFile(&again, &path, nullptr, nullptr, 0));
    EXPECT_TRUE(writer.Wait());
    EXPECT_TRUE(std::filesystem::exists(dir / "again"));
  }
}

}  // namespace
