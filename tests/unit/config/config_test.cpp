// The update configuration: defaults, ranges, messages and the memory-scaled pending bound.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "platform/memprobe.h"
#include "tests/unit/support/test_support.h"

namespace {

constexpr int64_t GiB = int64_t{1} << 30;

struct config_case {
  const char* name;
  std::optional<std::string> file;  // nullopt: no file at all
  int64_t memory;                   // probe result in bytes (0: probe fails)
  update_settings expected;
  std::vector<std::string> logged;
  std::vector<std::string> not_logged;
};

update_settings with(int64_t anti, int64_t agent, int64_t interval, int64_t pending, int64_t show) {
  return {anti, agent, interval, pending, show};
}

const update_settings kDefaults = with(100000, 500000, 2000, 1280000, 0);

class ConfigTest : public ::testing::TestWithParam<config_case> {
 protected:
  void TearDown() override { qrt_set_memory_total_override(false, 0); }
};

TEST_P(ConfigTest, Loads) {
  const config_case& c = GetParam();
  testing_support::test_root root(4);
  if (c.file) root.write_file("config/korvel.ini", *c.file);
  qrt_set_memory_total_override(true, c.memory);

  config cfg;
  const update_settings& s = cfg.get_update_config();
  EXPECT_EQ(s.update_anti_query_count, c.expected.update_anti_query_count);
  EXPECT_EQ(s.update_agent_level_query_count, c.expected.update_agent_level_query_count);
  EXPECT_EQ(s.update_interval, c.expected.update_interval);
  EXPECT_EQ(s.max_update_pending_event, c.expected.max_update_pending_event);
  EXPECT_EQ(s.show_time_use, c.expected.show_time_use);
  for (const auto& text : c.logged) EXPECT_TRUE(root.log_contains(text)) << text;
  for (const auto& text : c.not_logged) EXPECT_FALSE(root.log_contains(text)) << text;
}

const std::string kAllKeys =
    "[update]\nupdate_anti_query_count=7\nupdate_agent_level_query_count=8\n"
    "pending_event_unit=20000\nshow_time_use=1\nupdate_interval=3\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigTest,
    ::testing::Values(config_case{"NoFile",
                                  std::nullopt,
                                  8 * GiB,
                                  kDefaults,
                                  {"open update config failed @/../config/korvel.ini"},
                                  {"get sys memory total succ"}},
                      config_case{"EmptySection",
                                  "[update]\n",
                                  8 * GiB,
                                  kDefaults,
                                  {"get update_anti_query_count failed, use default: 100000",
                                   "get update_agent_level_query_count, use default: 500000",
                                   "get max_update_pending_event failed, use default: 1280000",
                                   "get time use failed, use default: 0",
                                   "get update_interval failed, use default: 2000",
                                   "get sys memory total succ: 8589934592 B -> 9 G"},
                                  {}},
                      config_case{"AllKeysInRange",
                                  kAllKeys,
                                  8 * GiB,
                                  with(7, 8, 3000, 180000, 1),
                                  {"set max_update_pending_event: 180000, sys_mem = 9"},
                                  {"use default"}},
                      config_case{"UpperBoundsAccepted",
                                  "[update]\nupdate_anti_query_count=5000000\n"
                                  "update_agent_level_query_count=5000000\nupdate_interval=60\n",
                                  8 * GiB,
                                  with(5000000, 5000000, 60000, 1280000, 0),
                                  {},
                                  {}},
                      config_case{
                          "OutOfRangeSilentlyDefault",
                          "[update]\nupdate_anti_query_count=5000001\n"
                          "update_agent_level_query_count=0\nupdate_interval=61\nshow_time_use=2\n",
                          8 * GiB,
                          kDefaults,
                          {},
                          {"get update_anti_query_count failed", "get update_interval failed",
                           "get time use failed"}},
                      config_case{"NonNumericAndNegative",
                                  "[update]\nupdate_interval=abc\nshow_time_use=-1\n"
                                  "update_anti_query_count= 42abc\n",
                                  8 * GiB,
                                  with(42, 500000, 2000, 1280000, 0),
                                  {},
                                  {"get update_interval failed", "get time use failed"}},
                      config_case{"EmptyValueLogs",
                                  "[update]\nupdate_interval=\n",
                                  8 * GiB,
                                  kDefaults,
                                  {"get update_interval failed, use default: 2000"},
                                  {}},
                      config_case{"PendingUnitZeroClampsUp",
                                  "[update]\npending_event_unit=0\n",
                                  8 * GiB,
                                  with(100000, 500000, 2000, 10000, 0),
                                  {"set max_update_pending_event: 10000, sys_mem = 9"},
                                  {}},
                      config_case{"PendingUnitScalesWithMemory",
                                  "[update]\npending_event_unit=160000\n",
                                  8 * GiB,
                                  with(100000, 500000, 2000, 1440000, 0),
                                  {},
                                  {}},
                      config_case{"PendingUnitFractionalGigabytes",
                                  "[update]\npending_event_unit=100000\n",
                                  15 * GiB / 2,
                                  with(100000, 500000, 2000, 800000, 0),
                                  {"-> 8 G"},
                                  {}},
                      config_case{"PendingUnitHugeClampsDown",
                                  "[update]\npending_event_unit=1000000000\n",
                                  8 * GiB,
                                  with(100000, 500000, 2000, 5000000, 0),
                                  {},
                                  {}},
                      config_case{"PendingUnitBeyondLongClampsDown",
                                  "[update]\npending_event_unit=99999999999999999999999\n",
                                  64 * GiB,
                                  with(100000, 500000, 2000, 5000000, 0),
                                  {},
                                  {}},
                      config_case{"MemoryProbeFails",
                                  "[update]\npending_event_unit=160000\n",
                                  0,
                                  kDefaults,
                                  {"get system memory info failed: ",
                                   "get system memory total failed, use default: 1280000"},
                                  {"set max_update_pending_event"}}),
    [](const ::testing::TestParamInfo<config_case>& info) { return info.param.name; });

TEST(ConfigReload, RemovedKeyReturnsToDefault) {
  testing_support::test_root root(4);
  qrt_set_memory_total_override(true, 8 * GiB);
  config cfg;
  root.write_file("config/korvel.ini", "[update]\nupdate_interval=5\nshow_time_use=1\n");
  EXPECT_EQ(cfg.get_update_config().update_interval, 5000);
  root.write_file("config/korvel.ini", "[update]\nshow_time_use=1\n");
  const update_settings& s = cfg.get_update_config();
  EXPECT_EQ(s.update_interval, 2000);
  EXPECT_EQ(s.show_time_use, 1);
  qrt_set_memory_total_override(false, 0);
}

TEST(ConfigMetrics, TextfileDefaultsToTheStateFolderAndAnEmptyValueTurnsItOff) {
  testing_support::test_root root(4);
  const std::string tree = root.path();
  struct {
    const char* file;  // nullptr: no configuration file at all
    std::string expected;
  } cases[] = {
      {nullptr, tree + "/bin/../var/lib/korvel/korveld.prom"},
      {"[update]\nshow_time_use=1\n", tree + "/bin/../var/lib/korvel/korveld.prom"},
      {"[metrics]\ntextfile = /srv/node/korveld.prom\n", "/srv/node/korveld.prom"},
      {"[metrics]\ntextfile = @/../metrics/k.prom\n", tree + "/bin/../metrics/k.prom"},
      {"[metrics]\ntextfile =\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file != nullptr ? c.file : "(no file)");
    if (c.file != nullptr) {
      root.write_file("config/korvel.ini", c.file);
    } else {
      std::remove(root.file("config/korvel.ini").c_str());
    }
    config cfg;
    cfg.get_update_config();
    EXPECT_EQ(cfg.metrics_textfile(), c.expected);
  }
}

}  // namespace
