// What a QUIC connection's error means for its probes, case by case,
// without a network.
#include "net/engine.h"
#include "net/quic_errors.h"

#include <ngtcp2/ngtcp2.h>

#include <gtest/gtest.h>

namespace {

quic_error_facts facts_of(int error, bool open, bool heard) {
  return quic_error_facts{error, open,          heard,         0,
                          false, std::string(), std::string(), "ngtcp2 says"};
}

TEST(QuicErrorsTest, ASetUpThatNeverEndsIsConnectWithWhatWasHeard) {
  quic_failure f =
      quic_failure_of(facts_of(NGTCP2_ERR_HANDSHAKE_TIMEOUT, false, false));
  EXPECT_TRUE(f.setup);
  EXPECT_EQ(f.cause, PROBE_ERROR_CONNECT);
  EXPECT_EQ(f.reason, "no reply to the QUIC handshake");
  f = quic_failure_of(facts_of(NGTCP2_ERR_IDLE_CLOSE, false, true));
  EXPECT_EQ(f.reason, "the QUIC handshake did not finish");
}

TEST(QuicErrorsTest, ACryptoFailureIsTlsWithTheCertificatesWords) {
  quic_error_facts facts = facts_of(NGTCP2_ERR_CRYPTO, false, true);
  facts.tls_failure = "The certificate is NOT trusted.";
  quic_failure f = quic_failure_of(facts);
  EXPECT_TRUE(f.setup);
  EXPECT_EQ(f.cause, PROBE_ERROR_TLS);
  EXPECT_EQ(f.reason, "The certificate is NOT trusted.");
  facts.tls_failure.clear();
  EXPECT_EQ(quic_failure_of(facts).reason, "handshake failed");
}

TEST(QuicErrorsTest, AClosedConnectionIsAgreedOrAnErrorCode) {
  // Closed without an error, or idle, once open: closed as agreed.
  quic_failure f = quic_failure_of(facts_of(NGTCP2_ERR_DRAINING, true, true));
  EXPECT_FALSE(f.setup);
  EXPECT_EQ(f.cause, PROBE_ERROR_NONE);
  EXPECT_EQ(quic_failure_of(facts_of(NGTCP2_ERR_IDLE_CLOSE, true, true)).cause,
            PROBE_ERROR_NONE);
  // With a code: `quic`, the code and the server's reason in the words.
  quic_error_facts facts = facts_of(NGTCP2_ERR_DRAINING, true, true);
  facts.close_code = 5;
  facts.application = true;
  facts.close_reason = "enough";
  f = quic_failure_of(facts);
  EXPECT_FALSE(f.setup);
  EXPECT_EQ(f.cause, PROBE_ERROR_QUIC);
  EXPECT_EQ(f.reason,
            "the connection closed with application error code 0x5 (enough)");
  // During the handshake: a set-up failure, `connect` when agreed.
  f = quic_failure_of(facts_of(NGTCP2_ERR_CLOSING, false, true));
  EXPECT_TRUE(f.setup);
  EXPECT_EQ(f.cause, PROBE_ERROR_CONNECT);
  EXPECT_EQ(f.reason, "the server closed the connection during the handshake");
  facts.open = false;
  facts.application = false;
  facts.close_reason.clear();
  f = quic_failure_of(facts);
  EXPECT_TRUE(f.setup);
  EXPECT_EQ(f.reason, "the connection closed with transport error code 0x5");
  // Anything else: `quic`, in ngtcp2's words.
  f = quic_failure_of(facts_of(NGTCP2_ERR_PROTO, true, true));
  EXPECT_EQ(f.cause, PROBE_ERROR_QUIC);
  EXPECT_EQ(f.reason, "ngtcp2 says");
}

} // namespace
