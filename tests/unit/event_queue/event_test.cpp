// Event classification: documents of every event table reduced to an event_info, the
// validity test, the unhandled states, and the counters an event moves.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "agent_level/agent_risk.h"
#include "compare/event.h"
#include "platform/log.h"
#include "platform/tick.h"
#include "tests/unit/support/test_support.h"

using testing_support::json;
using testing_support::test_root;

namespace {

class EventClassification : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::make_unique<test_root>(4);
    g_agent_risk_map.clear();
    // Each test starts far from any earlier message time, so the rate limits admit
    // the first message even when the tests share a process.
    static uint32_t clock_ms = 0;
    clock_ms += 1000000;
    now_ms_ = clock_ms;
    timer_set_manual(true, now_ms_);
  }
  void TearDown() override { timer_set_manual(false, 0); }

  std::unique_ptr<test_root> root_;
  uint32_t now_ms_ = 0;
};

struct extract_case {
  const char* name;
  int32_t table;
  const char* document;
  bool ok;
  const char* log_id;
  uint64_t event_time;
  uint64_t state;
  int risk_level;
  int virus_type;
  const char* message;  // expected in the log, or empty
};

TEST_F(EventClassification, DocumentsOfEveryTableReduceToOneRecord) {
  const extract_case cases[] = {
      {"virus file, risk keeps its low 8 bits", 1,
       R"({"_id":"x1","agent_id":"42","found_time":100,"state":0,"risk_level":258,"virus_type":1})",
       true, "x1virus_file_log", 100, 0, 2, 1, ""},
      {"virus file without category", 1,
       R"({"_id":"x1","agent_id":"42","found_time":100,"state":0,"risk_level":2})", false, "", 0, 0,
       0, 0, "get virus_type faild"},
      {"virus file with an ObjectId: its hex text", 1,
       R"({"_id":{"$oid":"65a1b2c3d4e5f60718293a4b"},"agent_id":"42","found_time":1,"state":0,"risk_level":2,"virus_type":1})",
       true, "65a1b2c3d4e5f60718293a4bvirus_file_log", 1, 0, 2, 1, ""},
      {"virus file with a numeric id", 1,
       R"({"_id":17,"agent_id":"42","found_time":1,"state":0,"risk_level":2,"virus_type":1})",
       false, "", 0, 0, 0, 0, "get field _id failed"},
      {"incident whose incident_id is an ObjectId", 10,
       R"({"incident_id":{"$oid":"65a1b2c3d4e5f60718293a4b"},"agent_id":"42","trigger_time":1000,"dispose":0,"incident_level":4})",
       false, "", 0, 0, 0, 0, "get field incident_id failed"},
      {"virus file without agent", 1,
       R"({"_id":"x1","found_time":100,"state":0,"risk_level":2,"virus_type":1})", false, "", 0, 0,
       0, 0, ""},
      {"virus file without time", 1,
       R"({"_id":"x1","agent_id":"42","state":0,"risk_level":2,"virus_type":1})", false, "", 0, 0,
       0, 0, ""},
      {"webshell invaded", 2,
       R"({"_id":"x1","agent_id":"42","found_time":7,"state":2,"safety_state":"invaded"})", true,
       "x1webshell_log", 7, 2, 2, 20, ""},
      {"webshell in capitals", 2,
       R"({"_id":"x1","agent_id":"42","found_time":7,"state":2,"safety_state":"INVADED"})", true,
       "x1webshell_log", 7, 2, 0, 20, ""},
      {"webshell empty safety state", 2,
       R"({"_id":"x1","agent_id":"42","found_time":7,"state":2,"safety_state":""})", true,
       "x1webshell_log", 7, 2, 0, 20, ""},
      {"webshell without safety state", 2,
       R"({"_id":"x1","agent_id":"42","found_time":7,"state":2})", false, "", 0, 0, 0, 0, ""},
      {"domain with no file left is handled", 3,
       R"({"_id":"d","agent_id":"42","found_time":9,"unhandle_file_count":0,"event_risk_level":1})",
       true, "ddomain_log", 9, 1, 1, 30, ""},
      {"domain with files left is unhandled", 3,
       R"({"_id":"d","agent_id":"42","found_time":9,"unhandle_file_count":3,"event_risk_level":2})",
       true, "ddomain_log", 9, 0, 2, 30, ""},
      {"brute force has a fixed risk", 4, R"({"_id":"b","agent_id":"42","found_time":9,"state":5})",
       true, "banti_bfa_log", 9, 5, 1, 40, ""},
      {"file-less attack", 8,
       R"({"_id":"n","agent_id":"42","found_time":9,"state":7,"risk_level":0})", true,
       "nnofile_attack_log", 9, 7, 0, 50, ""},
      {"leak is keyed by kb and agent", 9,
       R"({"_id":"ignored","kb":"KB5","agent_id":"42","found_time":9,"state":4,"risk_level":4})",
       true, "KB542leak_info_log", 9, 4, 4, 60, ""},
      {"incident time in milliseconds", 10,
       R"({"incident_id":"I9","agent_id":"42","trigger_time":5999,"dispose":1,"incident_level":5})",
       true, "I9incident_msg", 5, 1, 2, 70, ""},
      {"incident level 3", 10,
       R"({"incident_id":"I9","agent_id":"42","trigger_time":1000,"dispose":0,"incident_level":3})",
       true, "I9incident_msg", 1, 0, 1, 70, ""},
      {"incident level 0 is valid but off the scale", 10,
       R"({"incident_id":"I9","agent_id":"42","trigger_time":1000,"dispose":0,"incident_level":0})",
       true, "I9incident_msg", 1, 0, 3, 70, ""},
      {"incident level above 5 passes unchanged", 10,
       R"({"incident_id":"I9","agent_id":"42","trigger_time":1000,"dispose":0,"incident_level":9})",
       true, "I9incident_msg", 1, 0, 9, 70, "invalid risk_level:9"},
      {"origin log is no event table", 5,
       R"({"_id":"o","agent_id":"42","found_time":9,"state":0,"risk_level":1})", false, "", 0, 0, 0,
       0, "dont support virus_type"},
      {"table outside the catalogue", 99,
       R"({"_id":"o","agent_id":"42","found_time":9,"state":0,"risk_level":1})", false, "", 0, 0, 0,
       0, ""},
  };
  for (const extract_case& c : cases) {
    SCOPED_TRACE(c.name);
    root_->log_mark();
    event_info event;
    bool ok = get_event_info(c.table, json(c.document).get(), event);
    ASSERT_EQ(ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(event.agent_id, "42");
      EXPECT_EQ(event.log_id, c.log_id);
      EXPECT_EQ(event.event_time, c.event_time);
      EXPECT_EQ(event.state, c.state);
      EXPECT_EQ(event.risk_level, c.risk_level);
      EXPECT_EQ(event.virus_type, c.virus_type);
    }
    if (*c.message != '\0') {
      EXPECT_TRUE(root_->log_contains(c.message)) << root_->log_text();
    }
  }
}

TEST_F(EventClassification, IncidentLevelMapsToRisk) {
  const struct {
    int64_t level;
    int64_t risk;
    bool logged;
  } cases[] = {{0, 3, false}, {1, 3, false}, {2, 3, false}, {3, 1, false},
               {4, 2, false}, {5, 2, false}, {6, 6, true},  {-1, -1, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    root_->log_mark();
    EXPECT_EQ(incident_level_to_risk(c.level), c.risk);
    EXPECT_EQ(root_->log_contains("invalid risk_level:"), c.logged);
  }
}

TEST_F(EventClassification, ValidityOfRiskAndCategory) {
  const std::set<int> valid_codes = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
                                     10, 11, 12, 13, 20, 30, 40, 50, 60, 70};
  for (int code = -128; code <= 127; ++code) {
    SCOPED_TRACE(code);
    event_info event;
    event.log_id = "L";
    event.virus_type = static_cast<signed char>(code);
    event.risk_level = 2;
    root_->log_mark();
    bool valid = valid_codes.count(code) != 0;
    EXPECT_EQ(check_event_info(event), valid);
    EXPECT_EQ(root_->log_contains("invaild virus_type " + std::to_string(code) + ",log_id L"),
              !valid);
    root_->log_mark();
    EXPECT_EQ(valid_risk_and_category(2, event.virus_type), valid);
    EXPECT_EQ(root_->log_text(), "");
  }
  const struct {
    int risk;
    bool ok;
  } risks[] = {{0, true}, {4, true}, {5, false}, {-1, false}, {127, false}};
  for (const auto& r : risks) {
    SCOPED_TRACE(r.risk);
    event_info event;
    event.log_id = "L";
    event.virus_type = 1;
    event.risk_level = static_cast<signed char>(r.risk);
    root_->log_mark();
    EXPECT_EQ(check_event_info(event), r.ok);
    EXPECT_EQ(root_->log_contains("invaild risk_level " + std::to_string(r.risk) + ",log_id L"),
              !r.ok);
    EXPECT_EQ(valid_risk_and_category(event.risk_level, 1), r.ok);
  }
}

TEST_F(EventClassification, UnhandledStatesPerTable) {
  const struct {
    int32_t table;
    std::set<uint64_t> unhandled;
  } cases[] = {
      {1, {0, 2, 5}}, {2, {0, 2, 5}}, {3, {0, 2, 5}}, {4, {0, 2, 5}}, {8, {0, 1, 2, 3, 5, 7, 8}},
      {9, {1, 4, 8}}, {10, {0, 1}},
  };
  for (const auto& c : cases) {
    for (uint64_t state = 0; state <= 10; ++state) {
      SCOPED_TRACE(testing::Message() << "table " << c.table << " state " << state);
      EXPECT_EQ(event_unhandled(c.table, state), c.unhandled.count(state) != 0);
    }
  }
  EXPECT_FALSE(event_unhandled(1, UINT64_MAX));
}

using counter = int32_t agent_risk_info::*;

TEST_F(EventClassification, EveryCategoryFeedsItsCounter) {
  const struct {
    int code;
    counter field;
  } cases[] = {
      {0, &agent_risk_info::undefine_c},
      {1, &agent_risk_info::trojan_c},
      {2, &agent_risk_info::worm_c},
      {3, &agent_risk_info::miner_c},
      {4, &agent_risk_info::ransom_c},
      {5, &agent_risk_info::infection_c},
      {6, &agent_risk_info::backdoor_c},
      {7, &agent_risk_info::macro_c},
      {8, &agent_risk_info::hacktool_c},
      {9, &agent_risk_info::adware_c},
      {10, &agent_risk_info::cad_c},
      {11, &agent_risk_info::exploit_c},
      {12, &agent_risk_info::rootkit_c},
      {13, &agent_risk_info::activatetool_c},
      {20, &agent_risk_info::webshell_c},
      {30, &agent_risk_info::botnet_c},
      {40, &agent_risk_info::antibfa_c},
      {50, &agent_risk_info::nofile_attack_c},
      {70, &agent_risk_info::adv_threat_c},
      {60, nullptr},
      {14, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    g_agent_risk_map["42"] = agent_risk_info{};
    add_event_count("42", static_cast<signed char>(c.code), 1);
    agent_risk_info expected{};
    if (c.field != nullptr) expected.*c.field = 1;
    EXPECT_EQ(g_agent_risk_map["42"], expected);
    add_event_count("42", static_cast<signed char>(c.code), -1);
    EXPECT_EQ(g_agent_risk_map["42"], agent_risk_info{});
  }
}

TEST_F(EventClassification, RiskCountersByTableRiskAndCategory) {
  const struct {
    const char* name;
    int32_t table;
    int risk;
    int virus_type;
    std::vector<counter> moved;
    bool invalid_message;
  } cases[] = {
      {"trojan high",
       1,
       2,
       1,
       {&agent_risk_info::high_virus_c, &agent_risk_info::high_risk_c},
       false},
      {"infection high",
       1,
       2,
       5,
       {&agent_risk_info::high_virus_c, &agent_risk_info::high_risk_c},
       false},
      {"other medium",
       1,
       1,
       0,
       {&agent_risk_info::mid_virus_c, &agent_risk_info::mid_risk_c},
       false},
      {"ransom low", 1, 0, 4, {&agent_risk_info::low_virus_c, &agent_risk_info::low_risk_c}, false},
      {"backdoor is no virus proper", 1, 2, 6, {&agent_risk_info::high_risk_c}, false},
      {"virus off the scale", 1, 3, 2, {}, true},
      {"webshell low", 2, 0, 20, {&agent_risk_info::low_risk_c}, false},
      {"domain high", 3, 2, 30, {&agent_risk_info::high_risk_c}, false},
      {"brute force medium", 4, 1, 40, {&agent_risk_info::mid_risk_c}, false},
      {"file-less high", 8, 2, 50, {&agent_risk_info::high_risk_c}, false},
      {"leak high", 9, 4, 60, {&agent_risk_info::high_leak_c}, false},
      {"leak medium", 9, 2, 60, {&agent_risk_info::mid_leak_c}, false},
      {"leak low", 9, 1, 60, {&agent_risk_info::low_leak_c}, false},
      {"leak off its scale", 9, 0, 60, {}, true},
      {"incident of level 0 to 2", 10, 3, 70, {}, true},
      {"incident high", 10, 2, 70, {&agent_risk_info::high_risk_c}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Far apart in time, so the rate limits never hide an expected message.
    now_ms_ += 10000;
    timer_set_manual(true, now_ms_);
    root_->log_mark();
    g_agent_risk_map["42"] = agent_risk_info{};
    const signed char risk = static_cast<signed char>(c.risk);
    add_risk_count(c.table, "42", risk, static_cast<signed char>(c.virus_type), 1);
    agent_risk_info expected{};
    for (counter field : c.moved) expected.*field = 1;
    EXPECT_EQ(g_agent_risk_map["42"], expected);
    add_risk_count(c.table, "42", risk, static_cast<signed char>(c.virus_type), -1);
    EXPECT_EQ(g_agent_risk_map["42"], agent_risk_info{});
    EXPECT_EQ(root_->log_contains("risk type is invalid: " + std::to_string(c.risk)),
              c.invalid_message);
  }
}

TEST_F(EventClassification, InvalidRiskMessageIsLimitedPerCallSite) {
  g_agent_risk_map["42"] = agent_risk_info{};
  const std::string message = "risk type is invalid: 3";
  auto other = [] { add_risk_count(2, "42", 3, 20, 1); };
  auto virus = [] { add_risk_count(1, "42", 3, 1, 1); };
  auto leak = [] { add_risk_count(9, "42", 3, 60, 1); };
  const uint32_t start = now_ms_;
  const struct {
    uint32_t at;
    void (*call)();
    int total;
  } steps[] = {
      {start, other, 1},        {start + 3000, other, 1},  // within 5000 ms of its own last message
      {start + 3000, virus, 2},                            // each site has its own limit
      {start + 3000, leak, 3},  {start + 5000, other, 3},  // exactly 5000 ms is not more than 5000
      {start + 5001, other, 4},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    timer_set_manual(true, steps[i].at);
    steps[i].call();
    EXPECT_EQ(root_->log_count(message), steps[i].total);
  }
}

}  // namespace
