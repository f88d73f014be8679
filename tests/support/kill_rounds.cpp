#include "support/kill_rounds.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "support/recorder.h"

#include <gtest/gtest.h>

namespace sl::test {

std::map<std::string, std::string> SectionTexts(const std::string& bytes) {
  std::map<std::string, std::string> out;
  std::string header;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t end = bytes.find('\n', pos);
    end = end == std::string::npos ? bytes.size() : end + 1;
    const std::string line = bytes.substr(pos, end - pos);
    if (!line.empty() && line[0] == '[') {
      header = line;
      while (!header.empty() && (header.back() == '\n' || header.back() == '\r')) header.pop_back();
    }
    out[header] += line;
    pos = end;
  }
  return out;
}

int CrashRounds(int def) {
  const char* v = std::getenv("SONOLABEL_CRASH_ROUNDS");
  if (v == nullptr || *v == '\0') return def;
  const int n = std::atoi(v);
  return n > 0 ? n : def;
}

namespace {

bool AllLinesCrLf(const std::string& bytes) {
  if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0) return false;
  for (std::size_t i = bytes.find('\n'); i != std::string::npos; i = bytes.find('\n', i + 1))
    if (i == 0 || bytes[i - 1] != '\r') return false;
  return true;
}

int LeftTemporaryFiles(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path p(path);
  const std::string prefix = "." + p.filename().string() + ".tmp-";
  int n = 0;
  for (const auto& e : fs::directory_iterator(p.parent_path()))
    if (e.path().filename().string().rfind(prefix, 0) == 0) ++n;
  return n;
}

}  // namespace

KillResult PlayKillRounds(const KillRounds& plan, int rounds, unsigned seed) {
  std::mt19937 rng(seed);
  // One save timed in this process sets the range of kill moments: from
  // before the child's first save to a few saves into its loop.
  const auto t0 = std::chrono::steady_clock::now();
  plan.save(1000000);
  const auto saveUs = std::max<long long>(
      50,
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());

  KillResult result;
  for (int round = 0; round < rounds; ++round) {
    const std::string before = ReadFileBytes(plan.path);
    const auto sectionsBefore = SectionTexts(before);
    int ready[2];
    if (::pipe(ready) != 0) break;
    const pid_t pid = ::fork();
    if (pid < 0) break;
    if (pid == 0) {
      ::close(ready[0]);
      const char c = 'r';
      (void)!::write(ready[1], &c, 1);
      ::close(ready[1]);
      for (int g = 0; g < 1000000; ++g)
        if (!plan.save(round * 1000000 + g)) ::_exit(1);
      ::_exit(0);
    }
    ::close(ready[1]);
    char c;
    (void)!::read(ready[0], &c, 1);
    ::close(ready[0]);
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<long long>(0, 3 * saveUs)(rng)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ++result.rounds;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1) ++result.saveFailures;
    if (WIFSIGNALED(status)) ++result.killed;
    if (LeftTemporaryFiles(plan.path) > 0) ++result.killedMidSave;

    const std::string after = ReadFileBytes(plan.path);
    const inifile::Profile profile(plan.path);
    if (!AllLinesCrLf(after) || after.size() < before.size() / 2) ++result.tornFiles;
    const auto sectionsAfter = SectionTexts(after);
    const std::string savedHeader = "[" + plan.section + "]";
    for (const auto& [header, text] : sectionsBefore) {
      if (header == savedHeader) continue;
      const auto it = sectionsAfter.find(header);
      if (it == sectionsAfter.end() || it->second != text) ++result.changedSections;
    }
    for (const auto& [header, text] : sectionsAfter)
      if (header != savedHeader && !sectionsBefore.count(header)) ++result.changedSections;
    if (!plan.whole(profile.ReadSection(plan.section))) ++result.brokenSections;
  }
  return result;
}

void ExpectNothingLost(const KillResult& r) {
  EXPECT_EQ(r.saveFailures, 0);
  EXPECT_EQ(r.tornFiles, 0);
  EXPECT_EQ(r.changedSections, 0);
  EXPECT_EQ(r.brokenSections, 0);
  EXPECT_GT(r.killed, 0);
  std::printf(
      "kill rounds: %d, killed while saving %d, killed between create and rename %d, "
      "torn files %d, changed sections %d, broken sections %d\n",
      r.rounds, r.killed, r.killedMidSave, r.tornFiles, r.changedSections, r.brokenSections);
}

}  // namespace sl::test
