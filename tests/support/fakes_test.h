// A test of the terminal program against fake nameservers, in a scratch
// folder of its own; the fakes it served are stopped at its end.
#ifndef TESTS_SUPPORT_FAKES_TEST_H
#define TESTS_SUPPORT_FAKES_TEST_H

#include "tests/support/fake_ns.h"
#include "tests/support/run_files.h"

#include <gtest/gtest.h>

#include <vector>

class fakes_test : public testing::Test {
protected:
  fake_ns *serve(const char *ip, fake_behaviour behaviour) {
    fake_ns *ns = fake_ns_start(ip, behaviour);
    EXPECT_TRUE(ns) << ip;
    fakes.push_back(ns);
    return ns;
  }

  void TearDown() override {
    for (fake_ns *ns : fakes)
      fake_ns_stop(ns);
  }

  scratch_dir dir;
  std::vector<fake_ns *> fakes;
};

#endif
