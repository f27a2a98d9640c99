#include "work/phase.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <thread>
#include <vector>

#include "console/output.h"
#include "console/report.h"
#include "driver/settings.h"
#include "test_util.h"

namespace {

// Every number each call of the recording worker was handed, by thread.
std::mutex recordLock;
std::vector<std::vector<uint64_t>> handedOut;

void recordingWorker(WorkerTally* tally) {
  std::vector<uint64_t> mine;
  for (uint64_t i; (i = nextIndex()) < runSettings.nbFiles;) {
    mine.push_back(i);
    if (i % 7 == 0) countFailure(tally, i, "open", EIO);
  }
  std::lock_guard<std::mutex> hold(recordLock);
  handedOut.push_back(std::move(mine));
}

// Hands out numbers slowly enough that a phase takes `phaseSeconds`.
double phaseSeconds = 0;
void slowWorker(WorkerTally*) {
  const auto pause = std::chrono::duration<double>(
      phaseSeconds / static_cast<double>(runSettings.nbFiles));
  while (nextIndex() < runSettings.nbFiles) std::this_thread::sleep_for(pause);
}

// Runs a phase of `nbFiles` that takes about `seconds` on one thread.
// Returns what it wrote, and sets `took` to how long it really took.
std::string runSlowPhase(uint64_t nbFiles, double seconds, double* took) {
  runSettings.nbFiles = nbFiles;
  setReportTotal(nbFiles);
  phaseSeconds = seconds;
  CapturedStdout out;
  markPhaseStart();
  auto start = std::chrono::steady_clock::now();
  PhaseStats stats;
  runPhase(slowWorker, 1, false, &stats);
  *took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  return out.finish();
}

std::string runRecorded(uint64_t nbFiles, unsigned threads,
                        PhaseFailures* failures) {
  runSettings.nbFiles = nbFiles;
  handedOut.clear();
  CapturedStdout out;
  PhaseStats stats;
  runPhase(recordingWorker, threads, false, &stats);
  *failures = stats.failures;
  return out.finish();
}

std::string eraseString() {
  return "\r" + std::string(static_cast<size_t>(columns - 3), ' ') + "\r";
}

}  // namespace

TEST(RunPhase, EveryNumberHandedOutOnce) {
  const struct {
    uint64_t nbFiles;
    unsigned threads;
  } cases[] = {{20000, 64}, {20000, 1}, {10, 64}, {0, 8}, {0, 1}, {1, 2}};
  for (const auto& c : cases) {
    PhaseFailures failures;
    std::string out = runRecorded(c.nbFiles, c.threads, &failures);
    ASSERT_EQ(handedOut.size(), c.threads) << c.nbFiles;
    std::vector<bool> seen(c.nbFiles);
    uint64_t count = 0;
    for (const std::vector<uint64_t>& mine : handedOut) {
      for (size_t k = 0; k < mine.size(); ++k) {
        ASSERT_LT(mine[k], c.nbFiles);
        ASSERT_FALSE(seen[mine[k]]) << mine[k] << " handed out twice";
        seen[mine[k]] = true;
        if (k > 0) {
          ASSERT_LT(mine[k - 1], mine[k]);
        }
        ++count;
      }
    }
    EXPECT_EQ(count, c.nbFiles) << c.threads;
    EXPECT_EQ(failures.count, (c.nbFiles + 6) / 7) << c.nbFiles;
    if (c.nbFiles > 0) {
      EXPECT_EQ(failures.firstIndex, 0u);
    }
    // A short phase shows nothing but the final erase.
    EXPECT_EQ(out, eraseString());
  }
}

TEST(RunPhase, GoesOnWithTheThreadsThatStarted) {
  static std::atomic<int> calls;
  calls = 0;
  // Lets the first two starts through, then fails every one after.
  startThread = [](pthread_t* t, const pthread_attr_t* a, void* (*f)(void*),
                   void* arg) {
    return ++calls <= 2 ? pthread_create(t, a, f, arg) : EAGAIN;
  };
  PhaseFailures failures;
  std::string out = runRecorded(5000, 8, &failures);
  startThread = pthread_create;
  EXPECT_EQ(out,
            "Warning: 5 of 7 threads could not be started (Resource "
            "temporarily unavailable)\n" +
                eraseString());
  EXPECT_EQ(handedOut.size(), 3u);
  size_t count = 0;
  for (const auto& mine : handedOut) count += mine.size();
  EXPECT_EQ(count, 5000u);

  // Without a reporter the phase still runs and erases the line.
  calls = 0;
  startThread = [](pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
    return ++calls, EAGAIN;
  };
  out = runRecorded(100, 1, &failures);
  startThread = pthread_create;
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(out, eraseString());
  EXPECT_EQ(handedOut.size(), 1u);
}

TEST(Reporter, LiveLinesDuringALongPhase) {
  double seconds;
  std::string text = runSlowPhase(4000, 4, &seconds);

  // Every redraw is an erase followed by a well-formed live line; the phase
  // ends with one more erase.
  const std::string erase = eraseString();
  const std::regex live(
      R"(\rworking\.\.\. eta: \d+:\d\d:\d\d\.\d{3}, (#*)(\.*) \[ *(\d+\.\d{3})%\])");
  ASSERT_GE(text.size(), erase.size());
  ASSERT_EQ(text.substr(text.size() - erase.size()), erase);
  text.resize(text.size() - erase.size());
  int lines = 0;
  double lastPercent = 0;
  for (size_t pos = 0; pos < text.size();) {
    ASSERT_EQ(text.compare(pos, erase.size(), erase), 0) << "at " << pos;
    pos += erase.size();
    size_t next = text.find(erase, pos);
    std::string line = text.substr(pos, next - pos);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, live)) << line;
    EXPECT_EQ(m[1].length() + m[2].length(), 40);
    double percent = std::stod(m[3]);
    EXPECT_GE(percent, lastPercent);
    EXPECT_LT(percent, 100);
    lastPercent = percent;
    ++lines;
    pos = next == std::string::npos ? text.size() : next;
  }
  // About four a second after the first 2.25 s; generous for a busy machine.
  double expected = (seconds - 2.0) * 4;
  EXPECT_GE(lines, expected * 0.5) << seconds << " s";
  EXPECT_LE(lines, expected + 2) << seconds << " s";
}

TEST(Reporter, StopsAtOnce) {
  double seconds;
  EXPECT_EQ(runSlowPhase(1, 0.3, &seconds), eraseString());
  // Well short of the reporter's first 2 s wait.
  EXPECT_LT(seconds, 1.5);
}
