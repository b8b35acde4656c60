// Network tests run only inside a private namespace with loopback alone.
#pragma once

#include <gtest/gtest.h>

namespace trv::test {

// Succeeds when no interface but loopback is up; otherwise names the others.
testing::AssertionResult onlyLoopbackIsUp();

} // namespace trv::test

// First statement of every test that sends or receives datagrams.
#define TRV_REQUIRE_PRIVATE_NETWORK()                                                    \
    ASSERT_TRUE(::trv::test::onlyLoopbackIsUp())                                         \
        << "refusing to touch the network outside a private loopback namespace; run " \
           "the tests through scripts/test (unshare -n)"
