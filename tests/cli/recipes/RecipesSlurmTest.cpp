// The Slurm recipe of the README's "Long runs" section, run as printed on a single-node
// cluster that slurm-cluster.sh starts in namespaces of its own (network, host name,
// mounts, processes): a task killed with SIGKILL and one cancelled while they run, the
// array submitted again, and the shards joined are the rows of one plain run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "RecipeSupport.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// Why the cluster cannot be had here, or "" when it can.
std::string WhyNoCluster() {
  if (::geteuid() != 0)
    return "the cluster runs as root (munged, slurmctld and slurmd in namespaces of their own)";
  for (const char* program :
       {"munged", "mungekey", "slurmctld", "slurmd", "sbatch", "squeue", "scancel", "sinfo"}) {
    if (!Installed(program))
      return std::string(program) + " is not installed (packages slurm-wlm, munge)";
  }
  for (const char* path : {"/usr/bin/python3", "/usr/sbin/ip", "/usr/bin/unshare"}) {
    if (::access(path, X_OK) != 0) return std::string(path) + " is missing";
  }
  if (RunProgram(
          {"/usr/bin/unshare", "--net", "--uts", "--pid", "--fork", "--mount-proc", "/bin/true"})
          .status != 0) {
    return "no namespaces can be had here";
  }
  return "";
}

// The value of a report line that starts with `label`, or "" when there is none.
std::string Reported(const std::string& report, const std::string& label) {
  const auto at = report.find(label);
  if (at == std::string::npos) return "";
  const auto start = at + label.size();
  return report.substr(start, report.find('\n', start) - start);
}

TEST(RecipesSlurmTest, AKilledAndACancelledTaskSubmittedAgainEndWithTheRowsOfOnePlainRun) {
  const std::string why = WhyNoCluster();
  if (!why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const std::string work = dir.path() + "/work";
  std::filesystem::create_directories(work);
  // 1,200 addresses: four shards of 300, two tasks at a time on the node's two CPUs.
  std::string list;
  for (int i = 0; i < 1200; ++i) list += PageServer::Address(i, "@PORT@", "@DEAD@") + "\n";
  dir.File("work/all-sites.template", list);
  std::string shard;
  for (const auto& block : ReadmeBlocks()) {
    if (block.rfind("#!/bin/sh\n", 0) == 0) shard = block;
  }
  ASSERT_NE(shard.find(Recipe(recipes::kShard)), std::string::npos)
      << "no shard script in the README";
  dir.File("work/shard.sh",
           Replaced(shard, "orvanel-extract ", "orvanel-extract --host-errors 0 "));
  dir.File("work/recipe.env", "SPLIT=" + Quoted(Replaced(Recipe(recipes::kSplit), "10000", "300")) +
                                  "\nTASKS=" + Quoted(Recipe(recipes::kTasks)) +
                                  "\nSUBMIT=" + Quoted(Recipe(recipes::kSubmit)) +
                                  "\nJOIN=" + Quoted(Recipe(recipes::kJoinShards)) + "\n");
  ASSERT_NE(Recipe(recipes::kShardNumber).find("%03d"), std::string::npos)
      << "shards not numbered as split numbers parts";

  // Killed as a whole at the end, whatever is left in its namespaces.
  const auto run =
      RunProgram({"/usr/bin/timeout", "-s", "KILL", "900", "/usr/bin/unshare", "--net", "--uts",
                  "--pid", "--fork", "--kill-child", "--mount-proc", "/bin/bash",
                  RecipesDir() + "/slurm-cluster.sh", work, BinaryDir(), RecipesDir()});
  const std::string report = ReadAll(work + "/report.txt");
  const std::string logs = "\nreport:\n" + report + run.err + "\nslurmctld:\n" +
                           ReadAll(work + "/cluster/slurmctld.log") + "\nslurmd:\n" +
                           ReadAll(work + "/cluster/slurmd.log");
  ASSERT_EQ(run.status, 0) << logs;
  EXPECT_EQ(Reported(report, "tasks "), "4") << logs;
  const int killed_at = std::atoi(Reported(report, "task 0 killed at ").c_str());
  const int cancelled_at = std::atoi(Reported(report, "task 1 cancelled at ").c_str());
  EXPECT_TRUE(killed_at > 0 && killed_at < 300) << "task 0 was not killed while it ran" << logs;
  EXPECT_TRUE(cancelled_at > 0 && cancelled_at < 300)
      << "task 1 was not cancelled while it ran" << logs;
  EXPECT_NE(Reported(report, "first submission: "), "0")
      << "a killed and a cancelled task went unnoticed" << logs;
  EXPECT_EQ(Reported(report, "second submission: "), "0") << logs;
  EXPECT_NE(report.find("finished shards left as they were"), std::string::npos) << logs;
  const std::string plain = ReadAll(work + "/plain.jsonl");
  const std::string joined = ReadAll(work + "/all-results.jsonl");
  ASSERT_EQ(std::count(plain.begin(), plain.end(), '\n'), 1200);
  EXPECT_TRUE(joined == plain) << "the joined shards differ from one plain run, "
                               << FirstDifference(joined, plain);
}

}  // namespace
}  // namespace orvanel
