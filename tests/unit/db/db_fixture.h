// Fixture shared by the database layer tests: a temporary installation tree for the log,
// db_conn connected to the live test server with an empty "tavrund_qmx", real tick clock.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/dbconn.h"
#include "platform/tick.h"
#include "tests/unit/support/test_support.h"

class db_test : public ::testing::Test {
 protected:
  void SetUp() override {
    timer_set_manual(false, 0);
    testing_support::connect_test_db();
    root.log_mark();
  }
  void TearDown() override {
    db_conn.close();
    timer_set_manual(false, 0);
  }

  testing_support::test_root root{4};
};
