#include "work/phase.h"

#include "console/output.h"
#include "test_util.h"

namespace treeflood {

using std::string_literals::operator""s;

namespace {

// How often each number was handed out.
std::vector<std::atomic<int>> hits(1000000);

// A shared counter that notes each number it hands out in `hits`.
struct RecordingSource final : FileNumberSource {
  void reset() override {}
  uint64_t next(NumberCursor* cursor) override {
    const uint64_t i = counter.next(cursor);
    if (i < hits.size()) ++hits[i];
    return i;
  }
  uint64_t handedOut() const override { return counter.handedOut(); }
  SharedCounter counter;
};

// Lets `allowedStarts` threads start, then fails every start after.
int allowedStarts;
int limitedStart(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*),
                 void* arg) {
  return allowedStarts-- > 0 ? pthread_create(t, a, f, arg) : EAGAIN;
}

}  // namespace

TEST(RunPhase, EveryNumberOnceTheLowestFailureAndTheDeadline) {
  // No directory could be opened, so that each file fails at once.
  std::vector<int> dirFds(kDefaultDirs, -ENOENT);
  const uint64_t kNever = monotonicNs() + 3600000000000;
  const std::string threadsLost =
      "Warning: 5 of 7 threads could not be started (Resource temporarily "
      "unavailable)\n";
  const std::string noReporter =
      "Warning: the progress reporter could not be started (Resource "
      "temporarily unavailable)\n";
  // Files, threads asked for, threads that may start (the reporter last),
  // the deadline, threads that run, files drawn, warnings.
  for (auto [nbFiles, threads, starts, deadline, run, drawn, warnings] :
       {std::tuple{1000000ul, 64u, 99, uint64_t{0}, 64u, 1000000ul, ""s},
        {20000ul, 1u, 99, uint64_t{0}, 1u, 20000ul, ""s},
        {10ul, 64u, 99, uint64_t{0}, 64u, 10ul, ""s},
        {0ul, 8u, 99, uint64_t{0}, 8u, 0ul, ""s},
        {5000ul, 8u, 2, uint64_t{0}, 3u, 5000ul, threadsLost + noReporter},
        {5000ul, 4u, 99, uint64_t{1}, 4u, 0ul, ""s},
        {5000ul, 4u, 3, uint64_t{1}, 4u, 0ul, noReporter},
        {5000ul, 4u, 3, kNever, 4u, 5000ul, noReporter}}) {
    RecordingSource source;
    // The reporter would draw its first line after hours: it must stop when
    // asked, not at the end of a wait, or the test times out.
    PhasePlan plan{.nbFiles = nbFiles,
                   .layout = computeLayout(nbFiles),
                   .threads = threads,
                   .numbers = &source,
                   .dirFds = dirFds.data(),
                   .deadlineNs = deadline,
                   .reportIntervalNs = 3600000000000,
                   .startThread = limitedStart};
    allowedStarts = starts;
    for (std::atomic<int>& h : hits) h = 0;
    testing::internal::CaptureStdout();
    PhaseStats stats;
    runPhase(plan, sizeWorker, monotonicNs(), &stats);
    // Each number drawn below the count once, and none twice.
    EXPECT_EQ(std::count(hits.begin(),
                         hits.begin() + static_cast<ptrdiff_t>(drawn), 1),
              drawn);
    EXPECT_EQ(
        std::count_if(hits.begin(), hits.end(), [](auto& h) { return h > 1; }),
        0);
    EXPECT_EQ(std::min(stats.handedOut, nbFiles), drawn) << nbFiles;
    EXPECT_EQ(stats.threadsRun, run);
    EXPECT_EQ(stats.timeUp, deadline == 1);
    EXPECT_EQ(stats.failures.count, drawn);
    EXPECT_EQ(stats.failures.firstIndex, 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              warnings + "\r" + std::string(75, ' ') + "\r");
  }
}

TEST(Reporter, SilentForEightTicksThenLinesThatLeaveNoTrace) {
  // Hands out one number, then reports it as the only one until the
  // reporter's tenth look, and all of them after.
  struct Source final : FileNumberSource {
    void reset() override {}
    uint64_t next(NumberCursor*) override { return drawn++; }
    uint64_t handedOut() const override { return ++looks > 10 ? 2 : 1; }
    std::atomic<uint64_t> drawn{0};
    mutable std::atomic<int> looks{0};
  };
  auto worker = [](const PhasePlan& p, WorkerTally* tally) {
    const Source& s = *static_cast<const Source*>(p.numbers);
    p.numbers->next(&tally->cursor);
    while (s.looks <= 10) usleep(1000);
    while (p.numbers->next(&tally->cursor) < p.nbFiles) {
    }
  };
  // Off a terminal, and on terminals of 80 and 40 columns.
  for (auto [isTerminal, width] :
       {std::pair{false, 78}, {true, 80}, {true, 40}}) {
    terminal = isTerminal;
    columns = width;
    Source source;
    const PhasePlan plan{
        .nbFiles = 2, .numbers = &source, .reportIntervalNs = 1000000};
    testing::internal::CaptureStdout();
    PhaseStats stats;
    runPhase(plan, worker, monotonicNs(), &stats);
    const std::string bytes = testing::internal::GetCapturedStdout();
    // The screen's last row, as a terminal `width` columns wide (unbounded
    // when not one) shows it; writing into the last column makes it wrap,
    // which no erase can undo.
    std::string row;
    size_t col = 0, wraps = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] == '\r') {
        col = 0;
      } else if (bytes.compare(i, 3, "\x1b[K") == 0) {
        row.resize(std::min(row.size(), col));
        i += 2;
      } else {
        wraps += isTerminal && col >= static_cast<size_t>(width - 1);
        row.resize(std::max(row.size(), col + 1), ' ');
        row[col++] = bytes[i];
      }
    }
    // Lines at the ninth and tenth looks alone.
    size_t lines = 0;
    for (size_t at = 0; (at = bytes.find("working... eta: ", at)) != bytes.npos;
         ++at) {
      ++lines;
    }
    EXPECT_EQ(lines, 2u) << bytes;
    // The rate, where the terminal has room for it.
    EXPECT_EQ(bytes.find(" files/s, ") != std::string::npos, width == 80);
    EXPECT_EQ(bytes.find('\n'), std::string::npos);
    EXPECT_EQ(wraps, 0u) << width;
    EXPECT_EQ(row.find_first_not_of(' '), std::string::npos) << row;
  }
  terminal = false;
  columns = 78;
}

TEST(Timeline, MergesNeighboursToStayBounded) {
  Timeline t;
  const uint64_t kWakes = 10 * kTimelineSamples + 3;
  for (uint64_t w = 1; w <= kWakes; ++w)
    recordSample(&t, {static_cast<double>(w) / 4, w});
  // Halved four times: one sample every 16 wakes, evenly spaced.
  ASSERT_EQ(t.samples.size(), kWakes / 16);
  for (size_t i = 0; i < t.samples.size(); ++i)
    EXPECT_EQ(t.samples[i].files, 16 * (i + 1)) << i;
}

}  // namespace treeflood
