#include "driver/results.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

// A run of 1000 files whose create phase failed for 10 of them and whose
// delete phase did not run.
RunResults sampleRun() {
  RunResults r;
  PhaseResult& create = r.phases[0];
  create.ran = true;
  create.startedAt = "2026-12-06T21:00:00+01:00";
  create.wallSeconds = 0.5;
  create.stats.fileSeconds = 0.4;
  create.stats.failures = {10, 3, "open", EACCES};
  for (int i = 0; i < 990; ++i) recordLatency(&create.stats.latency, 2000);
  recordLatency(&create.stats.latency, 1500);
  PhaseResult& size = r.phases[1];
  size.ran = true;
  size.wallSeconds = 0.25;
  r.fileBlocks = 24000;
  r.dirBlocks = 8;
  r.listing.ran = true;
  r.listing.signal = 9;
  r.listing.usage.ru_maxrss = 2048;
  return r;
}

}  // namespace

TEST(Summary, RowsForThePhasesThatRan) {
  EXPECT_EQ(summaryText(sampleRun(), 1000),
            "phase   files  failed  seconds  files/s  min us  p50 us  p90 us  "
            "p99 us  p99.9 us  max us\n"
            "create    990      10    0.500     1980     1.5     2.0     2.0  "
            "   2.0       2.0     2.0\n"
            "size     1000       0    0.250     4000       -       -       -  "
            "     -         -       -\n");
}

TEST(Json, DocumentOfARunWithFailures) {
  RunSettings settings;
  settings.nbFiles = 1000;
  settings.threads = 4;
  settings.commandLine = {"treeflood", "-f", "1000"};
  SystemInfo system{"6.1.0", "ext4", 4096, 2};
  auto doc = nlohmann::json::parse(
      jsonText(sampleRun(), settings, "/scratch", system));
  EXPECT_EQ(doc["format_version"], 1);
  EXPECT_EQ(doc["tool"]["version"], "V0.2.5");
  EXPECT_EQ(doc["command_line"][2], "1000");
  EXPECT_EQ(doc["settings"]["threads"], 4);
  EXPECT_EQ(doc["settings"]["working_directory"], "/scratch");
  EXPECT_EQ(doc["settings"]["direct_io"], true);
  EXPECT_EQ(doc["system"]["file_system"], "ext4");
  const auto& create = doc["phases"]["create"];
  EXPECT_EQ(create["files_done"], 990);
  EXPECT_EQ(create["files_failed"], 10);
  EXPECT_DOUBLE_EQ(create["files_per_second"].get<double>(), 1980);
  EXPECT_EQ(create["first_failure"]["path"], "d_003/f_0");
  EXPECT_EQ(create["first_failure"]["errno"], EACCES);
  EXPECT_EQ(create["first_failure"]["error"], "Permission denied");
  EXPECT_DOUBLE_EQ(create["latency_us"]["min"].get<double>(), 1.5);
  EXPECT_DOUBLE_EQ(create["file_seconds"].get<double>(), 0.4);
  EXPECT_TRUE(doc["phases"]["size"]["latency_us"]["p50"].is_null());
  EXPECT_FALSE(doc["phases"].contains("delete"));
  EXPECT_TRUE(doc["listing"]["exit_status"].is_null());
  EXPECT_EQ(doc["listing"]["signal"], 9);
  EXPECT_EQ(doc["listing"]["max_rss_bytes"], 2048 * 1024);
  EXPECT_EQ(doc["sizes"]["total_bytes"], 24008 * 512);
  EXPECT_EQ(doc["valid"], false);
}
