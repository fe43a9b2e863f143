// The connection pool's rules, without a network: a looked-up name's
// addresses in turn until one takes a connection, the set-ups that fail in
// a row until the run gives up, and the pause before reconnecting.
#include "net/connection_policy.h"

#include <gtest/gtest.h>

namespace {

TEST(ConnectionPolicyTest, AddressesAreTriedInTurnUntilOneTakes) {
  connection_policy policy;
  EXPECT_EQ(policy.address(), 0);
  // Two connections failed at the first address: it moves on once.
  EXPECT_TRUE(policy.move_on(0, 2));
  EXPECT_TRUE(policy.move_on(0, 2)); // the other was at 0 too: no skip
  EXPECT_EQ(policy.address(), 1);
  EXPECT_TRUE(policy.move_on(1, 2));
  EXPECT_EQ(policy.address(), 2);
  EXPECT_FALSE(policy.move_on(2, 2)); // the last address: nowhere to go
  // Once one has been set up, its address stays.
  connection_policy settled;
  EXPECT_TRUE(settled.move_on(0, 1));
  settled.opened();
  EXPECT_FALSE(settled.move_on(1, 1));
  EXPECT_EQ(settled.address(), 1);
}

TEST(ConnectionPolicyTest, FailuresInARowGiveUpAndASetUpEndsThem) {
  connection_policy policy;
  stream_stats stats;
  policy.failed(&stats, PROBE_ERROR_CONNECT, "Connection refused", 2);
  EXPECT_FALSE(policy.given_up());
  policy.opened(); // the row ends
  policy.failed(&stats, PROBE_ERROR_TLS, "certificate has expired", 2);
  EXPECT_FALSE(policy.given_up());
  policy.failed(&stats, PROBE_ERROR_TLS, "certificate has expired", 2);
  EXPECT_TRUE(policy.given_up());
  EXPECT_EQ(stats.setup_failures, 3);
  EXPECT_EQ(stats.failure, PROBE_ERROR_TLS);
  EXPECT_EQ(stats.reason, "certificate has expired");
}

TEST(ConnectionPolicyTest, ThePauseDoublesToTheTimeoutAndAReplyEndsIt) {
  connection_policy policy;
  EXPECT_EQ(policy.pause_ms(100), 4);
  EXPECT_EQ(policy.pause_ms(100), 8);
  for (int i = 0; i < 10; ++i)
    policy.pause_ms(100);
  EXPECT_EQ(policy.pause_ms(100), 100);
  policy.answered();
  EXPECT_EQ(policy.pause_ms(100), 4);
  EXPECT_EQ(policy.pause_ms(2), 2); // never beyond a short timeout
}

} // namespace
